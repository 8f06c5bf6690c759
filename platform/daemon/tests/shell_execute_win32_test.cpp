// ShellExecuteExW and ShellExecuteW: a Windows program path on drive C: is
// its host file, started as a host process with the parameters split as a
// Windows program would split them; folders, documents and URLs go to the
// host's desktop opener; missing programs, folders and openers fail as on
// Windows.

#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

class ShellExecute : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
    output_ = daemon_.Root() + "/args.out";
    setenv("BW_ARGS_OUT", output_.c_str(), 1);
    // A host program that writes its arguments, one a line.
    Program(daemon_.Root() + "/C/Windows/notepad.exe");
    // An opener that writes what it was asked to open.
    openerFolder_ = daemon_.Root() + "/opener";
    std::filesystem::create_directories(openerFolder_);
    Program(openerFolder_ + "/xdg-open");
    savedPath_ = getenv("PATH") ? getenv("PATH") : "";
  }
  void TearDown() override {
    setenv("PATH", savedPath_.c_str(), 1);
    EXPECT_EQ(0, daemon_.Stop());
  }

  static void Program(const std::string &path) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$BW_ARGS_OUT.tmp\"\n"
                           "mv \"$BW_ARGS_OUT.tmp\" \"$BW_ARGS_OUT\"\n";
    chmod(path.c_str(), 0755);
  }
  // What the started program wrote, once it has.
  std::string Arguments() {
    for (int i = 0; i < 200; ++i) {
      if (std::filesystem::exists(output_)) {
        std::ifstream in(output_);
        std::stringstream text;
        text << in.rdbuf();
        std::filesystem::remove(output_);
        return text.str();
      }
      usleep(25000);
    }
    return "<nothing started>";
  }
  static BOOL Run(LPCWSTR file, LPCWSTR parameters, SHELLEXECUTEINFOW *info) {
    *info = SHELLEXECUTEINFOW{};
    info->cbSize = sizeof *info;
    info->fMask = SEE_MASK_WAITFORINPUTIDLE;
    info->lpFile = file;
    info->lpParameters = parameters;
    info->nShow = SW_SHOWDEFAULT;
    return ShellExecuteExW(info);
  }

  bw::test::Daemon daemon_;
  std::string output_, openerFolder_, savedPath_;
};

TEST_F(ShellExecute, ProgramsStartWithTheirParameters) {
  SHELLEXECUTEINFOW info;
  ASSERT_TRUE(Run(u"C:\\Windows\\notepad.exe", u"C:\\a.txt", &info)) << GetLastError();
  EXPECT_GT(reinterpret_cast<ULONG_PTR>(info.hInstApp), 32u);
  EXPECT_EQ("C:\\a.txt\n", Arguments());
  // Quotes group, backslashes before a quote escape it, and the name is
  // found without regard to case; a quoted program is taken without its quotes.
  ASSERT_TRUE(Run(u"\"c:\\WINDOWS\\Notepad.EXE\"", u"\"two words\" x\\\"y  last", &info)) << GetLastError();
  EXPECT_EQ("two words\nx\"y\nlast\n", Arguments());
  // A program in a folder with a space, without parameters.
  Program(daemon_.Root() + "/C/Program Files/Tool/tool.exe");
  ASSERT_TRUE(Run(u"\"C:\\Program Files\\Tool\\tool.exe\"", nullptr, &info)) << GetLastError();
  EXPECT_EQ("", Arguments());
  // A bare name is looked for in the system's folders, ".exe" added.
  EXPECT_GT(reinterpret_cast<ULONG_PTR>(ShellExecuteW(nullptr, u"open", u"notepad", u"-n", nullptr, SW_SHOW)), 32u);
  EXPECT_EQ("-n\n", Arguments());
}

TEST_F(ShellExecute, MissingProgramsFoldersAndOpeners) {
  SHELLEXECUTEINFOW info;
  EXPECT_FALSE(Run(u"C:\\Windows\\nothere.exe", nullptr, &info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(static_cast<ULONG_PTR>(SE_ERR_FNF), reinterpret_cast<ULONG_PTR>(info.hInstApp));
  EXPECT_FALSE(Run(u"C:\\No Folder\\tool.exe", nullptr, &info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_FALSE(Run(u"Q:\\tool.exe", nullptr, &info));  // no such drive
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_FALSE(Run(u"nothere", nullptr, &info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  // A verb nobody handles.
  info = SHELLEXECUTEINFOW{};
  info.cbSize = sizeof info;
  info.lpVerb = u"print";
  info.lpFile = u"C:\\Windows\\notepad.exe";
  EXPECT_FALSE(ShellExecuteExW(&info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_ASSOCIATION), GetLastError());
  info.cbSize = 3;
  EXPECT_FALSE(ShellExecuteExW(&info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

  // A document, a folder or a URL without an opener on the host.
  std::ofstream(daemon_.Root() + "/C/readme.txt") << "text";
  setenv("PATH", (daemon_.Root() + "/empty").c_str(), 1);
  EXPECT_FALSE(Run(u"C:\\readme.txt", nullptr, &info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_ASSOCIATION), GetLastError());
  EXPECT_EQ(static_cast<ULONG_PTR>(SE_ERR_NOASSOC), reinterpret_cast<ULONG_PTR>(info.hInstApp));
  EXPECT_FALSE(Run(u"https://example.invalid/", nullptr, &info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_ASSOCIATION), GetLastError());
}

TEST_F(ShellExecute, DocumentsFoldersAndUrlsGoToTheOpener) {
  setenv("PATH", (openerFolder_ + ":" + savedPath_).c_str(), 1);
  std::ofstream(daemon_.Root() + "/C/readme.txt") << "text";
  std::string drive = std::filesystem::canonical(daemon_.Root() + "/C").string();
  SHELLEXECUTEINFOW info;
  ASSERT_TRUE(Run(u"C:\\README.TXT", nullptr, &info)) << GetLastError();
  EXPECT_EQ(drive + "/readme.txt\n", Arguments());
  ASSERT_TRUE(Run(u"C:\\Windows\\", nullptr, &info)) << GetLastError();
  EXPECT_EQ(drive + "/Windows\n", Arguments());
  ASSERT_TRUE(Run(u"https://example.invalid/page?a=1", nullptr, &info)) << GetLastError();
  EXPECT_EQ("https://example.invalid/page?a=1\n", Arguments());
  // Variables are expanded when asked for.
  info = SHELLEXECUTEINFOW{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_DOENVSUBST;
  info.lpFile = u"%SystemRoot%\\notepad.exe";
  info.lpParameters = u"%SystemDrive%\\x";
  ASSERT_TRUE(ShellExecuteExW(&info)) << GetLastError();
  EXPECT_EQ("C:\\x\n", Arguments());
}

}  // namespace
