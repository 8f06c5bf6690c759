// The end of a logon session as its programs hear it: each top-level window
// of the session is asked (WM_QUERYENDSESSION) and told (WM_ENDSESSION)
// while the session still exists, and whoever ends it waits for the
// answers; other sessions' windows hear nothing, and a program that goes
// away instead of answering does not hold the end up.

#include "platform/daemon/tests/daemon_harness.h"
#include "platform/daemon/tests/shutdown_privilege.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

// A session_window program; its lines are read as they come.
class SessionWindow {
 public:
  SessionWindow(const std::string &root, const LUID *logonId, const std::string &arguments) {
    std::string command = "BRIMWELL_ROOT=" + root + " ";
    if (logonId) {
      char text[18];
      BwFormatLogonSession(logonId, text);
      command += std::string(BW_LOGON_SESSION_VARIABLE "=") + text + " ";
    }
    command += BW_BIN_DIR "/session_window " + arguments;
    pipe_ = popen(command.c_str(), "r");
  }
  ~SessionWindow() {
    if (pipe_) pclose(pipe_);
  }
  std::string Line() {
    char line[256];
    if (!pipe_ || !fgets(line, sizeof line, pipe_)) return "(none)";
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }
  // Waits for the program's end; its exit code.
  int End() {
    int status = pclose(pipe_);
    pipe_ = nullptr;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  FILE *pipe_ = nullptr;
};

class SessionEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
    ASSERT_TRUE(BwBeginLogonSession(&session_));
  }
  void TearDown() override { EXPECT_EQ(0, daemon_.Stop()); }
  bool Listed(const LUID &id) {
    BW_LOGON_SESSION sessions[64];
    DWORD count = 0;
    EXPECT_TRUE(BwListLogonSessions(sessions, 64, &count));
    for (DWORD i = 0; i < count; ++i)
      if (sessions[i].LogonId.LowPart == id.LowPart && sessions[i].LogonId.HighPart == id.HighPart) return true;
    return false;
  }
  bw::test::Daemon daemon_;
  LUID session_{};
};

TEST_F(SessionEnd, TheSessionsWindowsAreAskedAndToldBeforeItEndsAndTheEnderWaits) {
  SessionWindow inside(daemon_.Root(), &session_, "200");
  SessionWindow outside(daemon_.Root(), nullptr, "");
  ASSERT_EQ("ready", inside.Line());
  ASSERT_EQ("ready", outside.Line());

  ASSERT_TRUE(BwEndLogonSession(&session_));
  // Both answers were in before the call returned, the session alive at each.
  EXPECT_EQ("query lParam=0x80000000 alive=1", inside.Line());
  EXPECT_EQ("end wParam=1 lParam=0x80000000 alive=1", inside.Line());
  EXPECT_EQ(0, inside.End());
  EXPECT_FALSE(Listed(session_));

  // The default session's window heard nothing: it ends without a word
  // when the system goes away under it.
  EXPECT_EQ(0, daemon_.Stop());
  EXPECT_EQ("(none)", outside.Line()) << "the other session's window was told";
}

TEST_F(SessionEnd, ANoDoesNotKeepTheSessionAndAVanishedProgramDoesNotHoldItUp) {
  SessionWindow refusing(daemon_.Root(), &session_, "refuse");
  SessionWindow vanishing(daemon_.Root(), &session_, "vanish");
  ASSERT_EQ("ready", refusing.Line());
  ASSERT_EQ("ready", vanishing.Line());

  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(BwEndLogonSession(&session_));
  auto took = std::chrono::steady_clock::now() - start;
  // A window that does not answer is waited for 5 seconds; a program that
  // is gone is not waited for at all.
  EXPECT_LT(took, std::chrono::milliseconds(4500));
  EXPECT_EQ("query lParam=0x80000000 alive=1", refusing.Line());
  EXPECT_EQ("end wParam=1 lParam=0x80000000 alive=1", refusing.Line());
  EXPECT_EQ(0, refusing.End());
  EXPECT_EQ(0, vanishing.End());
  EXPECT_FALSE(Listed(session_));
}

// A shutdown tells every session's windows, with no logoff flag, before the
// system goes.
TEST_F(SessionEnd, AShutdownTellsEverySessionsWindowsFirst) {
  SessionWindow inside(daemon_.Root(), &session_, "");
  SessionWindow outside(daemon_.Root(), nullptr, "");
  ASSERT_EQ("ready", inside.Line());
  ASSERT_EQ("ready", outside.Line());
  ASSERT_TRUE(bw::test::EnableShutdownPrivilege());

  ASSERT_TRUE(ExitWindowsEx(EWX_SHUTDOWN, 0)) << GetLastError();
  EXPECT_EQ("query lParam=0x0 alive=1", inside.Line());
  EXPECT_EQ("end wParam=1 lParam=0x0 alive=1", inside.Line());
  EXPECT_EQ(0, inside.End());
  // The caller's default session (as root: the system's, which lists as
  // none of a user's) hears it too.
  EXPECT_EQ(0u, outside.Line().rfind("query lParam=0x0 alive=", 0));
  EXPECT_EQ(0u, outside.Line().rfind("end wParam=1 lParam=0x0 alive=", 0));
  EXPECT_EQ(0, outside.End());
}

}  // namespace
