// System Restore switched through the automation objects of a running
// system: a drive that is there answers, one that is not fails.
#include <gtest/gtest.h>

#include "SystemRestore.h"
#include "platform/daemon/tests/daemon_harness.h"

namespace {

TEST(SystemRestore, SwitchesADriveThatIsThereAndFailsForOneThatIsNot) {
  bw::test::Daemon daemon;
  ASSERT_TRUE(daemon.Start()) << daemon.Output();
  setenv("BRIMWELL_ROOT", daemon.Root().c_str(), 1);
  EXPECT_TRUE(Ramdeck::SetSystemRestore(u'C', false));
  EXPECT_TRUE(Ramdeck::SetSystemRestore(u'c', true));
  EXPECT_FALSE(Ramdeck::SetSystemRestore(u'Q', false));
  EXPECT_FALSE(Ramdeck::SetSystemRestore(u'Q', true));
  EXPECT_FALSE(Ramdeck::SetSystemRestore(u'1', true));
}

}  // namespace
