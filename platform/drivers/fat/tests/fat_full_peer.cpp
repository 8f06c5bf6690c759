// A FAT volume filled to its last cluster through the driver: writes end
// with STATUS_DISK_FULL and change nothing, the free space the driver
// reports is exact before and after, and fsck.fat finds the volume clean
// and counts the same clusters.
#include "platform/drivers/fat/tests/fat_peer_fixture.h"

#include <regex>

namespace bw::test {
namespace {

class FatFullVolumeTest : public FatPeerTest {
 protected:
  struct Space {
    LONGLONG total = 0, free = 0;
    ULONG clusterSize = 0;
  };
  Space Size(HANDLE any) {
    FILE_FS_SIZE_INFORMATION info{};
    IO_STATUS_BLOCK iosb;
    EXPECT_STATUS(STATUS_SUCCESS, ZwQueryVolumeInformationFile(any, &iosb, &info, sizeof info, FileFsSizeInformation));
    return {info.TotalAllocationUnits.QuadPart, info.AvailableAllocationUnits.QuadPart,
            info.SectorsPerAllocationUnit * info.BytesPerSector};
  }
  static LONGLONG EndOf(HANDLE h) {
    FILE_STANDARD_INFORMATION info{};
    IO_STATUS_BLOCK iosb;
    EXPECT_STATUS(STATUS_SUCCESS, ZwQueryInformationFile(h, &iosb, &info, sizeof info, FileStandardInformation));
    return info.EndOfFile.QuadPart;
  }
  static NTSTATUS SetEnd(HANDLE h, LONGLONG size) {
    FILE_END_OF_FILE_INFORMATION eof{};
    eof.EndOfFile.QuadPart = size;
    IO_STATUS_BLOCK iosb;
    return ZwSetInformationFile(h, &iosb, &eof, sizeof eof, FileEndOfFileInformation);
  }

  // fsck.fat's count of used and total clusters of the saved image.
  std::pair<LONGLONG, LONGLONG> FsckClusters() {
    CommandResult r = RunCommand(fsck_ + " -n " + ShellQuote(imagePath_));
    static const std::regex summary(R"(: \d+ files, (\d+)/(\d+) clusters)");
    std::smatch m;
    if (!std::regex_search(r.output, m, summary)) {
      ADD_FAILURE() << r.output;
      return {-1, -1};
    }
    return {std::stoll(m[1]), std::stoll(m[2])};
  }
};

TEST_P(FatFullVolumeTest, FillsToTheLastClusterAndCountsFreeSpaceExactly) {
  BW_REQUIRE_FAT_PEERS();
  LoadImage(MkfsImage());
  auto [usedAtStart, clusters] = FsckClusters();
  HANDLE small = nullptr, filler = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\small.txt", &small));
  Space space = Size(small);
  EXPECT_EQ(clusters, space.total);
  EXPECT_EQ(clusters - usedAtStart, space.free);
  ASSERT_STATUS(STATUS_SUCCESS, Write(small, "small"));
  EXPECT_EQ(space.free - 1, Size(small).free);

  // Large writes, then single clusters, until the volume has none left; a
  // write that does not fit changes neither the file nor the free space.
  ASSERT_STATUS(STATUS_SUCCESS, Create(u"\\filler.bin", &filler));
  LONGLONG at = 0;
  for (ULONG piece : {1u << 20, 64u << 10, space.clusterSize}) {
    std::string data(piece, 'f');
    for (;;) {
      NTSTATUS s = Write(filler, data, at);
      if (s == STATUS_DISK_FULL) break;
      ASSERT_STATUS(STATUS_SUCCESS, s);
      at += piece;
    }
    EXPECT_EQ(at, EndOf(filler));
    if (piece == space.clusterSize) break;
  }
  EXPECT_EQ(0, Size(filler).free);
  const LONGLONG fillerClusters = at / space.clusterSize;
  EXPECT_EQ(space.free - 1, fillerClusters);
  // The last byte of the last cluster still takes a write; one past it not.
  ASSERT_STATUS(STATUS_SUCCESS, Write(filler, "x", at - 1));
  EXPECT_STATUS(STATUS_DISK_FULL, Write(filler, "x", at));
  EXPECT_EQ(at, EndOf(filler));

  // Growing by end of file is refused the same way; the file keeps its
  // size and bytes. A size FAT cannot hold is too large, not too much.
  EXPECT_STATUS(STATUS_DISK_FULL, SetEnd(small, space.clusterSize + 1));
  EXPECT_STATUS(STATUS_FILE_TOO_LARGE, SetEnd(small, 0x100000000ll));
  EXPECT_STATUS(STATUS_FILE_TOO_LARGE, Write(small, "xy", 0xFFFFFFFEll));
  EXPECT_EQ(5, EndOf(small));
  EXPECT_EQ("small", Read(small, 100));
  EXPECT_EQ(0, Size(small).free);
  // Within the cluster it has, it may still grow.
  ASSERT_STATUS(STATUS_SUCCESS, SetEnd(small, space.clusterSize));
  EXPECT_EQ(0, Size(small).free);
  // A new folder needs a cluster: refused, and no entry is left.
  HANDLE folder = nullptr;
  EXPECT_STATUS(STATUS_DISK_FULL, Create(u"\\folder", &folder, FILE_DIRECTORY_FILE));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenFile(u"\\folder", GENERIC_READ, kShareAll, FILE_OPEN, 0, &folder));
  ZwClose(small);

  SaveVolume(GetParam().bytes);
  ExpectFsckClean("full");
  EXPECT_EQ(std::make_pair(clusters, clusters), FsckClusters());

  // Deleting the filler gives back exactly its clusters.
  FILE_DISPOSITION_INFORMATION doomed{TRUE};
  IO_STATUS_BLOCK iosb;
  ASSERT_STATUS(STATUS_SUCCESS, ZwSetInformationFile(filler, &iosb, &doomed, sizeof doomed, FileDispositionInformation));
  ZwClose(filler);
  HANDLE volume = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, OpenFile(u"\\", GENERIC_READ, kShareAll, FILE_OPEN, FILE_DIRECTORY_FILE, &volume));
  EXPECT_EQ(fillerClusters, Size(volume).free);
  ZwClose(volume);
  SaveVolume(GetParam().bytes);
  ExpectFsckClean("after the delete");
  EXPECT_EQ(std::make_pair(clusters - fillerClusters, clusters), FsckClusters());
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatFullVolumeTest, ::testing::ValuesIn(kFatKinds), KindName);

}  // namespace
}  // namespace bw::test
