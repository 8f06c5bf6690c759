// Header copies, the selection of the algorithm with the repair of copy 1,
// and every outcome of opening an image.
#include "engine/image/tests/image_fixture.h"

namespace storetest {
namespace {

constexpr ULONGLONG kData = 64 << 10;

class ImageCheck : public ImageTest {
 protected:
  void SetUp() override {
    ImageTest::SetUp();
    image_ = Host("a.img");
    ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image_, CIPHER_ALGORITHM_XOR, u"key", 1, kData, 0));
    ASSERT_EQ(kData + 8192, FileSize(image_));
  }
  // Selects and opens; the outcome is the request's image status.
  NTSTATUS Open(const std::u16string &key, ULONG *outcome, ULONG flags = kMemory, ULONGLONG size = 0) {
    CipherHolder cipher;
    VolumeStore *store = nullptr;
    *outcome = 99;
    NTSTATUS status = OpenImage(image_, key, flags, &store, outcome, &cipher, size);
    EXPECT_EQ(NT_SUCCESS(status), store != nullptr);
    StoreRelease(&store, FALSE);
    return status;
  }
  std::string image_;
};

TEST_F(ImageCheck, HeaderCopiesFollowTheSizeRules) {
  Path path(NtPath(image_));
  ImageHeader one, two;
  ASSERT_STATUS(STATUS_SUCCESS, ImageReadHeaderCopyByPath(path.get(), IMAGE_COPY_FIRST, &one));
  ASSERT_STATUS(STATUS_SUCCESS, ImageReadHeaderCopyByPath(path.get(), IMAGE_COPY_SECOND, &two));
  EXPECT_EQ(0, std::memcmp(&one, &two, sizeof(one)));
  std::vector<uint8_t> bytes = FileBytes(image_);
  for (size_t i = 132; i < 4096; ++i) ASSERT_EQ(0, bytes[i]) << i;
  EXPECT_EQ(0, std::memcmp(bytes.data(), bytes.data() + kData + 4096, 4096));

  // Sizes below a header block, not whole sectors, or below two blocks for copy 2.
  std::string small = Host("small.img");
  Path smallPath(NtPath(small));
  for (auto [size, copy, expected] : {std::tuple{4095u, 1u, STATUS_FILE_CORRUPT_ERROR},
                                      std::tuple{4100u, 1u, STATUS_FILE_CORRUPT_ERROR},
                                      std::tuple{4096u, 1u, STATUS_SUCCESS},
                                      std::tuple{4096u, 2u, STATUS_FILE_CORRUPT_ERROR},
                                      std::tuple{8192u, 2u, STATUS_SUCCESS}}) {
    WriteFileBytes(small, std::vector<uint8_t>(size, 1));
    EXPECT_STATUS(expected, ImageReadHeaderCopyByPath(smallPath.get(), copy, &one)) << size << "/" << copy;
  }
  // Writing wants room for both copies.
  WriteFileBytes(small, std::vector<uint8_t>(8191, 0));
  HANDLE file = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, ImageOpenFile(smallPath.get(), GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN, 0, &file));
  EXPECT_STATUS(STATUS_FILE_INVALID, ImageWriteHeaderCopy(file, IMAGE_COPY_SECOND, &two));
  ZwClose(file);
}

TEST_F(ImageCheck, DamagedCopyOneIsRepairedFromCopyTwo) {
  PatchU32(image_, 0, 0xDEADBEEF);
  Path path(NtPath(image_));
  ULONG algorithm = 0, outcome = 0;
  ASSERT_STATUS(STATUS_SUCCESS, ImageSelectAlgorithm(path.get(), &algorithm, &outcome));
  EXPECT_EQ(0u, outcome);
  EXPECT_EQ(CIPHER_ALGORITHM_XOR, algorithm);
  std::vector<uint8_t> bytes = FileBytes(image_);
  EXPECT_EQ(0, std::memcmp(bytes.data(), bytes.data() + kData + 4096, 4096));
  EXPECT_STATUS(STATUS_SUCCESS, Open(u"key", &outcome));
  EXPECT_EQ(0u, outcome);

  // A bad version or algorithm in copy 1 alone is repaired the same way.
  PatchU32(image_, 4, 2);
  ASSERT_STATUS(STATUS_SUCCESS, ImageSelectAlgorithm(path.get(), &algorithm, &outcome));
  PatchU32(image_, 8, 9);
  ASSERT_STATUS(STATUS_SUCCESS, ImageSelectAlgorithm(path.get(), &algorithm, &outcome));
  EXPECT_EQ(0, std::memcmp(FileBytes(image_).data(), bytes.data(), 4096));
}

TEST_F(ImageCheck, BadCopiesEverywhereNameTheirFault) {
  Path path(NtPath(image_));
  ULONG algorithm = 0, outcome = 0;
  struct Damage {
    uint32_t offset, value, outcome;
  };
  for (Damage d : {Damage{0, 0x12345678, 1}, Damage{4, 2, 4}, Damage{8, 3, 6}, Damage{8, 0, 6}}) {
    SCOPED_TRACE(d.outcome);
    ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image_, CIPHER_ALGORITHM_XOR, u"key", 1, kData, 0));
    PatchU32(image_, d.offset, d.value);
    PatchU32(image_, kData + 4096 + d.offset, d.value);
    std::vector<uint8_t> before = FileBytes(image_);
    EXPECT_STATUS(STATUS_FILE_CORRUPT_ERROR, ImageSelectAlgorithm(path.get(), &algorithm, &outcome));
    EXPECT_EQ(d.outcome, outcome);
    EXPECT_TRUE(FileBytes(image_) == before);  // a bad copy 2 repairs nothing
    // Opened with a cipher given anyway, the check of the opened image says the same.
    CipherHolder cipher;
    MakeCipher(&cipher, CIPHER_ALGORITHM_XOR, u"key");
    VolumeStore *store = nullptr;
    EXPECT_STATUS(STATUS_FILE_CORRUPT_ERROR,
                  StoreCreateForVolume(kMemory, 0, 0, path.get(), cipher.get(), &store, &outcome));
    EXPECT_EQ(d.outcome, outcome);
  }
  // Not a whole number of sectors: unknown reason.
  WriteFileBytes(image_, std::vector<uint8_t>(4100, 0));
  EXPECT_STATUS(STATUS_FILE_CORRUPT_ERROR, ImageSelectAlgorithm(path.get(), &algorithm, &outcome));
  EXPECT_EQ(10u, outcome);
  Path missing(NtPath(Host("missing.img")));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, ImageSelectAlgorithm(missing.get(), &algorithm, &outcome));
  EXPECT_EQ(10u, outcome);
}

TEST_F(ImageCheck, OpeningChecksSizeCipherAndKey) {
  ULONG outcome = 0;
  // The right key, then a wrong one.
  EXPECT_STATUS(STATUS_SUCCESS, Open(u"key", &outcome));
  EXPECT_EQ(0u, outcome);
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Open(u"other", &outcome));
  EXPECT_EQ(5u, outcome);
  // A null image opens with any key.
  ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image_, CIPHER_ALGORITHM_NULL, u"key", 1, kData, 0));
  EXPECT_STATUS(STATUS_SUCCESS, Open(u"anything", &outcome));
  EXPECT_EQ(0u, outcome);
  // The header's cipher differs from the one given.
  {
    Path path(NtPath(image_));
    CipherHolder cipher;
    MakeCipher(&cipher, CIPHER_ALGORITHM_XOR, u"key");
    VolumeStore *store = nullptr;
    EXPECT_STATUS(IMAGE_STATUS_CIPHER_MISMATCH,
                  StoreCreateForVolume(kMemory, 0, 0, path.get(), cipher.get(), &store, &outcome));
    EXPECT_EQ(6u, outcome);
  }
  // A periodic-flush image (copy 1 and the data) is valid.
  std::filesystem::resize_file(image_, kData + 4096);
  EXPECT_STATUS(STATUS_SUCCESS, Open(u"", &outcome));
  EXPECT_EQ(0u, outcome);
  // A size that fits neither form.
  std::filesystem::resize_file(image_, kData + 4096 + 512);
  EXPECT_STATUS(STATUS_FILE_INVALID, Open(u"", &outcome));
  EXPECT_EQ(3u, outcome);
  // A data size so large that adding the header blocks wraps around to the
  // file's size, for a memory volume and a direct mount alike.
  std::filesystem::resize_file(image_, 4096);
  const uint64_t wrapping = 0xFFFFFFFFFFFFF000ull;
  Patch(image_, 88, &wrapping, sizeof(wrapping));
  for (ULONG flags : {kMemory, 0u}) {
    SCOPED_TRACE(flags);
    EXPECT_STATUS(STATUS_FILE_INVALID, Open(u"", &outcome, flags));
    EXPECT_EQ(3u, outcome);
  }
  // A header block size other than 4096 would move data and copies.
  ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image_, CIPHER_ALGORITHM_NULL, u"", 1, kData, 0));
  PatchU32(image_, 84, 2048);
  PatchU32(image_, kData + 4096 + 84, 2048);
  PatchU32(image_, 88, kData + 6144);
  PatchU32(image_, kData + 4096 + 88, kData + 6144);
  EXPECT_STATUS(STATUS_FILE_INVALID, Open(u"", &outcome));
  EXPECT_EQ(3u, outcome);
}

TEST_F(ImageCheck, OpeningFailuresBeforeTheHeader) {
  ULONG outcome = 0;
  CipherHolder cipher;
  MakeCipher(&cipher, CIPHER_ALGORITHM_NULL);
  VolumeStore *store = nullptr;
  // The file cannot be opened.
  Path missing(NtPath(Host("missing.img")));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                StoreCreateForVolume(kMemory, 0, 0, missing.get(), cipher.get(), &store, &outcome));
  EXPECT_EQ(7u, outcome);
  // A memory volume asked smaller than the image.
  Path path(NtPath(image_));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                StoreCreateForVolume(kMemory, 0, kData - 1, path.get(), cipher.get(), &store, &outcome));
  EXPECT_EQ(7u, outcome);
  // Shorter than a header.
  std::string tiny = Host("tiny.img");
  WriteFileBytes(tiny, std::vector<uint8_t>(100, 0));
  Path tinyPath(NtPath(tiny));
  EXPECT_STATUS(STATUS_UNRECOGNIZED_VOLUME,
                StoreCreateForVolume(kMemory, 0, 0, tinyPath.get(), cipher.get(), &store, &outcome));
  EXPECT_EQ(3u, outcome);
  // A raw image that is not whole sectors.
  std::string raw = Host("raw.img");
  WriteFileBytes(raw, std::vector<uint8_t>(1000000, 0));
  Path rawPath(NtPath(raw));
  EXPECT_STATUS(STORE_STATUS_BAD_RAW_SIZE,
                StoreCreateForVolume(kMemory | kRaw, 0, 0, rawPath.get(), cipher.get(), &store, &outcome));
  EXPECT_EQ(2u, outcome);
  EXPECT_EQ(nullptr, store);
}

}  // namespace
}  // namespace storetest
