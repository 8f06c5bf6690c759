// logon-session and the Win32 calls that show drive letters, against a real
// ramvold with the test driver: a program run in a fresh session sees that
// session's letter, which goes with the session; another user's session is
// refused; QueryDosDeviceW, GetLogicalDrives and GetDriveTypeW on letters
// the test driver makes.
#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace bw::test {
namespace {

constexpr DWORD kMakeLetter = 0x222080;
constexpr DWORD kDeleteLetter = 0x222084;
constexpr DWORD kEndedSessions = 0x222088;

HANDLE OpenTestDriver() {
  return CreateFileW(u"\\\\.\\BwTest", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, 0, nullptr);
}

// Makes letter → device in the caller's logon session ('S') or globally ('G').
bool Letter(DWORD code, char16_t letter, char16_t scope, std::u16string device = u"",
            LUID *caller = nullptr) {
  HANDLE driver = OpenTestDriver();
  if (driver == INVALID_HANDLE_VALUE) return false;
  std::u16string input = std::u16string{letter, scope} + device;
  LUID id{};
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(driver, code, input.data(), static_cast<DWORD>(input.size() * 2), &id,
                            sizeof id, &returned, nullptr);
  CloseHandle(driver);
  if (caller) *caller = id;
  return ok;
}

std::string Text(const LUID &id) {
  char text[18];
  BwFormatLogonSession(&id, text);
  return text;
}

class LogonSessionSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The half of a test that runs inside a session (see below) has no
    // daemon of its own.
    if (getenv("BW_IN_SESSION")) return;
    ASSERT_TRUE(daemon_.Start({"--driver", BW_BIN_DIR "/testdrv.sys=BwTest"})) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  std::string Tool(const std::string &args, int *code = nullptr) {
    return bw::test::Run("BRIMWELL_ROOT=" + daemon_.Root() + " " BW_BIN_DIR "/logon-session " + args +
                   " 2>&1",
               code);
  }
  Daemon daemon_;
};

// Runs inside `logon-session run` (started by the next test): makes Q: in
// its own session and checks that this process sees it.
TEST_F(LogonSessionSystemTest, InsideASession) {
  if (!getenv("BW_IN_SESSION")) GTEST_SKIP() << "runs inside logon-session only";
  LUID caller{};
  ASSERT_TRUE(Letter(kMakeLetter, u'Q', u'S', u"\\Device\\BwTestRemovable", &caller))
      << GetLastError();
  printf("CALLER %s\n", Text(caller).c_str());
  char16_t target[64];
  ASSERT_NE(0u, QueryDosDeviceW(u"Q:", target, 64));
  EXPECT_EQ(std::u16string(u"\\Device\\BwTestRemovable"), std::u16string(target));
  EXPECT_TRUE(GetLogicalDrives() & (1u << ('Q' - 'A')));
  EXPECT_EQ(static_cast<UINT>(DRIVE_REMOVABLE), GetDriveTypeW(u"Q:\\"));
  HANDLE disk = CreateFileW(u"Q:", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, disk);
  CloseHandle(disk);
}

TEST_F(LogonSessionSystemTest, AProgramRunsInAFreshSessionThatEndsWithIt) {
  if (getenv("BW_IN_SESSION")) GTEST_SKIP();
  int code = -1;
  std::string out = Tool(std::string("run env BW_IN_SESSION=1 /proc/") + std::to_string(getpid()) +
                             "/exe --gtest_filter=LogonSessionSystemTest.InsideASession",
                         &code);
  ASSERT_EQ(0, code) << out;
  size_t at = out.find("CALLER ");
  ASSERT_NE(std::string::npos, at) << out;
  std::string id = out.substr(at + 7, 17);
  EXPECT_NE(std::string::npos, out.find("session " + id + " began")) << out;
  EXPECT_NE(std::string::npos, out.find("session " + id + " ended")) << out;

  // Gone with the session: the letter, the directory, the session; the
  // driver was told once.
  char16_t target[64];
  EXPECT_EQ(0u, QueryDosDeviceW(u"Q:", target, 64));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  std::string devio = Devio(daemon_, "'\\\\.\\GLOBALROOT\\Sessions\\0\\DosDevices\\" + id + "\\Q:' 0x222000");
  EXPECT_NE(std::string::npos, devio.find("error 3,")) << devio;
  EXPECT_EQ(std::string::npos, Tool("list").find(id));
  HANDLE driver = OpenTestDriver();
  ASSERT_NE(INVALID_HANDLE_VALUE, driver);
  LUID ended[64];
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(driver, kEndedSessions, nullptr, 0, ended, sizeof ended, &returned,
                              nullptr));
  CloseHandle(driver);
  int seen = 0;
  for (DWORD i = 0; i < returned / sizeof(LUID); ++i) seen += Text(ended[i]) == id;
  EXPECT_EQ(1, seen);
  // Once ended it stays ended.
  EXPECT_EQ(1, (Tool("end " + id, &code), code));
}

// A session ended from outside while its program runs: the program's
// window is told, the program ends, and `run` takes the session as over.
TEST_F(LogonSessionSystemTest, ASessionEndedFromOutsideEndsItsRun) {
  if (getenv("BW_IN_SESSION")) GTEST_SKIP();
  std::string out = daemon_.Root() + "/run.out";
  std::string command = "BRIMWELL_ROOT=" + daemon_.Root() + " " BW_BIN_DIR "/logon-session run " BW_BIN_DIR
                        "/session_window > " + out + " 2>&1";
  FILE *run = popen(command.c_str(), "w");
  ASSERT_TRUE(run);
  std::string id;
  for (int i = 0; i < 300 && id.empty(); ++i) {
    std::string text = bw::test::Run("cat " + out);
    size_t at = text.find("session ");
    if (text.find("ready") != std::string::npos && at != std::string::npos) id = text.substr(at + 8, 17);
    else usleep(50000);
  }
  ASSERT_FALSE(id.empty()) << bw::test::Run("cat " + out);
  int code = -1;
  EXPECT_EQ("", Tool("end " + id, &code));
  EXPECT_EQ(0, code);
  int status = pclose(run);
  std::string text = bw::test::Run("cat " + out);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
  EXPECT_NE(std::string::npos, text.find("end wParam=1 lParam=0x80000000 alive=1")) << text;
  EXPECT_NE(std::string::npos, text.find("session " + id + " ended")) << text;
  EXPECT_EQ(std::string::npos, text.find("failed")) << text;
}

TEST_F(LogonSessionSystemTest, NobodyJoinsAnotherUsersOrAnEndedSession) {
  if (getenv("BW_IN_SESSION")) GTEST_SKIP();
  // A session of another user's, forged: ids carry their user in the high part.
  LUID mine;
  ASSERT_TRUE(BwBeginLogonSession(&mine));
  LUID theirs = mine;
  theirs.HighPart ^= 0x1234;
  int code = -1;
  std::string out = bw::test::Run("BRIMWELL_ROOT=" + daemon_.Root() + " BRIMWELL_LOGON_SESSION=" +
                            Text(theirs) + " " BW_BIN_DIR "/logon-session show 2>&1",
                        &code);
  EXPECT_EQ(1, code);
  EXPECT_NE(std::string::npos, out.find("ERROR_NO_SUCH_LOGON_SESSION")) << out;
  // A real session of another user needs another user: the daemon keeps
  // the owner's uid and refuses a peer of another (the kernel test shows
  // the same rule); here root can own one for itself only.
  out = bw::test::Run("BRIMWELL_ROOT=" + daemon_.Root() + " BRIMWELL_LOGON_SESSION=" + Text(mine) + " " +
                BW_BIN_DIR "/logon-session show 2>&1",
            &code);
  EXPECT_EQ(0, code) << out;
  EXPECT_NE(std::string::npos, out.find("logon session " + Text(mine))) << out;
  out = bw::test::Run("BRIMWELL_ROOT=" + daemon_.Root() + " BRIMWELL_LOGON_SESSION=garbage " BW_BIN_DIR
            "/logon-session show 2>&1",
            &code);
  EXPECT_EQ(1, code) << out;
  EXPECT_TRUE(BwEndLogonSession(&mine));
  out = bw::test::Run("BRIMWELL_ROOT=" + daemon_.Root() + " BRIMWELL_LOGON_SESSION=" + Text(mine) + " " +
                BW_BIN_DIR "/logon-session show 2>&1",
            &code);
  EXPECT_EQ(1, code);
  EXPECT_NE(std::string::npos, out.find("ERROR_NO_SUCH_LOGON_SESSION")) << out;
}

TEST_F(LogonSessionSystemTest, DosDeviceNamesLettersAndDriveTypes) {
  if (getenv("BW_IN_SESSION")) GTEST_SKIP();
  struct {
    char16_t letter;
    const char16_t *device;
    UINT type;
  } drives[] = {{u'K', u"\\Device\\BwTestDisk", DRIVE_FIXED},
                {u'L', u"\\Device\\BwTestRemovable", DRIVE_REMOVABLE},
                {u'M', u"\\Device\\BwTestCdRom", DRIVE_CDROM},
                {u'N', u"\\Device\\BwTestRamDisk", DRIVE_RAMDISK},
                {u'O', u"\\Device\\BwTestRemote", DRIVE_REMOTE}};
  for (auto &d : drives) ASSERT_TRUE(Letter(kMakeLetter, d.letter, u'G', d.device)) << GetLastError();
  // One in this process's own session, which only it and its session see.
  // Root's default session is the system's, whose DosDevices is the global
  // one: it has no session of its own to put a letter in.
  const bool ownSession = getuid() != 0;
  if (ownSession) {
    ASSERT_TRUE(Letter(kMakeLetter, u'P', u'S', u"\\Device\\BwTestDisk"));
  }

  DWORD mask = GetLogicalDrives();
  for (auto &d : drives) {
    EXPECT_TRUE(mask & (1u << (d.letter - u'A')));
    char16_t root[] = {d.letter, u':', u'\\', 0};
    EXPECT_EQ(d.type, GetDriveTypeW(root));
    root[2] = 0;
    EXPECT_EQ(d.type, GetDriveTypeW(root));
  }
  EXPECT_EQ(ownSession, (mask & (1u << ('P' - 'A'))) != 0);
  EXPECT_FALSE(mask & (1u << ('W' - 'A')));
  EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), GetDriveTypeW(u"W:\\"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), GetDriveTypeW(u"nonsense"));

  // One name: its target, then one more terminator.
  char16_t target[64];
  DWORD n = QueryDosDeviceW(u"L:", target, 64);
  ASSERT_EQ(std::u16string(u"\\Device\\BwTestRemovable").size() + 2, n);
  EXPECT_EQ(std::u16string(u"\\Device\\BwTestRemovable"), std::u16string(target));
  EXPECT_EQ(0, target[n - 1]);
  EXPECT_EQ(0u, QueryDosDeviceW(u"L:", target, 5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(0u, QueryDosDeviceW(u"NoSuchName", target, 64));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  // Every name: each once, the session's and the global ones.
  std::u16string all(8192, u'\0');
  n = QueryDosDeviceW(nullptr, all.data(), 8192);
  ASSERT_GT(n, 0u);
  all.resize(n);
  for (const char16_t *name : {u"K:", ownSession ? u"P:" : u"L:", u"BwTest"}) {
    std::u16string entry = u'\0' + std::u16string(name) + u'\0';
    size_t first = (u'\0' + all).find(entry);
    EXPECT_NE(std::u16string::npos, first);
    EXPECT_EQ(std::u16string::npos, (u'\0' + all).find(entry, first + 1));
  }
  EXPECT_EQ(0u, QueryDosDeviceW(nullptr, all.data(), 4));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());

  // Opens by letter go to the device; a letter taken away is gone.
  HANDLE disk = CreateFileW(u"\\\\.\\K:", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, disk);
  CloseHandle(disk);
  ASSERT_TRUE(Letter(kDeleteLetter, u'K', u'G'));
  EXPECT_FALSE(GetLogicalDrives() & (1u << ('K' - 'A')));
  EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), GetDriveTypeW(u"K:"));

  // Who the process is.
  HANDLE token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  TOKEN_STATISTICS statistics{};
  DWORD length = 0, session = 99, tokenSession = 98;
  EXPECT_FALSE(GetTokenInformation(token, TokenStatistics, &statistics, 8, &length));
  EXPECT_EQ(sizeof statistics, length);
  ASSERT_TRUE(GetTokenInformation(token, TokenStatistics, &statistics, sizeof statistics, &length));
  ASSERT_TRUE(GetTokenInformation(token, TokenSessionId, &tokenSession, sizeof tokenSession, &length));
  EXPECT_TRUE(CloseHandle(token));
  ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &session));
  EXPECT_EQ(tokenSession, session);
  EXPECT_FALSE(ProcessIdToSessionId(0x7FFFFFF0, &session));
  if (ownSession) {
    EXPECT_NE(std::string::npos, Tool("list").find(Text(statistics.AuthenticationId)));
  }
}

}  // namespace
}  // namespace bw::test
