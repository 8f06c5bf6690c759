// Loading images into memory volumes: the stored bytes go straight from the
// file into the store's pages in large steps, whatever the image's length,
// and a load that fails part-way leaves nothing behind. Saving changed
// sectors writes them straight from the pages: exactly the marked runs.
#include "engine/protocol/engine_protocol.h"
#include "engine/image/tests/image_fixture.h"

namespace storetest {
namespace {

class ImageLoadTest : public ImageTest {
 protected:
  // A "null" image of `data` bytes (whole header blocks) holding `content`.
  void MakeImage(const std::string &image, ULONGLONG data, const std::vector<uint8_t> &content) {
    ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image, CIPHER_ALGORITHM_NULL, u"", 1, data, 0));
    ASSERT_EQ(data + 8192, FileSize(image));
    Patch(image, 4096, content.data(), content.size());
  }
};

// Lengths around the step of the load (a whole walk block) and a raw image
// of whole sectors only: every byte arrives, none beyond the volume.
TEST_F(ImageLoadTest, ImagesOfAnyLengthLoadWhole) {
  const ULONGLONG step = STORE_WALK_BLOCK;
  for (ULONGLONG data : {step - 4096, step, step + 4096, 2 * step + 12288}) {
    SCOPED_TRACE(data);
    std::string image = Host("load.img");
    std::vector<uint8_t> content = Pattern(data, static_cast<uint32_t>(data));
    MakeImage(image, data, content);
    CipherHolder cipher;
    VolumeStore *store = nullptr;
    ULONG outcome = 99;
    ASSERT_STATUS(STATUS_SUCCESS, OpenImage(image, u"", kMemory, &store, &outcome, &cipher));
    EXPECT_EQ(0u, outcome);
    ASSERT_EQ(data, store->VolumeSize);
    EXPECT_TRUE(ReadAll(store) == content);
    EXPECT_EQ(0u, ChangeMapCount(store->Changes));
    StoreRelease(&store, FALSE);
    std::filesystem::remove(image);
  }
  // Raw: data from file offset 0, any whole number of sectors.
  std::string raw = Host("raw.img");
  std::vector<uint8_t> content = Pattern(step + 512, 77);
  WriteFileBytes(raw, content);
  CipherHolder cipher;
  VolumeStore *store = nullptr;
  ULONG outcome = 99;
  ASSERT_STATUS(STATUS_SUCCESS, OpenImage(raw, u"", kMemory | kRaw, &store, &outcome, &cipher));
  EXPECT_TRUE(ReadAll(store) == content);
  StoreRelease(&store, FALSE);
}

// Each host-file request in turn fails once, the reads of the load among
// them: every failure ends the creation with nothing left.
TEST_F(ImageLoadTest, ALoadFailingPartWayLeavesNothing) {
  const ULONGLONG data = 3 * STORE_WALK_BLOCK + 4096;  // four reads
  std::string image = Host("fail.img");
  MakeImage(image, data, Pattern(data, 5));
  CipherHolder cipher;
  MakeCipher(&cipher, CIPHER_ALGORITHM_NULL);
  Path path(NtPath(image));
  const uint64_t pool = bw::PoolOutstandingAllocations();
  int readFailures = 0;
  // Some requests may fail unnoticed (a header copy is read for what there
  // is of it); the walk ends once the fault falls behind every request.
  for (uint32_t skip = 0, successes = 0; skip < 40 && successes < 2; ++skip) {
    bw::InjectFault(bw::Fault::FileCall, skip, 1);
    VolumeStore *store = nullptr;
    ULONG outcome = 99;
    NTSTATUS status = StoreCreateForVolume(kMemory, 0, 0, path.get(), cipher.get(), &store, &outcome);
    bw::ClearFaults();
    if (NT_SUCCESS(status)) {
      ++successes;
      EXPECT_TRUE(ReadAll(store) == Pattern(data, 5)) << skip;
      StoreRelease(&store, FALSE);
      continue;
    }
    successes = 0;
    if (status == STATUS_IO_DEVICE_ERROR) ++readFailures;
    EXPECT_EQ(nullptr, store);
    EXPECT_EQ(pool, bw::PoolOutstandingAllocations()) << skip << "\n" << Leaks();
    EXPECT_EQ(0u, bw::MdlPagesOutstanding()) << skip;
    EXPECT_EQ(0u, bw::MappingsOutstanding()) << skip;
  }
  EXPECT_GE(readFailures, 4) << "each read of the load failed in turn";
}

// A changed-blocks save writes the marked runs and nothing else: bytes the
// file holds elsewhere stay as they are, even where the memory differs.
TEST_F(ImageLoadTest, ChangedSaveWritesExactlyTheMarkedRuns) {
  const ULONGLONG data = 4 << 20;
  std::string image = Host("changed.img");
  std::vector<uint8_t> content = Pattern(data, 9);
  MakeImage(image, data, content);
  CipherHolder cipher;
  VolumeStore *store = nullptr;
  ULONG outcome = 99;
  ASSERT_STATUS(STATUS_SUCCESS, OpenImage(image, u"", kMemory, &store, &outcome, &cipher));
  // The file changes behind the volume's back: only marked runs overwrite it.
  std::vector<uint8_t> file = FileBytes(image);
  for (size_t i = 4096; i < 4096 + data; i += 1000) file[i] ^= 0xFF;
  WriteFileBytes(image, file);

  std::mt19937 random(3);
  for (int i = 0; i < 200; ++i) {
    ULONGLONG sector = random() % (data / 512);
    ULONG sectors = random() % 3 == 0 ? 1 + random() % 300 : 1;
    if ((sector + sectors) * 512 > data) sectors = static_cast<ULONG>(data / 512 - sector);
    std::vector<uint8_t> bytes = Pattern(sectors * 512, i + 100);
    ASSERT_STATUS(STATUS_SUCCESS, Write(store, bytes.data(), sector * 512, sectors * 512));
    std::memcpy(file.data() + 4096 + sector * 512, bytes.data(), bytes.size());
  }
  ASSERT_STATUS(STATUS_SUCCESS, ImageSave(store, ENGINE_SAVE_CHANGED_ONLY, nullptr));
  EXPECT_EQ(0u, ChangeMapCount(store->Changes));
  std::vector<uint8_t> saved = FileBytes(image);
  ASSERT_EQ(file.size(), saved.size());
  EXPECT_TRUE(std::equal(file.begin() + 4096, file.end() - 4096, saved.begin() + 4096))
      << "the data area holds the old bytes but for the written runs";
  StoreRelease(&store, FALSE);
}

}  // namespace
}  // namespace storetest
