// Autoflush as file-system tools see its result: a memory volume loaded
// from an xor image gets a new file system in memory, the one-second
// autoflush writes the changed blocks back, and the image, decoded, is a
// volume that dosfstools and ntfs-3g's tools read cleanly and that mounts
// again with the same bytes.
#include "engine/format/tests/support/peer_support.h"
#include "engine/tests/apc_log.h"
#include "engine/tests/volume_fixture.h"

#include <openssl/sha.h>

#include <filesystem>
#include <regex>
#include <sstream>

namespace enginetest {
namespace {

using bw::test::CommandResult;
using bw::test::FsckClean;
using bw::test::FindTool;
using bw::test::RunCommand;
using bw::test::ShellQuote;

constexpr size_t kHeaderBlock = 4096;

// The xor key stream: SHA-512 of SHA-512 of the password's UTF-16 bytes,
// repeated every 64 bytes from the start of each sector.
std::vector<uint8_t> KeyMaterial(const std::u16string &password) {
  std::vector<uint8_t> bytes;
  for (char16_t c : password) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  uint8_t once[SHA512_DIGEST_LENGTH], twice[SHA512_DIGEST_LENGTH];
  SHA512(bytes.data(), bytes.size(), once);
  SHA512(once, sizeof once, twice);
  return std::vector<uint8_t>(twice, twice + sizeof twice);
}

// fsck.fat -n found nothing but what the formatter means, and read the volume.
struct FlushCase {
  const char *name;
  // What the image held before. The FAT formatter expects zeros where it
  // writes only the first FAT sector; NTFS writes all it needs.
  uint32_t imageFileSystem;
  uint32_t fileSystem;       // what the volume is formatted to in memory
  ULONGLONG size;
};

class AutoflushPeer : public VolumeFixture, public testing::WithParamInterface<FlushCase> {
 protected:
  const char *EngineModule() const override { return "ramvol_hooks.sys"; }

  // Registers a listener thread of the test's process for notifications.
  void Listen() {
    listener_ = process_->CreateThread(300);
    log_.Attach(*listener_);
    HANDLE handle = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, process_->OpenThreadHandle(*listener_, &handle));
    ASSERT_STATUS(STATUS_SUCCESS,
                  Control(IOCTL_ENGINE_REGISTER_NOTIFY,
                          Record(16).Put<uint64_t>(0, reinterpret_cast<uint64_t>(handle)).Put<uint64_t>(8, 0x1000),
                          0)
                      .status);
  }

  std::shared_ptr<bw::UserThread> listener_;
  ApcLog log_;
};

TEST_P(AutoflushPeer, FlushedImageDecodesToACleanVolumeAndMountsAgain) {
  const FlushCase &c = GetParam();
  std::string fsck = FindTool("fsck.fat"), ntfsfix = FindTool("ntfsfix"), ntfsinfo = FindTool("ntfsinfo"),
              ntfsls = FindTool("ntfsls");
  if (c.fileSystem == ENGINE_FS_NTFS) {
    BW_REQUIRE_PEER_TOOL(ntfsfix, "ntfsfix", "ntfs-3g");
    BW_REQUIRE_PEER_TOOL(ntfsinfo, "ntfsinfo", "ntfs-3g");
    BW_REQUIRE_PEER_TOOL(ntfsls, "ntfsls", "ntfs-3g");
  } else {
    BW_REQUIRE_PEER_TOOL(fsck, "fsck.fat", "dosfstools");
  }
  const std::u16string key = u"flush key";
  std::string image = root_ + "/autoflush.img";
  ASSERT_STATUS(STATUS_SUCCESS, CreateImageFile(image, ENGINE_ALGORITHM_XOR, key, c.size, c.imageFileSystem));
  ASSERT_EQ(c.size + 2 * kHeaderBlock, std::filesystem::file_size(image));
  ASSERT_NO_FATAL_FAILURE(Listen());

  Reply volume = CreateMemory(0, kMemory, 0, c.fileSystem, NtPath(image), key, "FLUSHED");
  ASSERT_STATUS(STATUS_SUCCESS, volume.status);
  ASSERT_EQ(0u, volume.outcome);
  HANDLE device = OpenDevice(volume.handle);
  // Some data past the file system's own structures, in the last megabyte.
  std::vector<uint8_t> data = Pattern(40000, 5);
  ASSERT_STATUS(STATUS_SUCCESS, Transfer(device, true, data.data(), 40000, c.size - kMiB + 777));
  std::vector<uint8_t> contents = ReadAll(device, c.size);

  ASSERT_STATUS(STATUS_SUCCESS, FlushState(volume.handle, 1, 0));
  ASSERT_TRUE(log_.WaitForEvent(ENGINE_EVENT_AUTOFLUSH_FINISHED));
  ASSERT_STATUS(STATUS_SUCCESS, FlushState(volume.handle, 0, 0));
  EXPECT_EQ(contents, ReadAll(device, c.size));
  CloseDevice(device);
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(volume.handle, 1, 0));
  WaitForVolumeCount(0);
  ASSERT_EQ(0u, VolumeCount());

  // Copy 1 and the data; the second copy is cut off.
  std::vector<uint8_t> file;
  ASSERT_TRUE(bw::test::ReadHostFile(image, &file));
  ASSERT_EQ(c.size + kHeaderBlock, file.size());
  std::vector<uint8_t> decoded(file.begin() + kHeaderBlock, file.end());
  std::vector<uint8_t> keyStream = KeyMaterial(key);
  for (size_t i = 0; i < decoded.size(); ++i) decoded[i] ^= keyStream[i % 64];
  EXPECT_TRUE(decoded == contents) << "the image does not hold what the volume held";
  std::string plain = root_ + "/autoflush.volume";
  ASSERT_TRUE(bw::test::WriteHostFile(plain, decoded));

  if (c.fileSystem == ENGINE_FS_NTFS) {
    CommandResult fix = RunCommand(ntfsfix + " -n " + ShellQuote(plain));
    EXPECT_EQ(0, fix.exitCode) << fix.output;
    CommandResult info = RunCommand(ntfsinfo + " -m " + ShellQuote(plain));
    EXPECT_EQ(0, info.exitCode) << info.output;
    EXPECT_NE(std::string::npos, info.output.find("FLUSHED")) << info.output;
    CommandResult list = RunCommand(ntfsls + " -a -s " + ShellQuote(plain));
    EXPECT_EQ(0, list.exitCode) << list.output;
    EXPECT_NE(std::string::npos, list.output.find("$MFT")) << list.output;
  } else {
    CommandResult check = RunCommand(fsck + " -n " + ShellQuote(plain));
    EXPECT_TRUE(FsckClean(check)) << check.output;
    std::string bytes(decoded.begin(), decoded.end());
    EXPECT_NE(std::string::npos, bytes.find("FLUSHED    \x08")) << "no label entry";
  }

  // The flushed image mounts again, directly and into memory, with the same bytes.
  Reply direct = OnceImageFree([&] { return MountImage(0, NtPath(image), key); });
  ASSERT_STATUS(STATUS_SUCCESS, direct.status);
  EXPECT_EQ(0u, direct.outcome);
  HANDLE again = OpenDevice(direct.handle);
  EXPECT_TRUE(contents == ReadAll(again, c.size));
  CloseDevice(again);
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(direct.handle, 1, 0));
  WaitForVolumeCount(0);
  Reply loaded = OnceImageFree([&] { return CreateMemory(0, kMemory, 0, 0, NtPath(image), key); });
  ASSERT_STATUS(STATUS_SUCCESS, loaded.status);
  EXPECT_EQ(0u, loaded.outcome);
  HANDLE memory = OpenDevice(loaded.handle);
  EXPECT_TRUE(contents == ReadAll(memory, c.size));
}

INSTANTIATE_TEST_SUITE_P(FileSystems, AutoflushPeer,
                         testing::Values(FlushCase{"FatOverZeros", ENGINE_FS_RAW, ENGINE_FS_FAT, 16 * kMiB},
                                         FlushCase{"NtfsOverFat", ENGINE_FS_FAT, ENGINE_FS_NTFS, 24 * kMiB}),
                         [](const testing::TestParamInfo<FlushCase> &info) { return info.param.name; });

}  // namespace
}  // namespace enginetest
