// Format dispatch, the formatters' write path and the partition sector.
#include "engine/format/format_internal.h"
#include "engine/format/tests/support/format_test_util.h"
#include "engine/format/tests/support/memory_format_store.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

namespace {

using bw::test::Le16;
using bw::test::Le32;
using bw::test::MemoryFormatStore;
using bw::test::Text;

using bw::test::GiB;
using bw::test::MiB;

using FormatVolumeTest = bw::test::FormatterTest;

TEST_F(FormatVolumeTest, RefusalsLeaveTheStoreAlone) {
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, FormatVolume(nullptr, 0, fsFAT, "", 0, 0));
  MemoryFormatStore store(8 * MiB);
  store.Fill(0, 8 * MiB, 0xAB);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, FormatVolume(&store, 0, 4, "", 0, 0));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, FormatVolume(&store, 0, fsFAT, "", 512, 8 * MiB));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                FormatVolume(&store, FORMAT_FLAG_ZERO_FILL, fsFAT, "", 0, 8 * MiB + 512));
  // An offset past the end is refused rather than wrapping the room left.
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, FormatVolume(&store, 0, fsFAT, "", 9 * MiB, 512));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, FormatVolume(&store, 0, fsRAW, "", 9 * MiB, 0));
  EXPECT_TRUE(store.Writes().empty());
  EXPECT_TRUE(store.ZeroCalls().empty());
  EXPECT_TRUE(store.ProtectChanges().empty());
}

TEST_F(FormatVolumeTest, WriteProtectedWhileFormatting) {
  MemoryFormatStore store(8 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, FormatVolume(&store, 0, fsFAT, "A", 0, 0));
  EXPECT_EQ((std::vector<bool>{true, false}), store.ProtectChanges());
  ASSERT_FALSE(store.Writes().empty());
  for (const auto &w : store.Writes()) {
    EXPECT_TRUE(w.writeProtected);
    EXPECT_EQ(FORMAT_STORE_WRITE_INTERNAL, w.flags);
  }
  // Cleared on failure paths too.
  store.ClearLog();
  store.FailWrite(0, STATUS_DEVICE_DATA_ERROR);
  EXPECT_STATUS(STATUS_DEVICE_DATA_ERROR, FormatVolume(&store, 0, fsFAT, "A", 0, 0));
  EXPECT_FALSE(store.IsWriteProtected());
  store.FailZeroRange(STATUS_FILE_LOCK_CONFLICT);
  EXPECT_STATUS(STATUS_FILE_LOCK_CONFLICT,
                FormatVolume(&store, FORMAT_FLAG_ZERO_FILL, fsFAT, "A", 0, 0));
  EXPECT_FALSE(store.IsWriteProtected());
}

TEST_F(FormatVolumeTest, ZeroFillComesFirstAndCoversTheRange) {
  MemoryFormatStore store(8 * MiB);
  store.Fill(0, 8 * MiB, 0xAB);
  ASSERT_STATUS(STATUS_SUCCESS,
                FormatVolume(&store, FORMAT_FLAG_ZERO_FILL | 0xF0, fsFAT, "Z", 512, 0));
  ASSERT_EQ(1u, store.ZeroCalls().size());
  EXPECT_EQ(512u, store.ZeroCalls()[0].first);
  EXPECT_EQ(8 * MiB - 512, store.ZeroCalls()[0].second);
  EXPECT_EQ(0xAB, store.Bytes(0, 1)[0]);  // in front of the range: untouched
  EXPECT_EQ("FAT16   ", Text(store.Sector(1), 0x36, 8));
  // Everything but the structures reads as zero: the FAT past its first
  // sector, for one.
  EXPECT_TRUE(store.IsZero(3 * 512, 512));

  // Without the flag (other bits set) nothing is zeroed.
  MemoryFormatStore plain(8 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, FormatVolume(&plain, 0xFFFFFFFE, fsFAT, "Z", 0, 0));
  EXPECT_TRUE(plain.ZeroCalls().empty());

  // A failing zero-fill ends the request before anything is written.
  MemoryFormatStore failing(8 * MiB);
  failing.FailZeroRange(STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES,
                FormatVolume(&failing, FORMAT_FLAG_ZERO_FILL, fsFAT32, "Z", 0, 0));
  EXPECT_TRUE(failing.Writes().empty());
}

TEST_F(FormatVolumeTest, RawClearsExactlyOneSector) {
  MemoryFormatStore store(1 * MiB);
  store.Fill(0, 1 * MiB, 0xAB);
  ASSERT_STATUS(STATUS_SUCCESS, FormatVolume(&store, 0, fsRAW, "ignored", 4096, 0));
  EXPECT_FALSE(store.IsZero(4095, 1));
  EXPECT_TRUE(store.IsZero(4096, 512));
  EXPECT_FALSE(store.IsZero(4096 + 512, 1));
  ASSERT_EQ(1u, store.Writes().size());
  EXPECT_EQ(512u, store.Writes()[0].length);

  // An empty range writes nothing.
  store.ClearLog();
  EXPECT_STATUS(STATUS_SUCCESS, FormatVolume(&store, 0, fsRAW, nullptr, 1 * MiB, 0));
  EXPECT_TRUE(store.Writes().empty());

  // A range shorter than a sector clears that range only.
  MemoryFormatStore odd(1000);
  odd.Fill(0, 1000, 0xAB);
  EXPECT_STATUS(STATUS_SUCCESS, FormatVolume(&odd, 0, fsRAW, nullptr, 600, 0));
  EXPECT_FALSE(odd.IsZero(599, 1));
  EXPECT_TRUE(odd.IsZero(600, 400));

  MemoryFormatStore noSectors(1 * MiB, 0);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, FormatVolume(&noSectors, 0, fsRAW, nullptr, 0, 0));

  MemoryFormatStore shortPool(1 * MiB);
  bw::InjectFault(bw::Fault::PoolAllocation, 0, 1);
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, FormatVolume(&shortPool, 0, fsRAW, nullptr, 0, 0));
  EXPECT_TRUE(shortPool.Writes().empty());
  EXPECT_FALSE(shortPool.IsWriteProtected());
}

TEST_F(FormatVolumeTest, Fat32FallsBackToFat) {
  // 66593 sectors are too few clusters for FAT32: FAT16 with 1 KiB clusters.
  MemoryFormatStore small(66593ull * 512);
  ASSERT_STATUS(STATUS_SUCCESS, FormatVolume(&small, 0, fsFAT32, "SMALL", 0, 0));
  EXPECT_EQ("FAT16   ", Text(small.Sector(0), 0x36, 8));
  EXPECT_EQ("Tavik      ", Text(small.Sector(0), 0x2B, 11));

  MemoryFormatStore exact(66594ull * 512);
  ASSERT_STATUS(STATUS_SUCCESS, FormatVolume(&exact, 0, fsFAT32, "BIG", 0, 0));
  EXPECT_EQ("FAT32   ", Text(exact.Sector(0), 0x52, 8));

  MemoryFormatStore floor(32 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, FormatVolume(&floor, 0, fsFAT32, "", 0, 0));
  EXPECT_EQ("FAT16   ", Text(floor.Sector(0), 0x36, 8));
  EXPECT_EQ(1, floor.Sector(0)[0x0D]);

  // Below 32 MiB the FAT32 formatter refuses at once.
  MemoryFormatStore tiny(1 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, FormatVolume(&tiny, 0, fsFAT32, "", 0, 0));
  EXPECT_EQ("FAT12   ", Text(tiny.Sector(0), 0x36, 8));

  // Any FAT32 failure counts, a failing write included: FAT16 is written
  // over the same range.
  MemoryFormatStore flaky(64 * MiB);
  flaky.FailWrite(0, STATUS_DEVICE_DATA_ERROR);
  ASSERT_STATUS(STATUS_SUCCESS, FormatVolume(&flaky, 0, fsFAT32, "", 0, 0));
  EXPECT_EQ("FAT16   ", Text(flaky.Sector(0), 0x36, 8));

  // Above 2 GiB the fallback refuses, and that is the answer.
  MemoryFormatStore large(4 * GiB);
  large.FailWrite(0, STATUS_DEVICE_DATA_ERROR);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, FormatVolume(&large, 0, fsFAT32, "", 0, 0));
}

TEST_F(FormatVolumeTest, FormatsAtTheRangeOffset) {
  MemoryFormatStore store(64 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, FormatVolume(&store, 0, fsFAT32, "P", 512, 0));
  auto boot = store.Sector(1);
  EXPECT_EQ("FAT32   ", Text(boot, 0x52, 8));
  EXPECT_EQ(64 * MiB / 512 - 1, Le32(boot, 0x20));
  EXPECT_EQ(boot, store.Sector(7));
  EXPECT_TRUE(store.IsZero(0, 512));
}

TEST(SectorWriter, WritesAndReadsRelativeToBase) {
  MemoryFormatStore store(64 * 1024);
  SectorWriter writer = {&store, 1024};
  UCHAR data[512];
  for (int i = 0; i < 512; ++i) data[i] = static_cast<UCHAR>(i);
  ASSERT_STATUS(STATUS_SUCCESS, SectorWriterTransfer(&writer, data, 512, 512, SECTOR_WRITER_WRITE));
  ASSERT_EQ(1u, store.Writes().size());
  EXPECT_EQ(1536u, store.Writes()[0].offset);
  EXPECT_EQ(FORMAT_STORE_WRITE_INTERNAL, store.Writes()[0].flags);

  UCHAR back[512] = {};
  ASSERT_STATUS(STATUS_SUCCESS, SectorWriterTransfer(&writer, back, 512, 512, SECTOR_WRITER_READ));
  EXPECT_EQ(0, memcmp(data, back, 512));

  // Unaligned reads inside one sector go through a bounce sector.
  UCHAR piece[10] = {};
  ASSERT_STATUS(STATUS_SUCCESS, SectorWriterTransfer(&writer, piece, 10, 512 + 500, SECTOR_WRITER_READ));
  EXPECT_EQ(0, memcmp(data + 500, piece, 10));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                SectorWriterTransfer(&writer, piece, 10, 512 + 505, SECTOR_WRITER_READ));
  UCHAR two[1024];
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                SectorWriterTransfer(&writer, two, 600, 512, SECTOR_WRITER_READ));
  bw::InjectFault(bw::Fault::PoolAllocation, 0, 1);
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES,
                SectorWriterTransfer(&writer, piece, 10, 512 + 500, SECTOR_WRITER_READ));
  bw::ClearFaults();
  store.FailReads(STATUS_FILE_LOCK_CONFLICT);
  EXPECT_STATUS(STATUS_FILE_LOCK_CONFLICT,
                SectorWriterTransfer(&writer, piece, 10, 512 + 500, SECTOR_WRITER_READ));
  EXPECT_STATUS(STATUS_FILE_LOCK_CONFLICT,
                SectorWriterTransfer(&writer, back, 512, 512, SECTOR_WRITER_READ));
  EXPECT_EQ(0u, bw::PoolBytesWithTag(FORMAT_POOL_TAG));

  EXPECT_STATUS(STATUS_INVALID_PARAMETER, SectorWriterTransfer(&writer, data, 512, 0, 2));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, SectorWriterTransfer(nullptr, data, 512, 0, 0));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, SectorWriterTransfer(&writer, nullptr, 512, 0, 0));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, SectorWriterTransfer(&writer, data, 512, ~0ull, 0));
  // Past the end: the store's own answer.
  EXPECT_STATUS(STATUS_END_OF_FILE, SectorWriterTransfer(&writer, data, 512, 63 * 1024, 0));
}

TEST(SectorWriter, ReportsTheIoStatusOfASucceededCall) {
  MemoryFormatStore store(64 * 1024);
  SectorWriter writer = {&store, 0};
  UCHAR data[512] = {};
  store.FailWrite(0, STATUS_DISK_FULL, /*inIoStatus=*/true);
  EXPECT_STATUS(STATUS_DISK_FULL, SectorWriterTransfer(&writer, data, 512, 0, SECTOR_WRITER_WRITE));
  store.FailWrite(0, STATUS_DISK_FULL, /*inIoStatus=*/false);
  EXPECT_STATUS(STATUS_DISK_FULL, SectorWriterTransfer(&writer, data, 512, 0, SECTOR_WRITER_WRITE));
  EXPECT_STATUS(STATUS_SUCCESS, SectorWriterTransfer(&writer, data, 512, 0, SECTOR_WRITER_WRITE));
}

TEST(PartitionSector, OneEntryAsTheEngineWritesIt) {
  UCHAR sector[512];
  memset(sector, 0xCD, sizeof(sector));
  PartitionEntrySpec entry = {512, 64 * MiB - 512, 0, 0x07};
  ASSERT_STATUS(STATUS_SUCCESS, BuildPartitionSector(sector, 512, 0xA1B2C3D4, &entry, 1));
  std::vector<uint8_t> b(sector, sector + 512);
  EXPECT_TRUE(bw::test::AllZero(b, 0, 440));
  EXPECT_EQ(0xA1B2C3D4u, Le32(b, 440));
  EXPECT_EQ(0u, Le16(b, 444));
  EXPECT_EQ(0x00, b[446]);
  EXPECT_TRUE(bw::test::AllZero(b, 447, 450));  // CHS stays zero
  EXPECT_EQ(0x07, b[450]);
  EXPECT_TRUE(bw::test::AllZero(b, 451, 454));
  EXPECT_EQ(1u, Le32(b, 454));
  EXPECT_EQ(64 * MiB / 512 - 1, Le32(b, 458));
  EXPECT_TRUE(bw::test::AllZero(b, 462, 510));
  EXPECT_EQ(0x55, b[510]);
  EXPECT_EQ(0xAA, b[511]);
}

TEST(PartitionSector, FourEntriesAndSectorSizes) {
  UCHAR sector[512];
  PartitionEntrySpec entries[4] = {
      {4096, 4096 * 10, 1, 0x0C}, {4096 * 11, 4096, 0, 0x07},
      {4096 * 12, 4096, 0, 0x83}, {4096 * 13, 2048ull * GiB, 0, 0x07}};
  ASSERT_STATUS(STATUS_SUCCESS, BuildPartitionSector(sector, 4096, 7, entries, 4));
  std::vector<uint8_t> b(sector, sector + 512);
  EXPECT_EQ(0x80, b[446]);
  EXPECT_EQ(0x0C, b[446 + 4]);
  EXPECT_EQ(1u, Le32(b, 446 + 8));
  EXPECT_EQ(10u, Le32(b, 446 + 12));
  EXPECT_EQ(0x00, b[462]);
  EXPECT_EQ(0x83, b[478 + 4]);
  EXPECT_EQ(13u, Le32(b, 494 + 8));
  EXPECT_EQ(512u * 1024 * 1024, Le32(b, 494 + 12));
  // No entries: signature and boot mark only; the sector size may be 0.
  ASSERT_STATUS(STATUS_SUCCESS, BuildPartitionSector(sector, 0, 0x11223344, nullptr, 0));
  b.assign(sector, sector + 512);
  EXPECT_EQ(0x11223344u, Le32(b, 440));
  EXPECT_TRUE(bw::test::AllZero(b, 446, 510));
}

TEST(PartitionSector, Refusals) {
  UCHAR sector[512];
  PartitionEntrySpec entries[5] = {};
  for (auto &e : entries) e = {512, 512, 0, 7};
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, BuildPartitionSector(nullptr, 512, 0, entries, 1));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, BuildPartitionSector(sector, 512, 0, entries, 5));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, BuildPartitionSector(sector, 1000, 0, entries, 1));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, BuildPartitionSector(sector, 1000, 0, nullptr, 0));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, BuildPartitionSector(sector, 0, 0, entries, 1));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, BuildPartitionSector(sector, 512, 0, nullptr, 1));
  PartitionEntrySpec huge = {512, 2048 * GiB + 512, 0, 7};
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, BuildPartitionSector(sector, 4096, 0, &huge, 1));
  // Exactly 2 TiB in 512-byte sectors is 2^32 sectors: the count field
  // cannot hold it.
  PartitionEntrySpec twoTiB = {512, 2048 * GiB, 0, 7};
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, BuildPartitionSector(sector, 512, 0, &twoTiB, 1));
  PartitionEntrySpec farStart = {512ull << 32, 512, 0, 7};
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, BuildPartitionSector(sector, 512, 0, &farStart, 1));
  // A refused entry leaves the buffer untouched.
  memset(sector, 0xCD, sizeof(sector));
  PartitionEntrySpec mixed[2] = {{512, 512, 0, 7}, {512, 2048 * GiB + 512, 0, 7}};
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, BuildPartitionSector(sector, 512, 0, mixed, 2));
  EXPECT_EQ(0xCD, sector[510]);
}

}  // namespace
