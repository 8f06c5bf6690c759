// The program with its main window (on the offscreen display) as a user's
// session runs it: disks from its own and a later start's command line, a
// later start without parameters bringing the window forward, and the end
// of the session taking the logon disks and leaving the boot disks.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "manager_process.h"
#include "platform/daemon/tests/daemon_harness.h"

namespace {

using Ramdeck::test::HasLetter;
using Ramdeck::test::Manager;
using Ramdeck::test::WaitFor;

class MainWindowProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  void TearDown() override { daemon_.Stop(); }

  bw::test::Daemon daemon_;
};

TEST_F(MainWindowProgram, SessionEndTakesTheLogonDisksAndLaterStartsReachTheWindow) {
  // The user's own logon session, which the test ends as a logoff does.
  LUID logon;
  ASSERT_TRUE(BwBeginLogonSession(&logon));
  char session[18];
  BwFormatLogonSession(&logon, session);
  Manager window(daemon_.Root(), {"/add:letter=R,fs=fat,size=16M"}, session, Ramdeck::test::kRamdeck, true);
  ASSERT_TRUE(window.WaitFor("started: ")) << window.Output();
  ASSERT_TRUE(WaitFor([] { return HasLetter(u"R:\\"); })) << window.Output();

  {
    Manager later(daemon_.Root(), {"/add:type=boot,letter=B,fs=fat,size=16M"}, session, Ramdeck::test::kRamdeck,
                  true);
    EXPECT_EQ(0, later.Wait()) << later.Output();
  }
  EXPECT_TRUE(window.WaitFor("4000: ")) << window.Output();
  ASSERT_TRUE(WaitFor([] { return HasLetter(u"B:\\"); })) << window.Output();
  {
    Manager later(daemon_.Root(), {}, session, Ramdeck::test::kRamdeck, true);
    EXPECT_EQ(0, later.Wait()) << later.Output();
  }
  EXPECT_TRUE(window.WaitFor("4001")) << window.Output();

  // The manager hears of the end before the session is gone, and the end
  // waits for it: the logon disk (a global letter, which the session's end
  // alone would leave) is gone when the call returns, and the manager ends.
  ASSERT_TRUE(BwEndLogonSession(&logon));
  EXPECT_FALSE(HasLetter(u"R:\\")) << "the logon disk outlived the session\n" << window.Output();
  EXPECT_TRUE(HasLetter(u"B:\\")) << "the boot disk stays";
  EXPECT_EQ(0, window.Wait()) << window.Output();
  EXPECT_EQ(std::string::npos, window.Output().find("Sanitizer")) << window.Output();
}

}  // namespace
