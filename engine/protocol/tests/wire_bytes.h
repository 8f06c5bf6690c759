// Byte-array helpers for the protocol tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/protocol/engine_protocol.h"

namespace wire {

using Bytes = std::vector<uint8_t>;

inline Bytes Utf16(std::u16string_view text) {
  Bytes out;
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFF));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

inline Bytes Ansi(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

inline Bytes Zeros(size_t count) { return Bytes(count, 0); }

inline EngineBytes View(const Bytes &bytes) {
  return EngineBytes{bytes.empty() ? nullptr : bytes.data(), static_cast<uint32_t>(bytes.size())};
}

inline Bytes Copy(EngineBytes view) {
  const uint8_t *p = static_cast<const uint8_t *>(view.Data);
  return view.Length ? Bytes(p, p + view.Length) : Bytes();
}

// Fields of packed records are read by value: the test macros take references,
// which a misaligned field cannot give.
template <typename T>
T Val(T value) {
  return value;
}

// The in-memory bytes of a fixed record.
template <typename T>
Bytes Raw(const T &record) {
  Bytes out(sizeof(T));
  std::memcpy(out.data(), &record, sizeof(T));
  return out;
}

// A heap block of exactly Size bytes holding the first Size bytes of a record
// (zero-padded), so that the sanitizer flags any read past the end.
struct Exact {
  std::unique_ptr<uint8_t[]> data;
  size_t size;
  const uint8_t *get() const { return data.get(); }
};
inline Exact ExactCopy(const Bytes &bytes, size_t size) {
  Exact block{std::make_unique<uint8_t[]>(size), size};
  std::memcpy(block.data.get(), bytes.data(), size < bytes.size() ? size : bytes.size());
  return block;
}

}  // namespace wire
