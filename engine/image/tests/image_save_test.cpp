// SaveImage into files that must mount again: volumes of any size, targets
// that do not hold the volume's image, and saves that meet a format.
#include "engine/protocol/engine_protocol.h"
#include "engine/image/tests/image_fixture.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace storetest {
namespace {

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

// Changed blocks bring only the volume's own image up to date: into any
// other file the save is whole.
TEST_F(ImageSaveTest, ChangedBlocksGoOnlyIntoTheOwnImage) {
  const ULONGLONG size = 1 << 20;
  std::string image = Host("own.img");
  std::string other = Host("other.img");
  ASSERT_STATUS(STATUS_SUCCESS, CreateImage(other, CIPHER_ALGORITHM_XOR, u"else", 1, size, 0));
  std::vector<uint8_t> data = Pattern(size, 7);
  auto fresh = [&](VolumeStore **store, CipherHolder *cipher) {
    ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image, CIPHER_ALGORITHM_XOR, u"k", 1, size, 0));
    ULONG outcome = 99;
    ASSERT_STATUS(STATUS_SUCCESS, OpenImage(image, u"k", kMemory | kDetach, store, &outcome, cipher));
    ASSERT_STATUS(STATUS_SUCCESS, Write(*store, data.data(), 0, static_cast<ULONG>(size)));
    ASSERT_STATUS(STATUS_SUCCESS, ImageSave(*store, 0, nullptr));
    ASSERT_STATUS(STATUS_SUCCESS, Write(*store, "changed", 5000, 7));
  };
  std::vector<uint8_t> expected = data;
  std::memcpy(&expected[5000], "changed", 7);

  struct Target {
    const char *name;
    std::function<void()> prepare;  // what happens to the files before the save
    bool ownPath;
  };
  std::string copy = Host("copy.img");
  for (const Target &t : {Target{"another path", [] {}, false},
                          Target{"own image deleted", [&] { std::filesystem::remove(image); }, true},
                          Target{"own image replaced", [&] { std::filesystem::copy_file(
                                                                 other, image,
                                                                 std::filesystem::copy_options::overwrite_existing); },
                                 true}}) {
    SCOPED_TRACE(t.name);
    CipherHolder cipher;
    VolumeStore *store = nullptr;
    fresh(&store, &cipher);
    ASSERT_NE(nullptr, store);
    t.prepare();
    Path copyPath(NtPath(copy));
    NTSTATUS saved = ImageSave(store, ENGINE_SAVE_CHANGED_ONLY, t.ownPath ? nullptr : copyPath.get());
    StoreRelease(&store, FALSE);
    ASSERT_STATUS(STATUS_SUCCESS, saved);
    ULONG outcome = 99;
    EXPECT_TRUE(Load(t.ownPath ? image : copy, u"k", &outcome) == expected);
    EXPECT_EQ(0u, outcome);
    std::filesystem::remove(copy);
  }

  // Into the own image it stays a changed-blocks save: a sector nobody
  // changed keeps what the file holds.
  CipherHolder cipher;
  VolumeStore *store = nullptr;
  fresh(&store, &cipher);
  ASSERT_NE(nullptr, store);
  const uint8_t mark[4] = {1, 2, 3, 4};
  Patch(image, 4096 + 100000, mark, sizeof(mark));
  NTSTATUS saved = ImageSave(store, ENGINE_SAVE_CHANGED_ONLY, nullptr);
  StoreRelease(&store, FALSE);
  ASSERT_STATUS(STATUS_SUCCESS, saved);
  std::vector<uint8_t> file = FileBytes(image);
  EXPECT_EQ(0, std::memcmp(&file[4096 + 100000], mark, sizeof(mark)));
}

// A format and a changed-blocks save protect the store each on its own: the
// end of one does not open writes while the other runs.
TEST_F(ImageSaveTest, FormatAndChangedSaveProtectIndependently) {
  std::string image = Host("both.img");
  ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image, CIPHER_ALGORITHM_NULL, u"", 1, 1 << 20, 0));
  CipherHolder cipher;
  VolumeStore *store = nullptr;
  ULONG outcome = 99;
  ASSERT_STATUS(STATUS_SUCCESS, OpenImage(image, u"", kMemory, &store, &outcome, &cipher));
  ASSERT_STATUS(STATUS_SUCCESS, Write(store, "a", 0, 1));
  store->SetWriteProtected(TRUE);  // a format begins
  EXPECT_STATUS(STATUS_SUCCESS, ImageSave(store, ENGINE_SAVE_CHANGED_ONLY, nullptr));
  EXPECT_TRUE(store->IsWriteProtected());
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED, Write(store, "b", 0, 1));
  store->SetWriteProtected(FALSE);  // and ends
  EXPECT_FALSE(store->IsWriteProtected());
  EXPECT_STATUS(STATUS_SUCCESS, Write(store, "c", 0, 1));
  StoreRelease(&store, FALSE);
}

// The formatter writes past the protection. What it writes while a
// changed-blocks save runs is either in the saved file or still marked as
// changed, never lost between the two.
TEST_F(ImageSaveTest, WritesDuringAChangedSaveKeepTheirMarks) {
  const ULONGLONG size = 16 << 20;
  std::string image = Host("busy.img");
  ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image, CIPHER_ALGORITHM_NULL, u"", 1, size, 0));
  CipherHolder cipher;
  VolumeStore *store = nullptr;
  ULONG outcome = 99;
  ASSERT_STATUS(STATUS_SUCCESS, OpenImage(image, u"", kMemory, &store, &outcome, &cipher));
  // Every other sector changed: one run each, so the save takes a while.
  std::vector<uint8_t> first(512, 0xA1), second(512, 0xB2);
  for (ULONGLONG sector = 0; sector < size / 512; sector += 2) {
    ASSERT_STATUS(STATUS_SUCCESS, Write(store, first.data(), sector * 512, 512));
  }

  // Once the save has put sector 0 into the file, the "formatter" writes it again.
  std::atomic<bool> wroteDuringSave{false};
  std::thread formatter([&] {
    std::ifstream file(image, std::ios::binary);
    std::vector<uint8_t> onDisk(512);
    for (int tries = 0; tries < 2000000; ++tries) {
      file.clear();
      file.seekg(4096);
      file.read(reinterpret_cast<char *>(onDisk.data()), 512);
      if (onDisk == first) break;
    }
    ULONG_PTR bytes = 0;
    NTSTATUS status = StoreWrite(store, STORE_WRITE_INTERNAL, second.data(), 0, 512, &bytes);
    wroteDuringSave = NT_SUCCESS(status) && store->IsWriteProtected();
  });
  NTSTATUS saved = ImageSave(store, ENGINE_SAVE_CHANGED_ONLY, nullptr);
  formatter.join();
  ASSERT_STATUS(STATUS_SUCCESS, saved);
  ASSERT_TRUE(wroteDuringSave) << "the save ended before the second write";
  std::vector<uint8_t> file = FileBytes(image);
  bool inFile = std::equal(second.begin(), second.end(), file.begin() + 4096);
  EXPECT_TRUE(inFile || ChangeMapTest(store->Changes, 0));
  // The next changed-blocks save brings it.
  ASSERT_STATUS(STATUS_SUCCESS, ImageSave(store, ENGINE_SAVE_CHANGED_ONLY, nullptr));
  file = FileBytes(image);
  EXPECT_TRUE(std::equal(second.begin(), second.end(), file.begin() + 4096));
  StoreRelease(&store, FALSE);
}

}  // namespace
}  // namespace storetest
