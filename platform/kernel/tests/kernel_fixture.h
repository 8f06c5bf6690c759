// A fresh kernel per test, booted on a temporary root.
#pragma once

#include "bw/host.h"
#include "bw/user_session.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace bw::test {

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/bwkernel.XXXXXX";
    root_ = mkdtemp(pattern);
    std::string error;
    BootOptions options;
    options.root = root_;
    Configure(options);
    ASSERT_STATUS(STATUS_SUCCESS, KernelBoot(options, &error)) << error;
  }
  // A fixture may boot with other options.
  virtual void Configure(BootOptions &) {}
  void TearDown() override {
    KernelShutdown();
    std::filesystem::remove_all(root_);
  }
  std::string root_;
};

}  // namespace bw::test
