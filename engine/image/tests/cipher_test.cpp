// The cipher: key material, the XOR routine, the transform's chunks and the
// key check, against values computed here independently.
#include "engine/image/image_header.h"
#include "engine/store/tests/store_fixture.h"

#include <openssl/sha.h>

namespace storetest {
namespace {

std::vector<uint8_t> Sha512(const void *data, size_t length) {
  std::vector<uint8_t> digest(64);
  SHA512(static_cast<const unsigned char *>(data), length, digest.data());
  return digest;
}

std::vector<uint8_t> Utf16(const std::string &text) {
  std::vector<uint8_t> bytes;
  for (char c : text) {
    bytes.push_back(static_cast<uint8_t>(c));
    bytes.push_back(0);
  }
  return bytes;
}

using CipherTest = StoreTest;

TEST_F(CipherTest, BlocksCarryTheDoubleDigestOfTheKey) {
  std::vector<uint8_t> key = Utf16("pässword");
  std::vector<uint8_t> expected = Sha512(Sha512(key.data(), key.size()).data(), 64);
  for (ULONG algorithm : {CIPHER_ALGORITHM_NULL, CIPHER_ALGORITHM_XOR}) {
    CipherBlock *cipher = nullptr;
    ULONG reason = 9;
    // An odd address: the key travels unaligned inside requests.
    std::vector<uint8_t> shifted(key.size() + 1);
    std::memcpy(shifted.data() + 1, key.data(), key.size());
    ASSERT_STATUS(STATUS_SUCCESS,
                  CipherCreate(algorithm, shifted.data() + 1, static_cast<ULONG>(key.size()), &cipher, &reason));
    EXPECT_EQ(CIPHER_REASON_SUCCESS, reason);
    EXPECT_EQ(algorithm, cipher->AlgorithmId);
    EXPECT_EQ(algorithm == CIPHER_ALGORITHM_XOR ? 64u : 1u, cipher->KeyLength);
    EXPECT_EQ(1u, cipher->BlockSize);
    EXPECT_EQ(0, std::memcmp(expected.data(), cipher->KeyMaterial, 64));
    EXPECT_EQ(algorithm == CIPHER_ALGORITHM_XOR, cipher->Routine != nullptr);
    CipherRelease(&cipher);
    EXPECT_EQ(nullptr, cipher);
  }
  // The empty key is hashed as empty input.
  CipherBlock *cipher = nullptr;
  ULONG reason = 0;
  ASSERT_STATUS(STATUS_SUCCESS, CipherCreate(CIPHER_ALGORITHM_XOR, nullptr, 0, &cipher, &reason));
  EXPECT_EQ(0, std::memcmp(Sha512(Sha512("", 0).data(), 64).data(), cipher->KeyMaterial, 64));
  CipherRelease(&cipher);
  for (ULONG bad : {0u, 3u}) {
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, CipherCreate(bad, nullptr, 0, &cipher, &reason));
    EXPECT_EQ(CIPHER_REASON_UNSUPPORTED, reason);
  }
  bw::InjectFault(bw::Fault::PoolAllocation, 0, 1);
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, CipherCreate(CIPHER_ALGORITHM_XOR, nullptr, 0, &cipher, &reason));
  EXPECT_EQ(CIPHER_REASON_NO_MEMORY, reason);
}

TEST_F(CipherTest, TransformRestartsTheKeyPerChunk) {
  CipherHolder xorCipher, nullCipher;
  MakeCipher(&xorCipher, CIPHER_ALGORITHM_XOR, u"key");
  MakeCipher(&nullCipher, CIPHER_ALGORITHM_NULL, u"key");
  const uint8_t *key = xorCipher.get()->KeyMaterial;

  // The routine itself: one pass, key position from 0 and wrapping at 64.
  std::vector<uint8_t> input(200);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i);
  PUCHAR out = CipherXor(xorCipher.get(), input.data(), input.size());
  ASSERT_NE(nullptr, out);
  for (size_t i = 0; i < input.size(); ++i) ASSERT_EQ(input[i] ^ key[i % 64], out[i]);
  KsFree(&out);

  // Whole sectors: the key restarts every 512 bytes.
  std::vector<uint8_t> sectors(1536, 0);
  ASSERT_STATUS(STATUS_SUCCESS, CipherTransform(xorCipher.get(), sectors.data(), sectors.size(), FALSE, &out));
  for (size_t i = 0; i < sectors.size(); ++i) ASSERT_EQ(key[(i % 512) % 64], out[i]) << i;
  KsFree(&out);
  // Anything else: chunks of the block size, so every byte meets key byte 0.
  ASSERT_STATUS(STATUS_SUCCESS, CipherTransform(xorCipher.get(), sectors.data(), 700, FALSE, &out));
  for (size_t i = 0; i < 700; ++i) ASSERT_EQ(key[0], out[i]) << i;
  KsFree(&out);
  // Algorithm 1 and empty input give no buffer: the data is used as it is.
  out = reinterpret_cast<PUCHAR>(1);
  EXPECT_STATUS(STATUS_SUCCESS, CipherTransform(nullCipher.get(), sectors.data(), 512, FALSE, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_STATUS(STATUS_SUCCESS, CipherTransform(xorCipher.get(), sectors.data(), 0, FALSE, &out));
  EXPECT_EQ(nullptr, out);

  // Encoding at a volume offset matches the transform of whole sectors, and
  // decoding undoes it for any part of a sector.
  std::vector<uint8_t> volume(4096);
  std::mt19937 random(1);
  for (auto &b : volume) b = static_cast<uint8_t>(random());
  PUCHAR whole = nullptr, at = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, CipherTransform(xorCipher.get(), volume.data() + 1024, 2048, FALSE, &whole));
  ASSERT_STATUS(STATUS_SUCCESS, CipherEncodeAt(xorCipher.get(), volume.data() + 1024, 2048, 1024, &at));
  EXPECT_EQ(0, std::memcmp(whole, at, 2048));
  for (ULONGLONG offset : {1024ull + 5, 1024ull + 511, 1024ull + 700}) {
    std::vector<uint8_t> part(at + (offset - 1024), at + (offset - 1024) + 300);
    CipherDecodeAt(xorCipher.get(), part.data(), part.size(), offset);
    EXPECT_EQ(0, std::memcmp(part.data(), volume.data() + offset, part.size())) << offset;
  }
  KsFree(&whole);
  KsFree(&at);
}

TEST_F(CipherTest, KeyCheckIsTheDigestOfTheTransformedText) {
  std::vector<uint8_t> text = Utf16("The quick brown fox jumps over the lazy dog");
  ASSERT_EQ(86u, text.size());
  CipherHolder nullCipher, xorCipher;
  MakeCipher(&nullCipher, CIPHER_ALGORITHM_NULL, u"whatever");
  MakeCipher(&xorCipher, CIPHER_ALGORITHM_XOR, u"whatever");
  UCHAR check[64];
  ASSERT_STATUS(STATUS_SUCCESS, CipherKeyCheck(nullCipher.get(), check));
  EXPECT_EQ(0, std::memcmp(Sha512(text.data(), text.size()).data(), check, 64));
  std::vector<uint8_t> xored = text;
  for (auto &b : xored) b ^= xorCipher.get()->KeyMaterial[0];
  ASSERT_STATUS(STATUS_SUCCESS, CipherKeyCheck(xorCipher.get(), check));
  EXPECT_EQ(0, std::memcmp(Sha512(xored.data(), xored.size()).data(), check, 64));

  // The header takes it at offset 20, with the cipher's fields and the size
  // in whole header blocks.
  ImageHeader header;
  ASSERT_STATUS(STATUS_SUCCESS, ImageBuildHeader(&header, 1, xorCipher.get()));
  const uint8_t *raw = reinterpret_cast<const uint8_t *>(&header);
  auto u32 = [&](size_t at) { uint32_t v; std::memcpy(&v, raw + at, 4); return v; };
  auto u64 = [&](size_t at) { uint64_t v; std::memcpy(&v, raw + at, 8); return v; };
  EXPECT_EQ(0x1D475F3Eu, u32(0));
  EXPECT_EQ(1u, u32(4));
  EXPECT_EQ(2u, u32(8));
  EXPECT_EQ(64u, u32(12));
  EXPECT_EQ(1u, u32(16));
  EXPECT_EQ(0, std::memcmp(raw + 20, check, 64));
  EXPECT_EQ(4096u, u32(84));
  EXPECT_EQ(4096u, u64(88));
  EXPECT_GT(u64(96), 116444736000000000ull);  // after 1970
  for (int i = 104; i < 132; ++i) EXPECT_EQ(0, raw[i]) << i;
  ASSERT_STATUS(STATUS_SUCCESS, ImageBuildHeader(&header, 0, nullCipher.get()));
  EXPECT_EQ(0u, u64(88));
  ASSERT_STATUS(STATUS_SUCCESS, ImageBuildHeader(&header, 8192, nullCipher.get()));
  EXPECT_EQ(8192u, u64(88));
  EXPECT_EQ(1u, u32(12));
}

}  // namespace
}  // namespace storetest
