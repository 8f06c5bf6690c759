// The memory of a store: chunks, the mapping fallbacks, the transfer limit
// per system version, and every allocation or mapping failure ending
// cleanly with nothing left behind.
#include "engine/store/tests/store_fixture.h"

namespace storetest {
namespace {

TEST_F(StoreTest, TransferLimitFollowsTheSystemVersion) {
  SetVersion(5, 1);
  EXPECT_EQ(0x1FF8E00u, StoreTransferLimit());
  SetVersion(5, 2);
  EXPECT_EQ(0x1FF8E00u, StoreTransferLimit());
  SetVersion(6, 0);
  EXPECT_EQ(0x7FFFF000u, StoreTransferLimit());
  SetVersion(6, 1);
  EXPECT_EQ(0xFFFFF000u, StoreTransferLimit());
  SetVersion(10, 0);
  EXPECT_EQ(0xFFFFF000u, StoreTransferLimit());
}

// Whole chunk in system space; else in the system process's user space;
// else in runs of the transfer limit, each shortened by 1 MiB until it maps.
TEST_F(StoreTest, MappingFallsBackStepByStep) {
  CipherHolder cipher;
  MakeCipher(&cipher, CIPHER_ALGORITHM_NULL);
  struct Expect {
    uint32_t failures;
    ULONG pieces;
    ULONG smallest;
    ULONG flags;  // of the first piece
  };
  const ULONG total = (40 << 20) + 4096;  // volume plus header block
  const ULONG limit = 0x1FF8000;          // the 5.1 limit in whole pages
  const Expect cases[] = {
      {0, 1, total, 0},
      {1, 1, total, PIECE_USER_SPACE},
      {2, 2, total - limit, PIECE_PARTIAL_MDL},
      // The first run maps nowhere at full length nor 1 MiB shorter; 2 MiB
      // shorter it maps in user space, and the rest of the chunk follows.
      {7, 2, total - (limit - (2 << 20)), PIECE_PARTIAL_MDL | PIECE_USER_SPACE},
  };
  SetVersion(5, 1);
  for (const Expect &e : cases) {
    SCOPED_TRACE(e.failures);
    bw::InjectFault(bw::Fault::Mapping, 0, e.failures);
    VolumeStore *store = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, MemoryStore(40 << 20, cipher.get(), &store));
    bw::ClearFaults();
    EXPECT_EQ(e.pieces, store->PieceCount);
    EXPECT_EQ(e.smallest, store->SmallestPiece);
    EXPECT_EQ(e.flags, store->Pieces->Flags);
    ULONGLONG covered = 0;
    for (StorePiece *p = store->Pieces; p; p = p->Next) {
      EXPECT_EQ(covered, p->Start);
      covered += p->Length;
    }
    EXPECT_EQ(total, covered);
    // Data crosses the pieces intact.
    std::vector<uint8_t> data(3 << 20);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    ULONGLONG at = std::min<ULONGLONG>(store->Pieces->Length - 4096 - (1 << 20) - 3, 30 << 20);
    ASSERT_STATUS(STATUS_SUCCESS, Write(store, data.data(), at, static_cast<ULONG>(data.size())));
    std::vector<uint8_t> back(data.size());
    ASSERT_STATUS(STATUS_SUCCESS, Read(store, back.data(), at, static_cast<ULONG>(back.size())));
    EXPECT_TRUE(back == data);
    StoreRelease(&store, TRUE);
  }
}

// A run that will not map even at 1 MiB fails the creation; so does a chunk
// below 1 MiB that maps nowhere.
TEST_F(StoreTest, MappingFailuresEndCleanly) {
  CipherHolder cipher;
  MakeCipher(&cipher, CIPHER_ALGORITHM_NULL);
  SetVersion(5, 1);
  for (ULONGLONG size : {ULONGLONG{512 << 10}, ULONGLONG{40 << 20}}) {
    SCOPED_TRACE(size);
    bw::InjectFault(bw::Fault::Mapping, 0, 1000);
    VolumeStore *store = reinterpret_cast<VolumeStore *>(1);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, MemoryStore(size, cipher.get(), &store));
    EXPECT_EQ(nullptr, store);
    bw::ClearFaults();
    EXPECT_EQ(0u, bw::MdlPagesOutstanding());
    EXPECT_EQ(0u, bw::MappingsOutstanding());
  }
}

// Each page, pool and mapping request in turn fails once: every failure is
// STATUS_INSUFFICIENT_RESOURCES and leaves no pool, pages or mappings.
TEST_F(StoreTest, EveryAllocationFailureEndsCleanly) {
  CipherHolder cipher;
  MakeCipher(&cipher, CIPHER_ALGORITHM_XOR, u"x");
  SetVersion(5, 1);
  const uint64_t baseline = bw::PoolOutstandingAllocations();  // the cipher's
  for (bw::Fault fault : {bw::Fault::PoolAllocation, bw::Fault::PageAllocation}) {
    int failures = 0;
    for (uint32_t skip = 0; skip < 64; ++skip) {
      // Split mapping (the first two fail) so that partial lists are allocated too.
      bw::InjectFault(bw::Fault::Mapping, 0, 2);
      bw::InjectFault(fault, skip, 1);
      VolumeStore *store = nullptr;
      NTSTATUS status = MemoryStore(70 << 20, cipher.get(), &store);
      bw::ClearFaults();
      uint64_t pool = bw::PoolOutstandingAllocations();
      if (NT_SUCCESS(status)) {
        StoreRelease(&store, FALSE);
        break;
      }
      ++failures;
      EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, status) << skip;
      EXPECT_EQ(nullptr, store);
      EXPECT_EQ(baseline, pool) << skip << "\n" << Leaks();
      EXPECT_EQ(0u, bw::MdlPagesOutstanding()) << skip;
      EXPECT_EQ(0u, bw::MappingsOutstanding()) << skip;
    }
    EXPECT_GT(failures, fault == bw::Fault::PoolAllocation ? 4 : 0);
  }
}

// 0xFFFFF000 bytes and the 4096-byte header block in front do not fit one
// page list: the volume takes two chunks, and data crosses between them.
TEST_F(StoreTest, LargestChunkVolumeWithHeaderTakesTwoChunks) {
  CipherHolder cipher;
  MakeCipher(&cipher, CIPHER_ALGORITHM_NULL);
  VolumeStore *store = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, MemoryStore(0xFFFFF000ull, cipher.get(), &store));
  ASSERT_NE(nullptr, store->Chunks);
  EXPECT_EQ(2u, store->Chunks->Count);
  EXPECT_EQ(0xFFFFF000ull + 4096, store->Chunks->TotalBytes);
  EXPECT_EQ(2u, store->PieceCount);
  EXPECT_EQ(4096u, store->SmallestPiece);

  ULONGLONG boundary = 0xFFFFF000ull - 4096;  // volume offset of the second chunk
  uint8_t data[8192];
  for (size_t i = 0; i < sizeof(data); ++i) data[i] = static_cast<uint8_t>(i ^ 0x5A);
  ASSERT_STATUS(STATUS_SUCCESS, Write(store, data, boundary - 4095, sizeof(data) - 1));
  uint8_t back[8192] = {};
  ULONG_PTR bytes = 0;
  ASSERT_STATUS(STATUS_SUCCESS, Read(store, back, boundary - 4095, sizeof(back), &bytes));
  EXPECT_EQ(sizeof(back) - 1, bytes);
  EXPECT_EQ(0, std::memcmp(back, data, sizeof(data) - 1));
  EXPECT_STATUS(STATUS_SUCCESS, Read(store, back, 0xFFFFF000ull - 1, 1, &bytes));
  EXPECT_EQ(data[sizeof(data) - 2], back[0]);
  StoreRelease(&store, FALSE);
}

TEST_F(StoreTest, CreationArgumentsAreChecked) {
  CipherHolder null, xorCipher;
  MakeCipher(&null, CIPHER_ALGORITHM_NULL);
  MakeCipher(&xorCipher, CIPHER_ALGORITHM_XOR, u"k");
  VolumeStore *store = nullptr;
  ULONG outcome = 0;
  // A size needs an image or memory; no size needs an image.
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, StoreCreateForVolume(0, 0, 1 << 20, nullptr, null.get(), &store, &outcome));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, StoreCreateForVolume(kMemory, 0, 0, nullptr, null.get(), &store, &outcome));
  // Raw wants algorithm 1.
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                StoreCreateForVolume(kMemory | kRaw, 0, 1 << 20, nullptr, xorCipher.get(), &store, &outcome));
  // A raw store is whole sectors.
  EXPECT_STATUS(STORE_STATUS_BAD_RAW_SIZE,
                StoreCreateForVolume(kMemory | kRaw, 0, 1000000, nullptr, null.get(), &store, &outcome));
  EXPECT_EQ(2u, outcome);
  EXPECT_EQ(nullptr, store);
  // A raw memory volume without an image keeps no header block in front.
  ASSERT_STATUS(STATUS_SUCCESS, StoreCreateForVolume(kMemory | kRaw, 0, 1 << 20, nullptr, null.get(), &store, &outcome));
  EXPECT_EQ(0u, outcome);
  EXPECT_EQ(0u, store->DataOffset);
  EXPECT_EQ((1u << 20) / 512, store->Changes->BitCount);
  EXPECT_EQ(0u, ChangeMapCount(store->Changes));
  StoreRelease(&store, FALSE);
}

TEST_F(StoreTest, ChangeMapRunsAcrossWords) {
  ChangeMap *map = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, ChangeMapCreate(1000, &map));
  std::vector<bool> reference(1000);
  std::mt19937 random(5);
  for (int i = 0; i < 60; ++i) {
    ULONGLONG first = random() % 1100, count = random() % 90;
    ChangeMapSet(map, first, count);
    for (ULONGLONG b = first; b < std::min<ULONGLONG>(first + count, 1000); ++b) reference[b] = true;
  }
  std::vector<bool> found(1000);
  ULONGLONG from = 0, start = 0, length = 0;
  while (ChangeMapFindRun(map, from, 37, &start, &length)) {
    ASSERT_GT(length, 0u);
    ASSERT_LE(length, 37u);
    for (ULONGLONG b = start; b < start + length; ++b) found[b] = true;
    from = start + length;
  }
  EXPECT_TRUE(found == reference);
  EXPECT_EQ(static_cast<ULONGLONG>(std::count(reference.begin(), reference.end(), true)), ChangeMapCount(map));
  // Ranges cleared again, across words and past the end, leave the rest.
  for (int i = 0; i < 30; ++i) {
    ULONGLONG first = random() % 1100, count = random() % 150;
    ChangeMapClear(map, first, count);
    for (ULONGLONG b = first; b < std::min<ULONGLONG>(first + count, 1000); ++b) reference[b] = false;
  }
  for (ULONGLONG b = 0; b < 1000; ++b) ASSERT_EQ(reference[b], static_cast<bool>(ChangeMapTest(map, b))) << b;
  ChangeMapSet(map, 999, 5);
  EXPECT_TRUE(ChangeMapTest(map, 999));
  EXPECT_FALSE(ChangeMapTest(map, 1000));
  ChangeMapClearAll(map);
  EXPECT_FALSE(ChangeMapFindRun(map, 0, 10, &start, &length));
  ChangeMapFree(&map);
  EXPECT_EQ(nullptr, map);
}

}  // namespace
}  // namespace storetest
