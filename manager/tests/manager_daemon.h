// A running system for the manager's tests that reach the registry or
// start programs: ramvold on a root of its own, found through BRIMWELL_ROOT.
#pragma once

#include "platform/daemon/tests/daemon_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace Ramdeck::test {

class SystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  void TearDown() override { EXPECT_EQ(0, daemon_.Stop()); }

  bw::test::Daemon daemon_;
};

}  // namespace Ramdeck::test
