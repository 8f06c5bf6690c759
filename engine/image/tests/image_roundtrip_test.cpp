// Images end to end: created by CreateImage, loaded into memory stores,
// changed, saved whole and changed-only, loaded again; and what CreateImage
// refuses or cleans up.
#include "kernel-support/kernel.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/image/tests/image_fixture.h"
#include "engine/volume/volume_parts.h"

namespace storetest {
namespace {

struct TripCase {
  ULONG algorithm;
  UCHAR layout;
  ULONG fileSystem;
};

class ImageRoundTrip : public ImageTest, public ::testing::WithParamInterface<TripCase> {};

TEST_P(ImageRoundTrip, CreateLoadChangeSaveLoad) {
  const TripCase &c = GetParam();
  const std::u16string key = c.algorithm == CIPHER_ALGORITHM_XOR ? u"Tr1p" : u"";
  const ULONGLONG size = (40 << 20) + 100;  // rounded up to whole header blocks
  const ULONGLONG data = (40 << 20) + 4096;
  std::string image = Host("trip.img");
  ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image, c.algorithm, key, c.layout, size, c.fileSystem, "TRIP"));
  ASSERT_EQ(data + 8192, FileSize(image));

  CipherHolder cipher;
  VolumeStore *store = nullptr;
  ULONG outcome = 99;
  ASSERT_STATUS(STATUS_SUCCESS, OpenImage(image, key, kMemory, &store, &outcome, &cipher));
  EXPECT_EQ(0u, outcome);
  EXPECT_EQ(data, store->VolumeSize);
  EXPECT_EQ(0u, ChangeMapCount(store->Changes));  // loading is no change
  std::vector<uint8_t> reference = ReadAll(store);

  // The file holds the stored bytes; decoded they are the volume.
  std::vector<uint8_t> file = FileBytes(image);
  std::vector<uint8_t> stored(file.begin() + 4096, file.end() - 4096);
  EXPECT_TRUE(Decode(stored, c.algorithm == CIPHER_ALGORITHM_XOR ? cipher.get()->KeyMaterial : nullptr) ==
              reference);
  if (c.layout == 2) {
    EXPECT_EQ(0x55, reference[510]);
    EXPECT_EQ(0x07, reference[446 + 4]);
    uint32_t first, count;
    std::memcpy(&first, &reference[446 + 8], 4);
    std::memcpy(&count, &reference[446 + 12], 4);
    EXPECT_EQ(1u, first);
    EXPECT_EQ(data / 512 - 1, count);
  }
  // A file system starts where the layout puts it.
  size_t boot = c.layout == 2 ? 512 : 0;
  if (c.fileSystem != 0) {
    EXPECT_EQ(0xAA, reference[boot + 511]);
  }

  // Change, save whole, load again.
  std::mt19937 random(c.algorithm * 10 + c.layout);
  auto scribble = [&](int count) {
    for (int i = 0; i < count; ++i) {
      ULONGLONG at = random() % (data - 70000);
      ULONG length = random() % 70000 + 1;
      std::vector<uint8_t> bytes(length);
      for (auto &b : bytes) b = static_cast<uint8_t>(random());
      ASSERT_STATUS(STATUS_SUCCESS, Write(store, bytes.data(), at, length));
      std::memcpy(reference.data() + at, bytes.data(), length);
    }
  };
  scribble(40);
  ASSERT_GT(ChangeMapCount(store->Changes), 0u);
  ASSERT_STATUS(STATUS_SUCCESS, ImageSave(store, 0, nullptr));
  EXPECT_EQ(0u, ChangeMapCount(store->Changes));
  // Changed blocks only: the rest of the file is left as the whole save wrote it.
  scribble(25);
  ASSERT_STATUS(STATUS_SUCCESS, ImageSave(store, ENGINE_SAVE_CHANGED_ONLY, nullptr));
  EXPECT_EQ(0u, ChangeMapCount(store->Changes));
  EXPECT_FALSE(store->IsWriteProtected());
  // Properties written into the header copy travel with the save.
  store->Header->Properties = 0x3;
  ASSERT_STATUS(STATUS_SUCCESS, ImageSave(store, ENGINE_SAVE_CHANGED_ONLY, nullptr));
  StoreRelease(&store, TRUE);

  CipherHolder again;
  ASSERT_STATUS(STATUS_SUCCESS, OpenImage(image, key, kMemory, &store, &outcome, &again));
  EXPECT_TRUE(ReadAll(store) == reference);
  EXPECT_EQ(0x3u, store->Header->Properties);
  StoreRelease(&store, FALSE);
  std::vector<uint8_t> saved = FileBytes(image);
  EXPECT_EQ(0, std::memcmp(saved.data(), saved.data() + saved.size() - 4096, 4096));
  // With the wrong key an xor image does not open at all.
  if (c.algorithm == CIPHER_ALGORITHM_XOR) {
    CipherHolder wrong;
    EXPECT_STATUS(STATUS_ACCESS_DENIED, OpenImage(image, u"trip", kMemory, &store, &outcome, &wrong));
    EXPECT_EQ(5u, outcome);
  }
}

INSTANTIATE_TEST_SUITE_P(Images, ImageRoundTrip,
                         ::testing::Values(TripCase{CIPHER_ALGORITHM_NULL, 1, 1}, TripCase{CIPHER_ALGORITHM_XOR, 1, 2},
                                           TripCase{CIPHER_ALGORITHM_NULL, 2, 2}, TripCase{CIPHER_ALGORITHM_XOR, 2, 3},
                                           TripCase{CIPHER_ALGORITHM_XOR, 1, 0}),
                         [](const ::testing::TestParamInfo<TripCase> &info) {
                           return ImageCaseName(info.param.algorithm, info.param.layout, info.param.fileSystem);
                         });

TEST_F(ImageTest, SaveTargetsAndDirectMounts) {
  std::string image = Host("own.img");
  ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image, CIPHER_ALGORITHM_XOR, u"k", 1, 1 << 20, 0));
  CipherHolder cipher;
  VolumeStore *store = nullptr;
  ULONG outcome = 0;
  ASSERT_STATUS(STATUS_SUCCESS, OpenImage(image, u"k", kMemory | kDetach, &store, &outcome, &cipher));
  EXPECT_EQ(nullptr, store->ImageFile);  // detached: only the path is kept
  std::vector<uint8_t> bytes(5000, 0x42);
  ASSERT_STATUS(STATUS_SUCCESS, Write(store, bytes.data(), 777, 5000));

  // Saving elsewhere leaves the change map: the store's own image still differs.
  std::string copy = Host("copy.img");
  Path copyPath(NtPath(copy));
  ASSERT_STATUS(STATUS_SUCCESS, ImageSave(store, 0, copyPath.get()));
  EXPECT_GT(ChangeMapCount(store->Changes), 0u);
  EXPECT_EQ(FileSize(image), FileSize(copy));
  // Saving to its own path (in another case) clears it.
  std::u16string upper = NtPath(image);
  for (auto &ch : upper) ch = static_cast<char16_t>(std::toupper(ch));
  Path ownPath(upper);
  ASSERT_STATUS(STATUS_SUCCESS, ImageSave(store, ENGINE_SAVE_CHANGED_ONLY, ownPath.get()));
  EXPECT_EQ(0u, ChangeMapCount(store->Changes));
  EXPECT_TRUE(FileBytes(image) == FileBytes(copy));
  StoreRelease(&store, FALSE);

  // A direct mount: the file is the store; its header sits in a view of the file.
  CipherHolder direct;
  ASSERT_STATUS(STATUS_SUCCESS, OpenImage(image, u"k", 0, &store, &outcome, &direct));
  EXPECT_FALSE(StoreIsMemory(store));
  EXPECT_NE(nullptr, store->ImageView);
  std::vector<uint8_t> back(5000);
  ULONG_PTR moved = 0;
  ASSERT_STATUS(STATUS_SUCCESS, Read(store, back.data(), 512, 5120 - 512, &moved));
  EXPECT_EQ(0x42, back[777 - 512]);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Read(store, back.data(), 1, 512));
  EXPECT_STATUS(STATUS_END_OF_FILE, Read(store, back.data(), 1 << 20, 512));
  // Unaligned writes go through whole sectors of the file, through the cipher.
  ASSERT_STATUS(STATUS_SUCCESS, Write(store, "hello", 1001, 5));
  ASSERT_STATUS(STATUS_SUCCESS, Read(store, back.data(), 512, 1024, &moved));
  EXPECT_EQ(0, std::memcmp(back.data() + 1001 - 512, "hello", 5));
  std::vector<uint8_t> onDisk = FileBytes(image);
  EXPECT_EQ('h' ^ direct.get()->KeyMaterial[(1001 % 512) % 64], onDisk[4096 + 1001]);
  // Properties go straight into the mounted file's header.
  VolumeStoreSetProperties(store, 0x5);
  uint32_t properties = 0;
  std::memcpy(&properties, FileBytes(image).data() + 128, 4);
  EXPECT_EQ(0x5u, properties);
  // Changed blocks are known of memory stores only; whole saves of a mount work.
  EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE, ImageSave(store, ENGINE_SAVE_CHANGED_ONLY, nullptr));
  ASSERT_STATUS(STATUS_SUCCESS, ImageSave(store, 0, copyPath.get()));
  std::vector<uint8_t> saved = FileBytes(copy), mounted = FileBytes(image);
  ASSERT_EQ(mounted.size(), saved.size());
  // The mounted file's copy 2 still has the old properties; the copy has both new.
  EXPECT_EQ(0, std::memcmp(saved.data(), mounted.data(), saved.size() - 4096));
  EXPECT_EQ(0, std::memcmp(saved.data(), saved.data() + saved.size() - 4096, 4096));
  StoreRelease(&store, FALSE);

  // No target at all.
  CipherHolder plain;
  MakeCipher(&plain, CIPHER_ALGORITHM_NULL);
  ASSERT_STATUS(STATUS_SUCCESS, MemoryStore(1 << 20, plain.get(), &store));
  EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE, ImageSave(store, 0, nullptr));
  StoreRelease(&store, FALSE);
}

TEST_F(ImageTest, RawImagesHaveNoHeader) {
  std::string raw = Host("raw.img");
  std::vector<uint8_t> content(1 << 20);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 13);
  WriteFileBytes(raw, content);
  CipherHolder cipher;
  VolumeStore *store = nullptr;
  ULONG outcome = 0;
  ASSERT_STATUS(STATUS_SUCCESS, OpenImage(raw, u"", kMemory | kRaw, &store, &outcome, &cipher));
  EXPECT_EQ(content.size(), store->VolumeSize);
  EXPECT_TRUE(ReadAll(store) == content);
  content[5] = 0;
  ASSERT_STATUS(STATUS_SUCCESS, Write(store, &content[5], 5, 1));
  ASSERT_STATUS(STATUS_SUCCESS, ImageSave(store, 0, nullptr));
  StoreRelease(&store, FALSE);
  EXPECT_TRUE(FileBytes(raw) == content);
}

TEST_F(ImageTest, CreateImageRefusalsLeaveNothing) {
  std::string image = Host("c.img");
  // Size 1 makes one header block of data between the two copies.
  ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image, CIPHER_ALGORITHM_NULL, u"", 1, 1, 0));
  EXPECT_EQ(4096u + 8192u, FileSize(image));
  // An existing file stays as it is unless overwriting is asked for.
  WriteFileBytes(image, {'k', 'e', 'e', 'p'});
  EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, CreateImage(image, CIPHER_ALGORITHM_NULL, u"", 1, 1 << 20, 1, "", false));
  EXPECT_EQ(4u, FileSize(image));
  // Sizes the file system cannot take: nothing is written, not even over an existing file.
  struct Limit {
    ULONG fileSystem;
    UCHAR layout;
    ULONGLONG size;
  };
  for (Limit l : {Limit{1, 1, 1024}, Limit{1, 1, 0x80001000ull}, Limit{3, 1, 4 << 20}, Limit{2, 1, 1024},
                  Limit{3, 2, 0x500000}, Limit{0, 2, 0}}) {
    SCOPED_TRACE(l.size);
    EXPECT_STATUS(STATUS_IMPLEMENTATION_LIMIT, CreateImage(image, CIPHER_ALGORITHM_NULL, u"", l.layout, l.size,
                                                           l.fileSystem));
    EXPECT_EQ(4u, FileSize(image));
    EXPECT_STATUS(STATUS_IMPLEMENTATION_LIMIT,
                  CreateImage(Host("new.img"), CIPHER_ALGORITHM_NULL, u"", l.layout, l.size, l.fileSystem));
    EXPECT_FALSE(std::filesystem::exists(Host("new.img")));
  }
  // The edges that do fit: 5 MiB NTFS, 2 GiB FAT is checked without writing it.
  EXPECT_STATUS(STATUS_SUCCESS, ImageCheckFormatSize(3, 0x500000));
  EXPECT_STATUS(STATUS_SUCCESS, ImageCheckFormatSize(1, 0x80000000ull));
  EXPECT_STATUS(STATUS_SUCCESS, ImageCheckFormatSize(2, 0x80000000ull));
  EXPECT_STATUS(STATUS_SUCCESS, ImageCheckFormatSize(2, 4ull << 40 >> 2));
  EXPECT_STATUS(STATUS_IMPLEMENTATION_LIMIT, ImageCheckFormatSize(2, 3ull << 40));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, ImageCheckFormatSize(4, 1 << 20));
  // Other refusals.
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, CreateImage(Host("new.img"), 0, u"", 1, 1 << 20, 0));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, CreateImage(Host("new.img"), 3, u"", 1, 1 << 20, 0));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, CreateImage(Host("new.img"), 1, u"", 3, 1 << 20, 0));
  EXPECT_FALSE(std::filesystem::exists(Host("new.img")));
  // A label the formatter refuses: the file made for it goes again.
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                CreateImage(Host("new.img"), CIPHER_ALGORITHM_NULL, u"", 1, 8 << 20, 1, "TWELVE CHARS"));
  EXPECT_FALSE(std::filesystem::exists(Host("new.img")));
}

// A file call failing at any point of the creation ends with its status and
// no file.
TEST_F(ImageTest, CreateImageFailuresDeleteTheFile) {
  std::string image = Host("f.img");
  int failures = 0;
  for (uint32_t skip = 0; skip < 40; ++skip) {
    bw::InjectFault(bw::Fault::FileCall, skip, 1);
    NTSTATUS status = CreateImage(image, CIPHER_ALGORITHM_XOR, u"k", 2, 2 << 20, 1, "F");
    bw::ClearFaults();
    if (NT_SUCCESS(status)) {
      // Some calls may fail harmlessly (the sector size query falls back).
      EXPECT_EQ((2u << 20) + 8192, FileSize(image)) << skip;
      std::filesystem::remove(image);
      continue;
    }
    ++failures;
    EXPECT_FALSE(std::filesystem::exists(image)) << skip << ": " << bw::StatusText(status);
  }
  EXPECT_GT(failures, 5);
  // Pool and mappings failing alike.
  for (bw::Fault fault : {bw::Fault::PoolAllocation, bw::Fault::Mapping}) {
    bw::InjectFault(fault, 0, 1000);
    std::filesystem::remove(image);
    EXPECT_FALSE(NT_SUCCESS(CreateImage(image, CIPHER_ALGORITHM_NULL, u"", 1, 2 << 20, 1)));
    bw::ClearFaults();
    EXPECT_FALSE(std::filesystem::exists(image));
  }
}

}  // namespace
}  // namespace storetest
