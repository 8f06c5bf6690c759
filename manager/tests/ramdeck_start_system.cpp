// The Ramdeck program started as separate processes on a running ramvold:
// the hand-over of a later start's command line to the running manager,
// one manager per logon session, the mutexes it keeps, recovery after a
// crash, and the install and uninstall switches.
#include "manager/tests/manager_process.h"
#include "platform/daemon/tests/daemon_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

using Ramdeck::test::Manager;
using Ramdeck::test::kRamdeck;

class RamdeckStart : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  // A later start with `args` ended at once without starting a manager.
  static bool HandedOver(const std::string &root, std::vector<std::string> args,
                         std::string session = "") {
    Manager later(root, std::move(args), std::move(session));
    return later.Wait() == 0 && later.Output().find("started") == std::string::npos;
  }
  static bool MutexOpens(const char16_t *name) {
    HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, name);
    if (!h) return false;
    CloseHandle(h);
    return true;
  }
  bw::test::Daemon daemon_;
};

TEST_F(RamdeckStart, ALaterStartHandsItsCommandLineToTheRunningManager) {
  Manager first(daemon_.Root(), {"/MOUNT:r"});
  ASSERT_TRUE(first.WaitFor("started: " + kRamdeck + " /MOUNT:r\n")) << first.Output();
  EXPECT_TRUE(MutexOpens(u"BWCorvane"));
  EXPECT_TRUE(MutexOpens(u"Global\\BWCorvane"));

  ASSERT_TRUE(HandedOver(daemon_.Root(), {"/add:letter=T,label=My Disk", "-force", "/hide"}));
  EXPECT_TRUE(
      first.WaitFor("4000: " + kRamdeck + " \"/add:letter=T,label=My Disk\" -force /hide\n"))
      << first.Output();
  // Without parameters the running manager is asked to come to the front.
  ASSERT_TRUE(HandedOver(daemon_.Root(), {}));
  EXPECT_TRUE(first.WaitFor("\n4001\n")) << first.Output();

  // The mutexes go with the manager, once the system has seen its process end.
  first.Signal(SIGTERM);
  for (int i = 0; i < 100 && MutexOpens(u"Global\\BWCorvane"); ++i) usleep(50000);
  EXPECT_FALSE(MutexOpens(u"Global\\BWCorvane"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_FALSE(MutexOpens(u"BWCorvane"));
}

TEST_F(RamdeckStart, EachLogonSessionHasItsOwnManager) {
  Manager first(daemon_.Root(), {});
  ASSERT_TRUE(first.WaitFor("started: ")) << first.Output();
  LUID session;
  ASSERT_TRUE(BwBeginLogonSession(&session));
  CHAR text[18];
  BwFormatLogonSession(&session, text);
  Manager other(daemon_.Root(), {"/hide"}, text);
  EXPECT_TRUE(other.WaitFor("started hidden: ")) << other.Output();
  ASSERT_TRUE(HandedOver(daemon_.Root(), {"/save:all"}, text));
  EXPECT_TRUE(other.WaitFor("4000: " + kRamdeck + " /save:all\n")) << other.Output();
  EXPECT_EQ(std::string::npos, first.Output().find("/save:all"));
}

TEST_F(RamdeckStart, AManagerThatCrashedLeavesNothingInTheWay) {
  {
    Manager crashed(daemon_.Root(), {});
    ASSERT_TRUE(crashed.WaitFor("started: ")) << crashed.Output();
    crashed.Signal(SIGKILL);
  }
  Manager next(daemon_.Root(), {"/mount:all"});
  ASSERT_TRUE(next.WaitFor("started: ")) << next.Output();
  ASSERT_TRUE(HandedOver(daemon_.Root(), {"/unmount:all"}));
  EXPECT_TRUE(next.WaitFor("4000: " + kRamdeck + " /unmount:all\n")) << next.Output();
}

TEST_F(RamdeckStart, InstallAndUninstallSwitchesDriveTheEngineAndEnd) {
  auto engineAnswers = [] {
    HANDLE control =
        CreateFileW(u"\\\\.\\BrimwellVolume", GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (control == INVALID_HANDLE_VALUE) return false;
    CloseHandle(control);
    return true;
  };
  ASSERT_FALSE(engineAnswers());
  {
    Manager install(daemon_.Root(), {"/mount:R", "-Install", "/uninstall"});
    EXPECT_EQ(0, install.Wait()) << install.Output();
    EXPECT_EQ(std::string::npos, install.Output().find("started")) << install.Output();
  }
  EXPECT_TRUE(engineAnswers());
  // Installed, the engine starts with the system.
  ASSERT_EQ(0, daemon_.Stop());
  ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
  EXPECT_TRUE(engineAnswers());
  {
    Manager uninstall(daemon_.Root(), {"/UNINSTALL"});
    EXPECT_EQ(0, uninstall.Wait()) << uninstall.Output();
  }
  ASSERT_EQ(0, daemon_.Stop());
  ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
  EXPECT_FALSE(engineAnswers());

  // A program folder without the drivers' files: the failure is told and
  // the exit code is not 0.
  char pattern[] = "/tmp/ramdeck-alone.XXXXXX";
  std::string folder = mkdtemp(pattern);
  std::filesystem::copy_file(kRamdeck, folder + "/Ramdeck");
  {
    Manager alone(daemon_.Root(), {"/install"}, "", folder + "/Ramdeck");
    EXPECT_NE(0, alone.Wait());
    EXPECT_NE(std::string::npos, alone.Output().find("Unable to install/uninstall disk driver: "))
        << alone.Output();
  }
  std::filesystem::remove_all(folder);
  EXPECT_FALSE(engineAnswers());
}

}  // namespace
