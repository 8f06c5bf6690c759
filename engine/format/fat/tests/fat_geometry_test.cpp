// Size rules of the FAT formatters, checked over whole ranges of sizes.
#include "engine/format/fat/fat_geometry.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

namespace {

constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t GiB = 1024 * MiB;

TEST(FatGeometry, ClusterSizeTableEdges) {
  struct Edge {
    uint64_t bytes;
    ULONG spc;
  } edges[] = {
      {32 * MiB, 1},   {32 * MiB + 512, 2},   {64 * MiB, 2},  {64 * MiB + 512, 4},
      {128 * MiB, 4},  {128 * MiB + 512, 8},  {256 * MiB, 8}, {256 * MiB + 512, 16},
      {512 * MiB, 16}, {512 * MiB + 512, 32}, {1 * GiB, 32},  {1 * GiB + 512, 64},
      {2 * GiB, 64},
  };
  for (const Edge &e : edges) {
    FatGeometry g;
    ASSERT_STATUS(STATUS_SUCCESS, FatComputeGeometry(e.bytes, &g)) << e.bytes;
    EXPECT_EQ(e.spc, g.SectorsPerCluster) << e.bytes;
    EXPECT_EQ(16, g.FatBits) << e.bytes;
  }
}

TEST(FatGeometry, TinyRangesAreRefused) {
  FatGeometry g;
  // Up to 33 sectors the entry estimate has nothing to count; 34 sectors
  // hold the boot sector, one FAT sector and the root directory, no data.
  for (uint64_t sectors = 3; sectors <= 34; ++sectors)
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, FatComputeGeometry(sectors * 512, &g)) << sectors;
  ASSERT_STATUS(STATUS_SUCCESS, FatComputeGeometry(35 * 512, &g));
  EXPECT_EQ(12, g.FatBits);
  EXPECT_EQ(1u, g.FatSectors);
  EXPECT_EQ(1u, g.Clusters);
}

TEST(FatGeometry, EstimateKeptWhereItFits) {
  FatGeometry g;
  // 1 MiB: the estimate gives 6 FAT sectors, enough for 2009 clusters.
  ASSERT_STATUS(STATUS_SUCCESS, FatComputeGeometry(1 * MiB, &g));
  EXPECT_EQ(12, g.FatBits);
  EXPECT_EQ(2017u, g.EntryEstimate);
  EXPECT_EQ(6u, g.FatSectors);
  EXPECT_EQ(2009u, g.Clusters);
}

TEST(FatGeometry, TableGrowsToCoverEveryCluster) {
  FatGeometry g;
  // 64 MiB, 1 KiB clusters: the estimate's 255 sectors hold 65280 entries
  // but the volume has 65392 clusters; one more sector covers them.
  ASSERT_STATUS(STATUS_SUCCESS, FatComputeGeometry(64 * MiB, &g));
  EXPECT_EQ(16, g.FatBits);
  EXPECT_EQ(256u, g.FatSectors);
  EXPECT_EQ(65391u, g.Clusters);
}

TEST(FatGeometry, LargestVolumesKeepFat16ClusterLimit) {
  FatGeometry g;
  // 2 GiB with 32 KiB clusters would have 65531 clusters, more than FAT16
  // numbers; the FAT is padded so that 65523 remain.
  ASSERT_STATUS(STATUS_SUCCESS, FatComputeGeometry(2 * GiB, &g));
  EXPECT_EQ(16, g.FatBits);
  EXPECT_EQ(64u, g.SectorsPerCluster);
  EXPECT_EQ(65523u, g.Clusters);
  EXPECT_EQ(736u, g.FatSectors);
  ASSERT_STATUS(STATUS_SUCCESS, FatComputeGeometry(1 * GiB, &g));
  EXPECT_EQ(65523u, g.Clusters);
  EXPECT_EQ(352u, g.FatSectors);
}

TEST(FatGeometry, Fat12Fat16Boundary) {
  FatGeometry g;
  // The estimate passes 4087 entries between 4118 and 4119 sectors.
  ASSERT_STATUS(STATUS_SUCCESS, FatComputeGeometry(4118 * 512, &g));
  EXPECT_EQ(4087u, g.EntryEstimate);
  EXPECT_EQ(12, g.FatBits);
  // Just above it a FAT16 table would leave fewer than 4087 clusters,
  // which readers take for FAT12: these sizes stay FAT12.
  for (uint64_t s = 4119; s <= 4135; ++s) {
    ASSERT_STATUS(STATUS_SUCCESS, FatComputeGeometry(s * 512, &g));
    EXPECT_GT(g.EntryEstimate, 4087u);
    EXPECT_EQ(12, g.FatBits) << s;
    EXPECT_LE(g.Clusters, FAT12_MAX_CLUSTERS) << s;
  }
  ASSERT_STATUS(STATUS_SUCCESS, FatComputeGeometry(4136 * 512, &g));
  EXPECT_EQ(16, g.FatBits);
  EXPECT_EQ(4087u, g.Clusters);
  EXPECT_EQ(16u, g.FatSectors);
}

// The sectors-per-FAT estimate: the FAT's own size subtracted once from the
// entry count.
ULONG EstimateFatSectors(ULONG n, int bits) {
  if (bits == 12) {
    ULONG t = ((3 * n + 1) / 2 + 511) / 512;
    return ((3 * (n - t) + 1) / 2 + 511) / 512;
  }
  ULONG t = (2 * n + 511) / 512;
  return (2 * (n - t) + 511) / 512;
}

// Every size from the smallest to 2 GiB: the table covers the clusters,
// the cluster count names the FAT type unambiguously, and the FAT is the
// estimate unless the estimate fell short, in which case it is the smallest
// table that is sound.
TEST(FatGeometry, EverySizeIsConsistent) {
  uint64_t grown = 0;
  for (ULONG s = 35; s <= 4194304; ++s) {
    FatGeometry g;
    ASSERT_STATUS(STATUS_SUCCESS, FatComputeGeometry(uint64_t{s} * 512, &g)) << s;
    ASSERT_EQ(s, g.TotalSectors);
    ASSERT_EQ((s - 33) / g.SectorsPerCluster + 2, g.EntryEstimate);
    auto clusters = [&](ULONG fat) { return (s - FAT_FIXED_SECTORS - fat) / g.SectorsPerCluster; };
    auto sound = [&](ULONG fat) {
      uint64_t capacity = uint64_t{fat} * 512 * 8 / g.FatBits;
      ULONG c = clusters(fat);
      return capacity >= uint64_t{c} + 2 &&
             (g.FatBits == 12 ? c <= FAT12_MAX_CLUSTERS
                              : c >= FAT16_MIN_CLUSTERS && c <= FAT16_MAX_CLUSTERS);
    };
    ASSERT_EQ(clusters(g.FatSectors), g.Clusters) << s;
    ASSERT_TRUE(sound(g.FatSectors)) << s;
    ASSERT_EQ(g.FatBits == 12, g.EntryEstimate <= 4087 || s <= 4135) << s;
    ULONG estimate = EstimateFatSectors(g.EntryEstimate, g.FatBits);
    if (g.FatSectors != estimate) {
      ASSERT_GT(g.FatSectors, estimate) << s;
      ASSERT_FALSE(sound(g.FatSectors - 1)) << s;
      ++grown;
    }
  }
  EXPECT_GT(grown, 0u);
}

TEST(Fat32Geometry, ClusterSizeTableEdges) {
  // Just past 64, 128 and 256 MiB the doubled cluster leaves fewer than
  // 65536 clusters: those sizes are refused (and end up FAT16).
  struct Edge {
    uint64_t bytes;
    ULONG spc;
  } edges[] = {
      {64 * MiB, 1},  {64 * MiB + 512, 2},  {128 * MiB, 2},  {128 * MiB + 512, 4},
      {256 * MiB, 4}, {256 * MiB + 512, 8}, {8 * GiB, 8},    {8 * GiB + 512, 16},
      {16 * GiB, 16}, {16 * GiB + 512, 32}, {1024 * GiB, 32}, {2048 * GiB - 1024, 32},
  };
  for (const Edge &e : edges) {
    ULONG spc = 0, total = 0;
    ASSERT_STATUS(STATUS_SUCCESS, Fat32CheckSize(512, e.bytes, &spc, &total)) << e.bytes;
    EXPECT_EQ(e.spc, spc) << e.bytes;
    EXPECT_EQ(e.bytes / 512, total);
    Fat32Geometry g;
    bool fewClusters = e.bytes == 64 * MiB + 512 || e.bytes == 128 * MiB + 512 ||
                       e.bytes == 256 * MiB + 512;
    EXPECT_STATUS(fewClusters ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS,
                  Fat32ComputeLayout(512, total, spc, &g))
        << e.bytes;
  }
}

TEST(Fat32Geometry, SectorCountBounds) {
  ULONG spc, total;
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Fat32CheckSize(512, 65535ull * 512, &spc, &total));
  EXPECT_STATUS(STATUS_SUCCESS, Fat32CheckSize(512, 65536ull * 512, &spc, &total));
  EXPECT_STATUS(STATUS_SUCCESS, Fat32CheckSize(512, 0xFFFFFFFEull * 512, &spc, &total));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Fat32CheckSize(512, 0xFFFFFFFFull * 512, &spc, &total));
}

TEST(Fat32Geometry, SmallestFat32) {
  Fat32Geometry g;
  // 32 MiB passes the sector count but has too few clusters.
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Fat32ComputeLayout(512, 65536, 1, &g));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Fat32ComputeLayout(512, 66593, 1, &g));
  ASSERT_STATUS(STATUS_SUCCESS, Fat32ComputeLayout(512, 66594, 1, &g));
  EXPECT_EQ(513u, g.FatSectors);
  EXPECT_EQ(65536u, g.Clusters);
  EXPECT_EQ(32u + 2 * 513, g.FirstDataSector);
}

// Sampled sizes up to 2 TiB: both FATs cover every cluster plus the two
// reserved entries, and the FAT is the estimate or at most a sector or two
// above it.
TEST(Fat32Geometry, TableCoversEveryCluster) {
  uint64_t grown = 0;
  for (uint64_t t = 66594; t < 0xFFFFFFFFull; t += (t < 2000000 ? 7 : t / 4001)) {
    ULONG spc, total;
    ASSERT_STATUS(STATUS_SUCCESS, Fat32CheckSize(512, t * 512, &spc, &total));
    Fat32Geometry g;
    NTSTATUS status = Fat32ComputeLayout(512, total, spc, &g);
    uint64_t estimate = 4 * (t - 32) / (512ull * spc + 8) + 1;
    if (status == STATUS_INVALID_PARAMETER) {
      // Only where a cluster-size step leaves too few clusters.
      ASSERT_LT((t - 32 - 2 * estimate) / spc, 65536u + 2) << t;
      continue;
    }
    ASSERT_STATUS(STATUS_SUCCESS, status) << t;
    ASSERT_GE(g.FatSectors, estimate);
    ASSERT_LE(g.FatSectors, estimate + 2);
    if (g.FatSectors != estimate) ++grown;
    ASSERT_EQ((t - 32 - 2ull * g.FatSectors) / spc, g.Clusters);
    ASSERT_GE(uint64_t{g.FatSectors} * 128, uint64_t{g.Clusters} + 2) << t;
  }
  // Exactly the case the estimate misses: 66721 sectors.
  Fat32Geometry g;
  ASSERT_STATUS(STATUS_SUCCESS, Fat32ComputeLayout(512, 66721, 1, &g));
  EXPECT_GE(uint64_t{g.FatSectors} * 128, uint64_t{g.Clusters} + 2);
  EXPECT_EQ(4 * (66721ull - 32) / 520 + 2, g.FatSectors);
}

}  // namespace
