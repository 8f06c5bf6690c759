// The save at shutdown as the system does it: ramvold with the drivers gets
// SIGTERM, and of two memory volumes loaded from images only the one whose
// properties ask for it is written back into its image.
#include "engine/protocol/engine_protocol.h"
#include "platform/daemon/tests/daemon_harness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace bw::test {
namespace {

constexpr uint64_t kSize = 4ull << 20;
constexpr size_t kHeaderBlock = 4096;

std::string Hex(const std::vector<uint8_t> &bytes) {
  std::string text;
  char digits[3];
  for (uint8_t b : bytes) {
    snprintf(digits, sizeof digits, "%02X", b);
    text += digits;
  }
  return text;
}

class Bytes {
 public:
  explicit Bytes(size_t size) : bytes_(size, 0) {}
  template <typename T>
  Bytes &Put(size_t at, T value) {
    if (bytes_.size() < at + sizeof(T)) bytes_.resize(at + sizeof(T));
    std::memcpy(bytes_.data() + at, &value, sizeof(T));
    return *this;
  }
  Bytes &Append(const std::u16string &text) {
    for (char16_t c : text) {
      bytes_.push_back(static_cast<uint8_t>(c));
      bytes_.push_back(static_cast<uint8_t>(c >> 8));
    }
    return *this;
  }
  Bytes &Append(const std::string &text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  const std::vector<uint8_t> &Get() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

std::u16string NtPath(const std::string &hostPath) {
  std::u16string path = u"\\??\\Z:";
  for (char c : hostPath) path.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
  return path;
}

std::vector<uint8_t> FileBytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  return std::vector<uint8_t>(s.begin(), s.end());
}

// What devio printed after its status line, as bytes.
std::vector<uint8_t> OutputBytes(const std::string &printed) {
  std::vector<uint8_t> bytes;
  std::istringstream in(printed.substr(printed.find('\n') + 1));
  std::string digits;
  while (in >> digits) bytes.push_back(static_cast<uint8_t>(std::stoul(digits, nullptr, 16)));
  return bytes;
}

class ShutdownSave : public testing::Test {
 protected:
  std::string Control(uint32_t code, const Bytes &input, unsigned output) {
    char codeText[16];
    snprintf(codeText, sizeof codeText, "0x%X", code);
    return Devio(daemon_, std::string("'\\\\.\\BrimwellVolume' ") + codeText + " " + Hex(input.Get()) +
                              " --out " + std::to_string(output));
  }

  // An image with a header whose data are zeros (no file system).
  void CreateZeroImage(const std::string &image) {
    std::u16string path = NtPath(image);
    Bytes request(24);
    request.Put<uint32_t>(0, ENGINE_ALGORITHM_NULL).Put<uint8_t>(4, 1).Put<uint64_t>(7, kSize);
    request.Put<uint32_t>(16, ENGINE_FS_RAW).Put<uint16_t>(22, static_cast<uint16_t>(path.size() * 2));
    request.Append(path);
    ASSERT_EQ("status=0x00000000 information=0\n\n", Control(IOCTL_ENGINE_CREATE_IMAGE, request, 4));
  }

  // A memory volume loaded from Image and formatted FAT in memory: its
  // memory differs from its image from the start.
  uint64_t LoadAndFormat(const std::string &image, const std::string &label) {
    std::u16string path = NtPath(image);
    Bytes request(34);
    request.Put<uint32_t>(12, ENGINE_MOUNT_MEMORY).Put<uint32_t>(20, ENGINE_FS_FAT);
    request.Put<uint16_t>(28, static_cast<uint16_t>(label.size()));
    request.Put<uint16_t>(32, static_cast<uint16_t>(path.size() * 2));
    request.Append(path).Append(label).Put<uint16_t>(request.Get().size(), 0);
    std::string printed = Control(IOCTL_ENGINE_CREATE_MEMORY_VOLUME, request, 16);
    EXPECT_EQ(0u, printed.find("status=0x00000000 information=16\n")) << printed;
    std::vector<uint8_t> reply = OutputBytes(printed);
    if (reply.size() != 16) return 0;
    uint32_t status, outcome;
    uint64_t handle;
    std::memcpy(&status, reply.data(), 4);
    std::memcpy(&handle, reply.data() + 4, 8);
    std::memcpy(&outcome, reply.data() + 12, 4);
    EXPECT_EQ(0u, status);
    EXPECT_EQ(0u, outcome);
    return handle;
  }

  Daemon daemon_;
};

TEST_F(ShutdownSave, SigtermSavesTheVolumeWithPropertyBitZeroOnly) {
  ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
  std::string saved = daemon_.Root() + "/saved.img", kept = daemon_.Root() + "/kept.img";
  CreateZeroImage(saved);
  CreateZeroImage(kept);
  std::vector<uint8_t> keptBefore = FileBytes(kept);
  ASSERT_EQ(kSize + 2 * kHeaderBlock, keptBefore.size());

  uint64_t savedVolume = LoadAndFormat(saved, "SAVED");
  uint64_t keptVolume = LoadAndFormat(kept, "KEPT");
  ASSERT_NE(0u, savedVolume);
  ASSERT_NE(0u, keptVolume);
  EXPECT_EQ("status=0x00000000 information=0\n\n",
            Control(IOCTL_ENGINE_SET_PROPERTIES,
                    Bytes(16).Put<uint64_t>(0, savedVolume).Put<uint32_t>(8, ENGINE_PROPERTY_SAVE_AT_SHUTDOWN), 0));
  // The images are untouched until the shutdown.
  EXPECT_EQ(0, FileBytes(saved)[kHeaderBlock + 510]);

  EXPECT_EQ(0, daemon_.Stop());

  // Saved whole: the FAT volume from memory behind the header, with the
  // properties in the header, and the file as long as the data says.
  std::vector<uint8_t> image = FileBytes(saved);
  ASSERT_EQ(kSize + 2 * kHeaderBlock, image.size());
  EXPECT_EQ(0x55, image[kHeaderBlock + 510]);
  EXPECT_EQ(0xAA, image[kHeaderBlock + 511]);
  EXPECT_EQ(0, std::memcmp(&image[kHeaderBlock + 54], "FAT1", 4));
  // The label lives in the root folder's first entry.
  std::string data(image.begin() + kHeaderBlock, image.end() - kHeaderBlock);
  EXPECT_NE(std::string::npos, data.find("SAVED      \x08"));
  uint32_t signature;
  std::memcpy(&signature, image.data(), 4);
  EXPECT_EQ(0x1D475F3Eu, signature);
  uint32_t properties;
  std::memcpy(&properties, image.data() + 128, 4);
  EXPECT_EQ(ENGINE_PROPERTY_SAVE_AT_SHUTDOWN, properties);
  EXPECT_EQ(0, std::memcmp(image.data(), image.data() + image.size() - kHeaderBlock, kHeaderBlock));

  // Not asked for: byte for byte what it was.
  EXPECT_TRUE(keptBefore == FileBytes(kept));
}

}  // namespace
}  // namespace bw::test
