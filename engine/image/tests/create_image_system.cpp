// CreateImage as users reach it: ramvold with the drivers, devio from a
// separate process.
#include "platform/daemon/tests/daemon_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace bw::test {
namespace {

// A CreateImageRequest: algorithm, kind, password length, size, overwrite,
// file system, label length, path length, then path, password and label.
std::vector<uint8_t> Request(const std::string &hostPath, uint64_t size, uint32_t fileSystem,
                             const std::string &label, uint8_t kind = 1) {
  std::u16string path = u"\\??\\Z:";
  for (char c : hostPath) path.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
  std::vector<uint8_t> r(24, 0);
  auto put = [&](size_t at, const void *v, size_t n) { std::memcpy(r.data() + at, v, n); };
  uint32_t algorithm = 1;
  uint16_t labelLength = static_cast<uint16_t>(label.size());
  uint16_t pathLength = static_cast<uint16_t>(path.size() * 2);
  put(0, &algorithm, 4);
  r[4] = kind;
  put(7, &size, 8);
  put(16, &fileSystem, 4);
  put(20, &labelLength, 2);
  put(22, &pathLength, 2);
  for (char16_t c : path) {
    r.push_back(static_cast<uint8_t>(c));
    r.push_back(static_cast<uint8_t>(c >> 8));
  }
  r.insert(r.end(), label.begin(), label.end());
  return r;
}

TEST(CreateImageSystemTest, DevioCreatesAFormattedImage) {
  Daemon daemon;
  ASSERT_TRUE(daemon.Start({"--load-drivers"})) << daemon.Output();
  std::string image = daemon.Root() + "/made.img";
  EXPECT_EQ("status=0x00000000 information=0\n\n",
            Devio(daemon, "'\\\\.\\BrimwellVolume' 0x222004 " + Hex(Request(image, 8 << 20, 1, "MADE")) + " --out 4"));
  std::vector<uint8_t> bytes = FileBytes(image);
  ASSERT_EQ((8u << 20) + 8192, bytes.size());
  uint32_t signature;
  std::memcpy(&signature, bytes.data(), 4);
  EXPECT_EQ(0x1D475F3Eu, signature);
  EXPECT_EQ(0, std::memcmp(bytes.data(), bytes.data() + bytes.size() - 4096, 4096));
  EXPECT_EQ(0x55, bytes[4096 + 510]);
  EXPECT_EQ(0xAA, bytes[4096 + 511]);
  EXPECT_EQ(0, std::memcmp(&bytes[4096 + 3], "MSWIN4.1", 8));

  // The file is there now: without overwrite it stays.
  EXPECT_EQ("status=0x40000000 information=0\n\n",
            Devio(daemon, "'\\\\.\\BrimwellVolume' 0x222004 " + Hex(Request(image, 1 << 20, 1, "")) + " --out 4"));
  EXPECT_EQ((8u << 20) + 8192, FileBytes(image).size());
  // A size NTFS cannot take is answered inside the reply, with nothing made.
  std::string small = daemon.Root() + "/small.img";
  EXPECT_EQ("status=0x00000000 information=4\n2B 04 00 C0\n",
            Devio(daemon, "'\\\\.\\BrimwellVolume' 0x222004 " + Hex(Request(small, 1 << 20, 3, "")) + " --out 4"));
  EXPECT_FALSE(std::ifstream(small).good());
  EXPECT_EQ(0, daemon.Stop());
}

}  // namespace
}  // namespace bw::test
