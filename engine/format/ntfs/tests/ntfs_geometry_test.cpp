// NTFS geometry: argument checks and their statuses, the cluster-size
// chooser, the rounded size, the cluster count and the metadata layout.
#include "engine/format/format_internal.h"
#include "engine/format/ntfs/ntfs_geometry.h"
#include "engine/format/ntfs/tests/ntfs_test_util.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace ntfs_test;

TEST(NtfsGeometry, ArgumentChecksInOrder) {
  struct Case {
    ULONG ss;
    uint64_t length;
    PCSTR label;
    NTSTATUS expected;
  } cases[] = {
      {0, 8 * MiB, "", STATUS_INVALID_PARAMETER},
      {256, 8 * MiB, "", STATUS_INVALID_PARAMETER},
      {8192, 8 * MiB, "", STATUS_INVALID_PARAMETER},
      {512, 5 * MiB - 512, "", STATUS_INVALID_PARAMETER},
      {512, 512 * TiB + 512, "", STATUS_INVALID_PARAMETER},
      {512, 5 * MiB + 100, "", STATUS_INVALID_PARAMETER},
      {4096, 5 * MiB + 512, "", STATUS_INVALID_PARAMETER},
      {512, 8 * MiB, "123456789012345678901234567890123", STATUS_INVALID_PARAMETER},
      // A sector size that is a multiple of 512 but no power of two cannot
      // divide a cluster.
      {1536, 6 * MiB, "", STATUS_DATATYPE_MISALIGNMENT_ERROR},
      {512, 5 * MiB, "", STATUS_SUCCESS},
      {512, 512 * TiB, "", STATUS_SUCCESS},
      {4096, 5 * MiB, "", STATUS_SUCCESS},
      {512, 8 * MiB, "12345678901234567890123456789012", STATUS_SUCCESS},
      {512, 8 * MiB, nullptr, STATUS_SUCCESS},
  };
  for (const Case &c : cases) {
    NtfsGeometry g{};
    EXPECT_STATUS(c.expected, NtfsComputeGeometry(c.ss, c.length, c.label, &g))
        << c.ss << " " << c.length;
  }
}

TEST(NtfsGeometry, ClusterSizeChooser) {
  ULONG cs = 0;
  EXPECT_STATUS(FORMAT_STATUS_SECTOR_SIZE_INVALID, NtfsChooseClusterSize(8192, GiB, &cs));
  EXPECT_STATUS(STATUS_DATATYPE_MISALIGNMENT_ERROR, NtfsChooseClusterSize(1000, GiB, &cs));
  EXPECT_STATUS(STATUS_DATATYPE_MISALIGNMENT_ERROR, NtfsChooseClusterSize(3072, GiB, &cs));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, NtfsChooseClusterSize(512, 5 * MiB - 1, &cs));
  struct Case {
    uint64_t length;
    ULONG cluster;
  } cases[] = {
      {5 * MiB, 4096},          {16 * TiB, 4096},   {16 * TiB + 512, 8192},  {32 * TiB, 8192},
      {32 * TiB + 512, 16384},  {64 * TiB, 16384},  {64 * TiB + 512, 32768}, {128 * TiB, 32768},
      {128 * TiB + 512, 65536}, {512 * TiB, 65536},
  };
  for (const Case &c : cases) {
    ASSERT_STATUS(STATUS_SUCCESS, NtfsChooseClusterSize(512, c.length, &cs));
    EXPECT_EQ(c.cluster, cs) << c.length;
    NtfsGeometry g = GeometryFor(c.length);
    EXPECT_EQ(c.cluster / 512, g.SectorsPerCluster);
    EXPECT_EQ(0xF6, g.MftRecordCode);
    EXPECT_EQ(c.cluster == 4096 ? 1 : 0xF4, g.IndexBlockCode);
    EXPECT_EQ(c.cluster == 4096 ? 1 : 8, g.ClustersPerIndexBlock);
  }
}

// Start LCN and cluster count of every metadata stream, in layout order.
std::vector<std::pair<uint64_t, uint64_t>> Layout(const NtfsGeometry &g) {
  const NtfsExtent *order[] = {&g.Boot,      &g.MftMirr,   &g.UpCase, &g.RootSecurity,
                               &g.RootIndex, &g.LogFile,   &g.Sds,    &g.AttrDef,
                               &g.Bitmap,    &g.MftBitmap, &g.Mft};
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const NtfsExtent *e : order) out.emplace_back(e->Lcn, e->Clusters);
  return out;
}

TEST(NtfsGeometry, OneGibibyteLayout) {
  NtfsGeometry g = GeometryFor(GiB);
  EXPECT_EQ(GiB, g.VolumeSize);
  EXPECT_EQ(4096u, g.ClusterSize);
  EXPECT_EQ(262143u, g.ManagedClusters);
  EXPECT_EQ(32768u, g.BitmapBytes);
  std::vector<std::pair<uint64_t, uint64_t>> expected = {
      {0, 2},     {2, 1},    {3, 32},   {35, 2},   {37, 2},   {39, 1024},
      {1063, 65}, {1128, 1}, {1129, 8}, {1137, 4}, {1141, 64}};
  EXPECT_EQ(expected, Layout(g));
  EXPECT_EQ(256 * KiB, g.MftDataSize);
}

TEST(NtfsGeometry, FiveMebibyteLayout) {
  NtfsGeometry g = GeometryFor(5 * MiB);
  EXPECT_EQ(5 * MiB, g.VolumeSize);
  EXPECT_EQ(1279u, g.ManagedClusters);
  EXPECT_EQ(160u, g.BitmapBytes);
  std::vector<std::pair<uint64_t, uint64_t>> expected = {{0, 2},   {2, 1},    {3, 32},   {35, 2},
                                                         {37, 2},  {39, 512}, {551, 65}, {616, 1},
                                                         {617, 1}, {618, 1},  {619, 64}};
  EXPECT_EQ(expected, Layout(g));
}

TEST(NtfsGeometry, RangeNotAMultipleOfTheClusterSize) {
  NtfsGeometry g = GeometryFor(100 * MiB + 3 * 512);
  EXPECT_EQ(100 * MiB, g.VolumeSize);
  EXPECT_EQ(100 * MiB / 4096 - 1, g.ManagedClusters);
  // 4 KiB sectors: the last cluster is still left to the backup.
  g = GeometryFor(100 * MiB, "", 4096);
  EXPECT_EQ(1u, g.SectorsPerCluster);
  EXPECT_EQ(100 * MiB / 4096 - 1, g.ManagedClusters);
}

TEST(NtfsGeometry, BitmapBytesRoundToEightAndLogHasAFloor) {
  // 64 MiB: 16383 clusters -> 2048 bytes; the log is 2 MiB (V/256 is less).
  NtfsGeometry g = GeometryFor(64 * MiB);
  EXPECT_EQ(16383u, g.ManagedClusters);
  EXPECT_EQ(2048u, g.BitmapBytes);
  EXPECT_EQ(512u, g.LogFile.Clusters);
  // 6 MiB: 1535 clusters -> 192 bytes (192 = 24 * 8).
  g = GeometryFor(6 * MiB);
  EXPECT_EQ(192u, g.BitmapBytes);
  // 8 GiB: the log is V/256 = 32 MiB.
  g = GeometryFor(8 * GiB);
  EXPECT_EQ(8192u, g.LogFile.Clusters);
}

TEST(NtfsGeometry, StreamsFollowEachOtherWithoutGaps) {
  for (uint64_t length : {5 * MiB, 777 * MiB, 64 * GiB, 20 * TiB, 512 * TiB}) {
    NtfsGeometry g = GeometryFor(length);
    auto layout = Layout(g);
    for (size_t i = 1; i < layout.size(); ++i) {
      EXPECT_EQ(layout[i - 1].first + layout[i - 1].second, layout[i].first) << length;
    }
    EXPECT_LT(g.Mft.Lcn + g.Mft.Clusters, g.ManagedClusters) << length;
    EXPECT_GE(g.BitmapBytes * 8, g.ManagedClusters);
    EXPECT_EQ(0u, g.BitmapBytes % 8);
  }
}

TEST(NtfsGeometry, ClusterBitmapMarksRunsAndTheTail) {
  NtfsGeometry g = GeometryFor(5 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, NtfsAllocateClusterBitmap(&g));
  // 1279 clusters: bits 1279 (byte 159 bit 7) is past the end.
  EXPECT_EQ(0x80, g.ClusterBitmap[159]);
  EXPECT_EQ(0x00, g.ClusterBitmap[158]);
  NtfsMarkClusters(&g, 3, 14);  // bits 3..16
  EXPECT_EQ(0xF8, g.ClusterBitmap[0]);
  EXPECT_EQ(0xFF, g.ClusterBitmap[1]);
  EXPECT_EQ(0x01, g.ClusterBitmap[2]);
  NtfsMarkClusters(&g, 1270, 100);  // clipped at the bitmap's end
  EXPECT_EQ(0xC0, g.ClusterBitmap[158]);
  EXPECT_EQ(0xFF, g.ClusterBitmap[159]);
  NtfsFreeClusterBitmap(&g);
  EXPECT_EQ(nullptr, g.ClusterBitmap);
  EXPECT_EQ(0u, bw::PoolBytesWithTag(FORMAT_POOL_TAG));
}

}  // namespace
