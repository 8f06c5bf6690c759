#include "tests/support/booted_kernel.h"

#include "tests/support/status_matchers.h"

#include <cstdlib>
#include <filesystem>

namespace bw::test {

PoolCounts PoolAllocationsByTag() {
  PoolCounts counts;
  for (const PoolTagUsage &usage : PoolUsage())
    if (usage.allocations) counts[usage.tag] = usage.allocations;
  return counts;
}

std::string PoolGrowthSince(const PoolCounts &before) {
  std::string text;
  for (const auto &[tag, count] : PoolAllocationsByTag()) {
    auto it = before.find(tag);
    uint64_t was = it == before.end() ? 0 : it->second;
    if (count > was) text += TagName(tag) + ": +" + std::to_string(count - was) + "\n";
  }
  return text;
}

BootOptions BootedKernelTest::BootOptionsFor(const std::string &root) const {
  BootOptions options;
  options.root = root;
  return options;
}

void BootedKernelTest::SetUp() {
  char pattern[] = "/tmp/bw-test-XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  root_ = pattern;
  std::string error;
  ASSERT_STATUS(STATUS_SUCCESS, KernelBoot(BootOptionsFor(root_), &error)) << error;
  TakePoolBaseline();
}

void BootedKernelTest::TearDown() {
  ClearFaults();
  EXPECT_EQ("", PoolGrowthSince(poolBaseline_)) << "pool allocations left behind";
  EXPECT_EQ(0u, MdlPagesOutstanding()) << "MDL pages left behind";
  EXPECT_EQ(0u, MappingsOutstanding()) << "mappings left behind";
  KernelShutdown();
  std::error_code ignored;
  if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

}  // namespace bw::test
