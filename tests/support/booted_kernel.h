// A fresh kernel stand-in per test, booted on a temporary root, and the one
// leak check every such test ends with: no pool tag holds more allocations
// than right after the boot, and no MDL pages or mappings are left.
#pragma once

#include "bw/host.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace bw::test {

// Outstanding pool allocations by tag.
using PoolCounts = std::map<ULONG, uint64_t>;
PoolCounts PoolAllocationsByTag();
// One "tag: +n" line for every tag with more allocations now than in Before;
// empty when none grew.
std::string PoolGrowthSince(const PoolCounts &before);

class BootedKernelTest : public ::testing::Test {
 protected:
  // Makes root_, boots with BootOptionsFor, and counts the pool.
  void SetUp() override;
  // Clears faults, checks for leaks, shuts the kernel down and removes root_.
  // Fixtures that load drivers unload them first, then call this.
  void TearDown() override;

  // Boot options for a boot on root_: its machine state in root_ itself.
  virtual BootOptions BootOptionsFor(const std::string &root) const;
  // Counts the pool afresh, for fixtures whose set-up keeps allocations on
  // purpose until the test ends.
  void TakePoolBaseline() { poolBaseline_ = PoolAllocationsByTag(); }

  std::string root_;

 private:
  PoolCounts poolBaseline_;
};

}  // namespace bw::test
