// Small helpers for reading what the formatters wrote.
#pragma once

#include "bw/host.h"
#include "engine/format/format_internal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bw::test {

constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t GiB = 1024 * MiB;

// Every formatter test ends with no fault armed and no formatter buffer left
// in pool.
class FormatterTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ClearFaults();
    EXPECT_EQ(0u, PoolBytesWithTag(FORMAT_POOL_TAG)) << "formatter buffers left in pool";
  }
};

inline uint32_t Le16(const std::vector<uint8_t> &b, size_t at) {
  return static_cast<uint32_t>(b.at(at)) | static_cast<uint32_t>(b.at(at + 1)) << 8;
}

inline uint32_t Le32(const std::vector<uint8_t> &b, size_t at) {
  return Le16(b, at) | Le16(b, at + 2) << 16;
}

inline std::string Text(const std::vector<uint8_t> &b, size_t at, size_t length) {
  return std::string(b.begin() + at, b.begin() + at + length);
}

inline bool AllZero(const std::vector<uint8_t> &b, size_t from, size_t to) {
  for (size_t i = from; i < to; ++i)
    if (b.at(i) != 0) return false;
  return true;
}

}  // namespace bw::test
