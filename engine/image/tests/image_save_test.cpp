// SaveImage into files that must mount again: volumes of any size, targets
// that do not hold the volume's image, and saves that meet a format.
#include "engine/protocol/engine_protocol.h"
#include "engine/image/tests/image_fixture.h"

#include <algorithm>

namespace storetest {
namespace {

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 random(seed);
  for (auto &b : bytes) b = static_cast<uint8_t>(random());
  return bytes;
}

class ImageSaveTest : public ImageTest {
 protected:
  // Loads the image as a memory volume: its outcome and bytes.
  std::vector<uint8_t> Load(const std::string &image, const std::u16string &key, ULONG *outcome) {
    CipherHolder cipher;
    VolumeStore *store = nullptr;
    *outcome = 99;
    NTSTATUS status = OpenImage(image, key, kMemory, &store, outcome, &cipher);
    EXPECT_STATUS(STATUS_SUCCESS, status);
    if (!NT_SUCCESS(status)) return {};
    std::vector<uint8_t> bytes = ReadAll(store);
    StoreRelease(&store, FALSE);
    return bytes;
  }
};

// The header counts whole header blocks of data; the file ends where the
// header says, and the volume loaded from it reads zeros behind the old end.
TEST_F(ImageSaveTest, VolumesOfAnySizeSaveImagesThatMount) {
  for (ULONG algorithm : {CIPHER_ALGORITHM_NULL, CIPHER_ALGORITHM_XOR}) {
    for (ULONGLONG size : {(1ull << 20) + 512, (1ull << 20) + 1000, 4097ull}) {
      SCOPED_TRACE(std::to_string(algorithm) + "/" + std::to_string(size));
      CipherHolder cipher;
      MakeCipher(&cipher, algorithm, u"odd");
      VolumeStore *store = nullptr;
      ASSERT_STATUS(STATUS_SUCCESS, MemoryStore(size, cipher.get(), &store));
      std::vector<uint8_t> data = Pattern(size, static_cast<uint32_t>(size));
      ASSERT_STATUS(STATUS_SUCCESS, Write(store, data.data(), 0, static_cast<ULONG>(size)));
      std::string image = Host("odd.img");
      Path path(NtPath(image));
      NTSTATUS saved = ImageSave(store, 0, path.get());
      StoreRelease(&store, FALSE);
      ASSERT_STATUS(STATUS_SUCCESS, saved);

      const ULONGLONG whole = (size + 4095) / 4096 * 4096;
      EXPECT_EQ(whole + 8192, FileSize(image));
      ULONG outcome = 99;
      std::vector<uint8_t> loaded = Load(image, u"odd", &outcome);
      EXPECT_EQ(0u, outcome);
      ASSERT_EQ(whole, loaded.size());
      EXPECT_TRUE(std::equal(data.begin(), data.end(), loaded.begin()));
      EXPECT_TRUE(std::all_of(loaded.begin() + static_cast<std::ptrdiff_t>(size), loaded.end(),
                              [](uint8_t b) { return b == 0; }));
    }
  }
}

}  // namespace
}  // namespace storetest
