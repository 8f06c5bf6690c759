// CreateImage and the files it may find or leave: a file that appears
// between the check and the open, and a creation cut short.
#include "engine/image/tests/image_fixture.h"

#include <algorithm>

namespace storetest {
namespace {

const std::vector<uint8_t> kKeep = {'k', 'e', 'e', 'p'};

TEST_F(ImageTest, CreateWithoutOverwriteNeverReplacesAFile) {
  std::string image = Host("there.img");
  WriteFileBytes(image, kKeep);
  // The check for the file fails, as it would if the file appeared just
  // after it: the creation still finds the file and leaves it alone.
  bw::InjectFault(bw::Fault::FileCall, 0, 1);
  EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, CreateImage(image, CIPHER_ALGORITHM_NULL, u"", 1, 1 << 20, 1, "", false));
  bw::ClearFaults();
  EXPECT_TRUE(FileBytes(image) == kKeep);
  // Asked to overwrite, it replaces the file.
  ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image, CIPHER_ALGORITHM_NULL, u"", 1, 1 << 20, 1, "", true));
  EXPECT_EQ((1u << 20) + 8192, FileSize(image));
}

// A creation cut short (a kill: from some point on nothing reaches the file,
// not even the cleanup) leaves a file that is refused, unless every byte of
// the image made it.
TEST_F(ImageTest, InterruptedCreationLeavesNoImage) {
  std::string image = Host("cut.img");
  const ULONGLONG size = 2 << 20;
  int leftovers = 0;
  for (uint32_t skip = 0;; ++skip) {
    ASSERT_LT(skip, 200u);
    std::filesystem::remove(image);
    bw::InjectFault(bw::Fault::FileCall, skip, 1000);
    NTSTATUS status = CreateImage(image, CIPHER_ALGORITHM_XOR, u"k", 2, size, 1, "CUT");
    bw::ClearFaults();
    if (NT_SUCCESS(status)) break;
    if (!std::filesystem::exists(image)) continue;
    ++leftovers;
    CipherHolder cipher;
    VolumeStore *store = nullptr;
    ULONG outcome = 99;
    if (!NT_SUCCESS(OpenImage(image, u"k", kMemory, &store, &outcome, &cipher))) continue;
    // It mounts: then it is the whole image, partition table, file system
    // and the zeros behind them.
    std::vector<uint8_t> volume = ReadAll(store);
    StoreRelease(&store, FALSE);
    SCOPED_TRACE(skip);
    EXPECT_EQ(0u, outcome);
    EXPECT_EQ(0x55, volume[510]);
    EXPECT_EQ(0xAA, volume[511]);
    EXPECT_EQ(0x55, volume[512 + 510]);
    EXPECT_EQ(0xAA, volume[512 + 511]);
    EXPECT_TRUE(std::all_of(volume.end() - 512, volume.end(), [](uint8_t b) { return b == 0; }));
  }
  EXPECT_GT(leftovers, 5);
}

}  // namespace
}  // namespace storetest
