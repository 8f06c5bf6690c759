// Small helpers for reading what the formatters wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bw::test {

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
