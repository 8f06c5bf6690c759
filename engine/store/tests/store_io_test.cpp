// Reads and writes of memory stores against a reference buffer: first and
// last bytes, unaligned offsets across piece boundaries, past the end, for
// both algorithms; and the change map those writes leave.
#include "engine/store/tests/store_fixture.h"

#include <atomic>
#include <set>
#include <thread>

namespace storetest {
namespace {

struct IoCase {
  ULONG algorithm;
  bool pieces;  // map in runs of the 5.1 transfer limit, so that there are piece boundaries
  ULONGLONG size;
};

// "XorCipher_ManyPieces_70MiBAnd4608Bytes"
std::string CaseName(const ::testing::TestParamInfo<IoCase> &info) {
  const IoCase &c = info.param;
  std::string name = c.algorithm == CIPHER_ALGORITHM_XOR ? "XorCipher" : "NullCipher";
  name += c.pieces ? "_ManyPieces_" : "_OnePiece_";
  name += std::to_string(c.size >> 20) + "MiB";
  if (c.size & ((1 << 20) - 1)) name += "And" + std::to_string(c.size & ((1 << 20) - 1)) + "Bytes";
  return name;
}

class StoreIo : public StoreTest, public ::testing::WithParamInterface<IoCase> {};

TEST_P(StoreIo, RandomReadsAndWritesMatchAReference) {
  const IoCase &c = GetParam();
  CipherHolder cipher;
  MakeCipher(&cipher, c.algorithm, u"secret");
  if (c.pieces) {
    // Whole-chunk mappings fail in system and user space: the chunk is
    // mapped in runs of at most the transfer limit.
    SetVersion(5, 1);
    bw::InjectFault(bw::Fault::Mapping, 0, 2);
  }
  VolumeStore *store = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, MemoryStore(c.size, cipher.get(), &store));
  bw::ClearFaults();
  if (c.pieces) {
    ASSERT_GT(store->PieceCount, 2u);
  }
  // Creation zero-fills a volume through its cipher.
  ASSERT_STATUS(STATUS_SUCCESS, store->ZeroRange(0, c.size));
  ChangeMapClearAll(store->Changes);

  // Volume offsets where one piece ends and the next begins.
  std::vector<ULONGLONG> edges = {0, c.size};
  for (StorePiece *p = store->Pieces; p; p = p->Next) {
    if (p->Start >= store->DataOffset) edges.push_back(p->Start - store->DataOffset);
  }

  std::mt19937_64 random(c.size * 31 + c.algorithm);
  std::vector<uint8_t> reference(c.size, 0);
  std::set<ULONGLONG> changed;
  auto pickOffset = [&]() -> ULONGLONG {
    ULONGLONG edge = edges[random() % edges.size()];
    switch (random() % 4) {
      case 0: return random() % (c.size + 2000);
      case 1: return edge + random() % 1500;
      default: {
        ULONGLONG back = random() % 1500;
        return edge >= back ? edge - back : 0;
      }
    }
  };
  std::vector<uint8_t> noise(4 << 20);
  for (auto &b : noise) b = static_cast<uint8_t>(random());
  std::vector<uint8_t> buffer;
  for (int op = 0; op < 4000; ++op) {
    ULONGLONG offset = pickOffset();
    ULONG length = random() % 32 == 0 ? static_cast<ULONG>(random() % (3 << 20)) + 1
                                      : static_cast<ULONG>(random() % 5000) + 1;
    buffer.resize(length);
    ULONG_PTR bytes = 99;
    if (random() % 2) {
      std::memcpy(buffer.data(), noise.data() + random() % (noise.size() - length), length);
      NTSTATUS status = Write(store, buffer.data(), offset, length, 0, &bytes);
      if (offset + length > c.size) {
        ASSERT_STATUS(STATUS_END_OF_FILE, status) << offset << "+" << length;
        ASSERT_EQ(0u, bytes);
        continue;
      }
      ASSERT_STATUS(STATUS_SUCCESS, status) << offset << "+" << length;
      ASSERT_EQ(length, bytes);
      std::memcpy(reference.data() + offset, buffer.data(), length);
      for (ULONGLONG s = offset / 512; s < (offset + length + 511) / 512; ++s) changed.insert(s);
    } else {
      NTSTATUS status = Read(store, buffer.data(), offset, length, &bytes);
      if (offset >= c.size) {
        ASSERT_STATUS(STATUS_END_OF_FILE, status) << offset;
        ASSERT_EQ(0u, bytes);
        continue;
      }
      ASSERT_STATUS(STATUS_SUCCESS, status) << offset << "+" << length;
      ULONGLONG expected = std::min<ULONGLONG>(length, c.size - offset);
      ASSERT_EQ(expected, bytes);
      ASSERT_EQ(0, std::memcmp(reference.data() + offset, buffer.data(), expected)) << offset << "+" << length;
    }
  }
  EXPECT_TRUE(ReadAll(store) == reference);

  // Stored bytes: sector byte k is volume byte k XOR key[k mod 64].
  for (ULONGLONG sector : {ULONGLONG{0}, ULONGLONG{c.size / 512 / 2}, ULONGLONG{c.size / 512 - 1}}) {
    uint8_t stored[512];
    ASSERT_STATUS(STATUS_SUCCESS, StoreReadStored(store, stored, sector * 512, 512));
    for (int k = 0; k < 512; ++k) {
      uint8_t key = c.algorithm == CIPHER_ALGORITHM_XOR ? cipher.get()->KeyMaterial[k % 64] : 0;
      ASSERT_EQ(reference[sector * 512 + k] ^ key, stored[k]) << sector << ":" << k;
    }
  }

  // The change map holds exactly the sectors written.
  EXPECT_EQ(changed.size(), ChangeMapCount(store->Changes));
  std::set<ULONGLONG> found;
  ULONGLONG from = 0, first = 0, count = 0;
  while (ChangeMapFindRun(store->Changes, from, 1000, &first, &count)) {
    for (ULONGLONG s = first; s < first + count; ++s) found.insert(s);
    from = first + count;
  }
  EXPECT_TRUE(found == changed);
  StoreRelease(&store, FALSE);
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreIo,
                         ::testing::Values(IoCase{CIPHER_ALGORITHM_NULL, false, 3 << 20},
                                           IoCase{CIPHER_ALGORITHM_XOR, false, (3 << 20) + 1000},
                                           IoCase{CIPHER_ALGORITHM_NULL, true, 70 << 20},
                                           IoCase{CIPHER_ALGORITHM_XOR, true, (70 << 20) + 4608}),
                         CaseName);

TEST_F(StoreTest, EdgesOfTheVolume) {
  for (ULONG algorithm : {CIPHER_ALGORITHM_NULL, CIPHER_ALGORITHM_XOR}) {
    SCOPED_TRACE(algorithm);
    CipherHolder cipher;
    MakeCipher(&cipher, algorithm, u"k");
    VolumeStore *store = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, MemoryStore(1 << 20, cipher.get(), &store));
    EXPECT_EQ(4096u, store->DataOffset);

    // A fresh volume reads as zeros; through a cipher once its creation has
    // zero-filled it (the memory holds the transformed zeros).
    if (algorithm == CIPHER_ALGORITHM_XOR) {
      ASSERT_STATUS(STATUS_SUCCESS, store->ZeroRange(0, store->VolumeSize));
      ChangeMapClearAll(store->Changes);
    }
    std::vector<uint8_t> all = ReadAll(store);
    EXPECT_EQ(all.size(), static_cast<size_t>(std::count(all.begin(), all.end(), 0)));

    // One byte at 513 changes that byte only and marks sector 1.
    uint8_t one = 0xA5;
    ASSERT_STATUS(STATUS_SUCCESS, Write(store, &one, 513, 1));
    all = ReadAll(store);
    EXPECT_EQ(0xA5, all[513]);
    EXPECT_EQ(all.size() - 1, static_cast<size_t>(std::count(all.begin(), all.end(), 0)));
    EXPECT_EQ(1u, ChangeMapCount(store->Changes));
    EXPECT_TRUE(ChangeMapTest(store->Changes, 1));

    // Reads: at the end nothing, across it the bytes up to it.
    uint8_t buffer[1024];
    ULONG_PTR bytes = 7;
    EXPECT_STATUS(STATUS_END_OF_FILE, Read(store, buffer, 1 << 20, 1, &bytes));
    EXPECT_EQ(0u, bytes);
    EXPECT_STATUS(STATUS_SUCCESS, Read(store, buffer, (1 << 20) - 100, sizeof(buffer), &bytes));
    EXPECT_EQ(100u, bytes);
    // Writes: the last byte is the volume's, the byte after it is not, and
    // neither is the header block a memory store keeps in front.
    EXPECT_STATUS(STATUS_SUCCESS, Write(store, &one, (1 << 20) - 1, 1, 0, &bytes));
    EXPECT_EQ(1u, bytes);
    EXPECT_STATUS(STATUS_END_OF_FILE, Write(store, buffer, (1 << 20) - 1, 2, 0, &bytes));
    EXPECT_STATUS(STATUS_END_OF_FILE, Write(store, buffer, 1 << 20, 1));
    EXPECT_STATUS(STATUS_END_OF_FILE, Write(store, buffer, ~0ull - 10, 100));
    // Nothing to write is no write; no buffer is an error.
    EXPECT_STATUS(STATUS_SUCCESS, Write(store, nullptr, 5, 0, 0, &bytes));
    EXPECT_EQ(0u, bytes);
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Write(store, nullptr, 5, 1));
    StoreRelease(&store, FALSE);
  }
}

// Readers share the store, a writer excludes them: a block written whole is
// never seen half old, half new.
TEST_F(StoreTest, ReadsNeverSeeHalfAWrite) {
  CipherHolder cipher;
  MakeCipher(&cipher, CIPHER_ALGORITHM_XOR, u"k");
  VolumeStore *store = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, MemoryStore(64 << 10, cipher.get(), &store));
  // A fresh xor store holds raw zeros, which read back as key stream: the
  // block is written once before anybody reads it.
  std::vector<uint8_t> block(64 << 10, 0xEE);
  ASSERT_STATUS(STATUS_SUCCESS, Write(store, block.data(), 0, static_cast<ULONG>(block.size())));
  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, reads{0};
  auto reader = [&] {
    std::vector<uint8_t> block(64 << 10);
    while (!done) {
      ULONG_PTR bytes = 0;
      if (!NT_SUCCESS(StoreRead(store, block.data(), 0, static_cast<ULONG>(block.size()), &bytes))) continue;
      if (std::count(block.begin(), block.end(), block[0]) != static_cast<long>(block.size())) ++torn;
      ++reads;
    }
  };
  std::thread first(reader), second(reader);
  for (int i = 0; i < 3000; ++i) {
    std::fill(block.begin(), block.end(), static_cast<uint8_t>(i));
    ASSERT_STATUS(STATUS_SUCCESS, Write(store, block.data(), 0, static_cast<ULONG>(block.size())));
  }
  done = true;
  first.join();
  second.join();
  EXPECT_EQ(0, torn.load());
  EXPECT_GT(reads.load(), 0);
  StoreRelease(&store, FALSE);
}

TEST_F(StoreTest, WalksAndProtectionRefuseOrdinaryIo) {
  CipherHolder cipher;
  MakeCipher(&cipher, CIPHER_ALGORITHM_NULL);
  VolumeStore *store = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, MemoryStore(1 << 20, cipher.get(), &store));
  uint8_t data[600] = {1, 2, 3};

  store->SetWriteProtected(TRUE);
  EXPECT_TRUE(store->IsWriteProtected());
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED, Write(store, data, 0, 512));
  EXPECT_STATUS(STATUS_SUCCESS, Read(store, data, 0, 512));
  // The formatter writes past the protection.
  EXPECT_STATUS(STATUS_SUCCESS, Write(store, data, 100, 600, STORE_WRITE_INTERNAL));
  store->SetWriteProtected(FALSE);
  EXPECT_STATUS(STATUS_SUCCESS, Write(store, data, 0, 512));

  struct Probe {
    VolumeStore *store;
    std::vector<NTSTATUS> seen;
    int blocks = 0;
  } probe{store, {}, 0};
  auto callback = [](PVOID context, VolumeStore *s, PULONG, PUCHAR, ULONG, ULONGLONG) -> NTSTATUS {
    auto *p = static_cast<Probe *>(context);
    uint8_t b[512] = {};
    ULONG_PTR bytes = 0;
    p->seen.push_back(StoreWrite(s, 0, b, 0, 512, &bytes));
    p->seen.push_back(StoreRead(s, b, 0, 512, &bytes));
    // Only one walk at a time.
    p->seen.push_back(StoreRangeWalk(s, 0, 0, 512, StoreZeroFillCallback, nullptr));
    p->blocks++;
    return STATUS_SUCCESS;
  };
  ASSERT_STATUS(STATUS_SUCCESS, StoreRangeWalk(store, 0, 0, 0, callback, &probe));
  EXPECT_EQ(1, probe.blocks);
  for (NTSTATUS status : probe.seen) EXPECT_STATUS(STATUS_FILE_LOCK_CONFLICT, status);
  EXPECT_FALSE(StoreHasFlag(store, STORE_BUSY));
  EXPECT_STATUS(STATUS_SUCCESS, Write(store, data, 0, 512));

  // A failing callback ends the walk with its status, and the store is free again.
  auto failing = [](PVOID, VolumeStore *, PULONG, PUCHAR, ULONG, ULONGLONG) -> NTSTATUS {
    return STATUS_DATA_ERROR;
  };
  EXPECT_STATUS(STATUS_DATA_ERROR, StoreRangeWalk(store, 0, 0, 0, failing, nullptr));
  EXPECT_FALSE(StoreHasFlag(store, STORE_BUSY));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, StoreRangeWalk(store, 0, 1 << 20, 1, failing, nullptr));
  StoreRelease(&store, FALSE);
}

TEST_F(StoreTest, ZeroFillAndWipeThroughTheCipher) {
  CipherHolder cipher;
  MakeCipher(&cipher, CIPHER_ALGORITHM_XOR, u"pass");
  VolumeStore *store = nullptr;
  // Not a whole number of sectors: the last sector is partial.
  ULONGLONG size = (5 << 20) + 300;
  ASSERT_STATUS(STATUS_SUCCESS, MemoryStore(size, cipher.get(), &store));
  std::vector<uint8_t> ones(size, 0xFF);
  ASSERT_STATUS(STATUS_SUCCESS, Write(store, ones.data(), 0, static_cast<ULONG>(size)));

  // Zero-fill an unaligned range: the volume reads zeros there, ones around it.
  ASSERT_STATUS(STATUS_SUCCESS, store->ZeroRange(1000, 3 << 20));
  std::vector<uint8_t> all = ReadAll(store);
  for (ULONGLONG i = 0; i < size; ++i) {
    ASSERT_EQ(i >= 1000 && i < 1000 + (3 << 20) ? 0 : 0xFF, all[i]) << i;
  }
  uint8_t stored[512];
  ASSERT_STATUS(STATUS_SUCCESS, StoreReadStored(store, stored, 2048, 512));
  EXPECT_EQ(0, std::memcmp(stored, cipher.get()->KeyMaterial, 64));

  // A wipe leaves zeros in memory, not the key stream.
  ASSERT_STATUS(STATUS_SUCCESS, StoreRangeWalk(store, WALK_NO_READ, 0, 0, StoreWipeCallback, nullptr));
  std::vector<uint8_t> raw(size);
  ASSERT_STATUS(STATUS_SUCCESS, StoreReadStored(store, raw.data(), 0, static_cast<ULONG>(size)));
  EXPECT_EQ(raw.size(), static_cast<size_t>(std::count(raw.begin(), raw.end(), 0)));
  StoreRelease(&store, TRUE);
}

}  // namespace
}  // namespace storetest
