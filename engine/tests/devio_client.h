// Control requests to the engine as a user's script sends them: devio in a
// separate process, records built field by field, replies parsed back.
#pragma once

#include "engine/protocol/engine_protocol.h"
#include "platform/daemon/tests/daemon_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace bw::test {

inline const std::string kControl = "'\\\\.\\BrimwellVolume' ";

inline std::vector<uint8_t> FromHex(const std::string &text) {
  std::vector<uint8_t> bytes;
  std::istringstream in(text);
  std::string pair;
  while (in >> pair) bytes.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
  return bytes;
}

// The NT form of a host path, as UTF-16LE bytes.
inline std::vector<uint8_t> NtPath(const std::string &hostPath) {
  std::vector<uint8_t> bytes;
  for (char c : "\\??\\Z:" + hostPath) {
    char16_t wide = c == '/' ? u'\\' : static_cast<char16_t>(c);
    bytes.push_back(static_cast<uint8_t>(wide));
    bytes.push_back(static_cast<uint8_t>(wide >> 8));
  }
  return bytes;
}

template <typename Record>
inline std::vector<uint8_t> Bytes(const Record &record) {
  std::vector<uint8_t> bytes(sizeof(Record));
  std::memcpy(bytes.data(), &record, sizeof(Record));
  return bytes;
}

inline std::vector<uint8_t> Join(std::vector<uint8_t> head, const std::vector<uint8_t> &tail, size_t zeros) {
  head.insert(head.end(), tail.begin(), tail.end());
  head.insert(head.end(), zeros, 0);
  return head;
}

// The status line and the output bytes of one devio call.
struct Reply {
  std::string status;
  std::vector<uint8_t> output;
};

inline Reply Control(const Daemon &daemon, uint32_t code, const std::vector<uint8_t> &input, size_t out) {
  char codeText[16];
  snprintf(codeText, sizeof codeText, "0x%X", code);
  std::string text = Devio(daemon, kControl + codeText + " " + (input.empty() ? "''" : Hex(input)) +
                                       " --out " + std::to_string(out));
  size_t line = text.find('\n');
  return {text.substr(0, line), FromHex(line == std::string::npos ? "" : text.substr(line + 1))};
}

inline uint64_t MountedHandle(const Reply &reply) {
  EXPECT_EQ("status=0x00000000 information=16", reply.status);
  if (reply.output.size() != sizeof(MountResult)) return 0;
  MountResult result;
  std::memcpy(&result, reply.output.data(), sizeof result);
  EXPECT_EQ(0, result.Status);
  EXPECT_EQ(0u, result.ImageStatus);
  return result.VolumeHandle;
}

}  // namespace bw::test
