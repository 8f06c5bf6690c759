// FAT32 formatter: boot sector and backups, FSInfo, both FATs, the root
// cluster, clearing of old data, write order and clean-up on failure.
#include "engine/format/fat/fat_geometry.h"
#include "engine/format/format_internal.h"
#include "engine/format/tests/support/format_test_util.h"
#include "engine/format/tests/support/memory_format_store.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <thread>

namespace {

using bw::test::AllZero;
using bw::test::Le16;
using bw::test::Le32;
using bw::test::MemoryFormatStore;
using bw::test::Text;

using bw::test::GiB;
using bw::test::MiB;

class Fat32Format : public bw::test::FormatterTest {
 protected:
  NTSTATUS Format(MemoryFormatStore &store, uint64_t length, PCSTR label, ULONG ss = 512) {
    SectorWriter writer = {&store, 0};
    return FormatFat32(ss, &writer, length, label);
  }
};

TEST_F(Fat32Format, RefusalsBeforeAnyWrite) {
  struct Case {
    ULONG ss;
    uint64_t length;
    PCSTR label;
    NTSTATUS expected;
  } cases[] = {
      {0, 64 * MiB, "", STATUS_INVALID_PARAMETER},
      {512, 32 * MiB - 512, "", STATUS_INVALID_PARAMETER},
      {512, 2048 * GiB + 512, "", STATUS_INVALID_PARAMETER},
      {512, 64 * MiB + 100, "", STATUS_INVALID_PARAMETER},
      {512, 64 * MiB, "TWELVE_CHARS", STATUS_INVALID_PARAMETER},
      {4096, 64 * MiB, "", FORMAT_STATUS_SECTOR_SIZE_INVALID},
      {256, 64 * MiB, "", STATUS_DATATYPE_MISALIGNMENT_ERROR},
      // 2 TiB is in range but has 2^32 sectors.
      {512, 2048 * GiB, "", STATUS_INVALID_PARAMETER},
      // Enough sectors, too few clusters.
      {512, 32 * MiB, "", STATUS_INVALID_PARAMETER},
      {512, 66593ull * 512, "", STATUS_INVALID_PARAMETER},
  };
  for (const Case &c : cases) {
    MemoryFormatStore store(4096 * GiB);
    EXPECT_STATUS(c.expected, Format(store, c.length, c.label, c.ss)) << c.length;
    EXPECT_TRUE(store.Writes().empty());
  }
}

TEST_F(Fat32Format, SmallestVolumeEveryStructure) {
  const uint64_t sectors = 66594;
  MemoryFormatStore store(sectors * 512);
  ASSERT_STATUS(STATUS_SUCCESS, Format(store, sectors * 512, "RAMDISK"));
  const ULONG F = 513, D = 32 + 2 * F;

  auto b = store.Sector(0);
  EXPECT_EQ(0xEB, b[0]);
  EXPECT_EQ(0x5A, b[1]);
  EXPECT_EQ(0x90, b[2]);
  EXPECT_EQ("MSWIN4.1", Text(b, 0x03, 8));
  EXPECT_EQ(512u, Le16(b, 0x0B));
  EXPECT_EQ(1, b[0x0D]);
  EXPECT_EQ(32u, Le16(b, 0x0E));
  EXPECT_EQ(2, b[0x10]);
  EXPECT_EQ(0u, Le16(b, 0x11));
  EXPECT_EQ(0u, Le16(b, 0x13));
  EXPECT_EQ(0xF8, b[0x15]);
  EXPECT_EQ(0u, Le16(b, 0x16));
  EXPECT_EQ(32u, Le16(b, 0x18));
  EXPECT_EQ(2u, Le16(b, 0x1A));
  EXPECT_EQ(0u, Le32(b, 0x1C));
  EXPECT_EQ(sectors, Le32(b, 0x20));
  EXPECT_EQ(F, Le32(b, 0x24));
  EXPECT_EQ(0u, Le16(b, 0x28));
  EXPECT_EQ(0u, Le16(b, 0x2A));
  EXPECT_EQ(2u, Le32(b, 0x2C));
  EXPECT_EQ(1u, Le16(b, 0x30));
  EXPECT_EQ(6u, Le16(b, 0x32));
  EXPECT_TRUE(AllZero(b, 0x34, 0x40));
  EXPECT_EQ(0x80, b[0x40]);
  EXPECT_EQ(0x00, b[0x41]);
  EXPECT_EQ(0x29, b[0x42]);
  EXPECT_EQ("RAMDISK    ", Text(b, 0x47, 11));
  EXPECT_EQ("FAT32   ", Text(b, 0x52, 8));
  EXPECT_TRUE(AllZero(b, 0x5A, 0x1FE));
  EXPECT_EQ(0x55, b[0x1FE]);
  EXPECT_EQ(0xAA, b[0x1FF]);
  EXPECT_EQ(b, store.Sector(6));

  auto info = store.Sector(1);
  EXPECT_EQ(0x41615252u, Le32(info, 0));
  EXPECT_TRUE(AllZero(info, 4, 484));
  EXPECT_EQ(0x61417272u, Le32(info, 484));
  EXPECT_EQ(65535u, Le32(info, 488));  // K - 1: cluster 2 is the root
  EXPECT_EQ(3u, Le32(info, 492));
  EXPECT_TRUE(AllZero(info, 496, 508));
  EXPECT_EQ(0xAA550000u, Le32(info, 508));
  EXPECT_EQ(info, store.Sector(7));

  for (ULONG fatStart : {32u, 32u + F}) {
    auto fat = store.Sector(fatStart);
    EXPECT_EQ(0x0FFFFFF8u, Le32(fat, 0));
    EXPECT_EQ(0x0FFFFFFFu, Le32(fat, 4));
    EXPECT_EQ(0x0FFFFFFFu, Le32(fat, 8));
    EXPECT_TRUE(AllZero(fat, 12, 512));
  }

  auto root = store.Sector(D);
  EXPECT_EQ("RAMDISK    ", Text(root, 0, 11));
  EXPECT_EQ(0x08, root[11]);
  EXPECT_TRUE(AllZero(root, 12, 512));
}

TEST_F(Fat32Format, WriteOrder) {
  const uint64_t bytes = 64 * MiB;
  MemoryFormatStore store(bytes);
  ASSERT_STATUS(STATUS_SUCCESS, Format(store, bytes, "L"));
  Fat32Geometry g;
  ASSERT_STATUS(STATUS_SUCCESS, Fat32ComputeLayout(512, bytes / 512, 1, &g));
  const auto &w = store.Writes();
  ASSERT_GE(w.size(), 8u);
  // First the clearing writes, contiguous from sector 0 to the end of the
  // root cluster.
  uint64_t cleared = 0;
  size_t i = 0;
  for (; i < w.size() - 7; ++i) {
    EXPECT_EQ(cleared, w[i].offset);
    cleared += w[i].length;
  }
  EXPECT_EQ(uint64_t{g.FirstDataSector + 1} * 512, cleared);
  const uint64_t expected[] = {0, 6, 1, 7, 32, 32 + uint64_t{g.FatSectors}};
  for (uint64_t sector : expected) {
    EXPECT_EQ(sector * 512, w[i].offset);
    EXPECT_EQ(512u, w[i].length);
    ++i;
  }
  EXPECT_EQ(uint64_t{g.FirstDataSector} * 512, w[i].offset);
  EXPECT_EQ(23u, w[i].length);
  for (const auto &r : w) EXPECT_EQ(FORMAT_STORE_WRITE_INTERNAL, r.flags);
}

TEST_F(Fat32Format, EmptyLabel) {
  MemoryFormatStore store(64 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, Format(store, 64 * MiB, nullptr));
  EXPECT_EQ("NO NAME    ", Text(store.Sector(0), 0x47, 11));
  Fat32Geometry g;
  ASSERT_STATUS(STATUS_SUCCESS, Fat32ComputeLayout(512, 64 * MiB / 512, 1, &g));
  EXPECT_TRUE(store.IsZero(uint64_t{g.FirstDataSector} * 512, 512));
  // The last write is the second FAT's first sector: no label entry.
  EXPECT_EQ((32 + uint64_t{g.FatSectors}) * 512, store.Writes().back().offset);
}

TEST_F(Fat32Format, OldDataClearedInMetadataOnly) {
  const uint64_t bytes = 300 * MiB;  // 4 KiB clusters
  MemoryFormatStore store(bytes);
  Fat32Geometry g;
  ASSERT_STATUS(STATUS_SUCCESS, Fat32ComputeLayout(512, bytes / 512, 8, &g));
  const uint64_t metadataEnd = uint64_t{g.FirstDataSector + 8} * 512;
  store.Fill(0, metadataEnd + 4096, 0xAB);
  ASSERT_STATUS(STATUS_SUCCESS, Format(store, bytes, "LABEL"));
  EXPECT_TRUE(store.IsZero(2 * 512, 4 * 512));    // sectors 2..5
  EXPECT_TRUE(store.IsZero(8 * 512, 24 * 512));   // sectors 8..31
  EXPECT_TRUE(store.IsZero(33 * 512, (g.FatSectors - 1) * 512ull));
  EXPECT_TRUE(store.IsZero((33ull + g.FatSectors) * 512, (g.FatSectors - 1) * 512ull));
  EXPECT_TRUE(store.IsZero(uint64_t{g.FirstDataSector} * 512 + 23, 8 * 512 - 23));
  // Cluster 3 onwards is data: left as it was.
  auto after = store.Bytes(metadataEnd, 4096);
  for (uint8_t byte : after) ASSERT_EQ(0xAB, byte);
  EXPECT_EQ(g.Clusters - 1, Le32(store.Sector(1), 488));
}

TEST_F(Fat32Format, ClusterSizesOfLargeVolumes) {
  struct Case {
    uint64_t bytes;
    ULONG spc;
  } cases[] = {{64 * MiB, 1},  {65 * MiB, 2},  {129 * MiB, 4}, {257 * MiB, 8},
               {8 * GiB, 8},   {8 * GiB + 512, 16}, {16 * GiB, 16}, {16 * GiB + 512, 32},
               {40 * GiB, 32}};
  for (const Case &c : cases) {
    MemoryFormatStore store(c.bytes);
    ASSERT_STATUS(STATUS_SUCCESS, Format(store, c.bytes, "")) << c.bytes;
    auto b = store.Sector(0);
    EXPECT_EQ(c.spc, b[0x0D]) << c.bytes;
    Fat32Geometry g;
    ASSERT_STATUS(STATUS_SUCCESS, Fat32ComputeLayout(512, c.bytes / 512, c.spc, &g));
    EXPECT_EQ(g.FatSectors, Le32(b, 0x24));
    EXPECT_EQ(g.Clusters - 1, Le32(store.Sector(1), 488));
  }
}

// The serial comes from the local time: its high half is hour, minute and
// year; two formats a few hundredths of a second apart differ.
TEST_F(Fat32Format, SerialFollowsLocalTime) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    std::time_t before = std::time(nullptr);
    MemoryFormatStore first(64 * MiB), second(64 * MiB);
    ASSERT_STATUS(STATUS_SUCCESS, Format(first, 64 * MiB, ""));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    ASSERT_STATUS(STATUS_SUCCESS, Format(second, 64 * MiB, ""));
    std::time_t after = std::time(nullptr);
    std::tm local;
    localtime_r(&before, &local);
    if (after / 60 != before / 60) continue;  // a minute turned: try again
    uint32_t serial = Le32(first.Sector(0), 0x43);
    uint32_t high = ((local.tm_hour * 256 + local.tm_min) + (local.tm_year + 1900)) & 0xFFFF;
    EXPECT_EQ(high, serial >> 16);
    uint32_t low = serial & 0xFFFF;
    uint32_t dayPart = (local.tm_mon + 1) * 256 + local.tm_mday;
    EXPECT_GE(low, dayPart);
    EXPECT_LE(low, dayPart + 59 * 256 + 99);
    EXPECT_NE(serial, Le32(second.Sector(0), 0x43));
    return;
  }
  FAIL() << "the minute kept turning";
}

TEST_F(Fat32Format, BuffersFreedWhenAllocationsFail) {
  for (uint32_t skip = 0; skip < 3; ++skip) {
    MemoryFormatStore store(64 * MiB);
    bw::InjectFault(bw::Fault::PoolAllocation, skip, 1);
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, Format(store, 64 * MiB, "X")) << skip;
    bw::ClearFaults();
    EXPECT_TRUE(store.Writes().empty());
    EXPECT_EQ(0u, bw::PoolBytesWithTag(FORMAT_POOL_TAG));
  }
}

TEST_F(Fat32Format, FirstFailingWriteEndsTheFormat) {
  MemoryFormatStore probe(64 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, Format(probe, 64 * MiB, "X"));
  const uint32_t total = static_cast<uint32_t>(probe.Writes().size());
  for (uint32_t failing : {0u, 1u, total - 7, total - 6, total - 3, total - 1}) {
    MemoryFormatStore store(64 * MiB);
    store.FailWrite(failing, STATUS_MEDIA_WRITE_PROTECTED, failing % 2 == 1);
    EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED, Format(store, 64 * MiB, "X")) << failing;
    EXPECT_EQ(failing + 1, store.Writes().size());
    EXPECT_EQ(0u, bw::PoolBytesWithTag(FORMAT_POOL_TAG));
  }
}

}  // namespace
