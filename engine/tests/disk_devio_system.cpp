// A RAM disk presented as a hard disk, as a user's script reaches it:
// ramvold with the drivers, devio from separate processes. The disk's
// partition table is read through \\.\PhysicalDrive0, and Unmount takes
// the disk away again.
#include "engine/tests/devio_client.h"

namespace bw::test {
namespace {

TEST(DiskDevioSystemTest, ADiskEmulatingVolumeShowsItsPartitionTableThroughThePhysicalDrive) {
  Daemon daemon;
  ASSERT_TRUE(daemon.Start({"--load-drivers"})) << daemon.Output();

  CreateMemoryVolumeRequest memory = {};
  memory.AlgorithmId = ENGINE_ALGORITHM_NULL;
  memory.VolumeSize = 64ull << 20;
  memory.MountFlags = ENGINE_MOUNT_MEMORY | ENGINE_MOUNT_DISK_EMULATION | ENGINE_MOUNT_BUS_NEW_PARTITION_TABLE;
  memory.FileSystem = ENGINE_FS_FAT32;
  uint64_t handle = MountedHandle(
      Control(daemon, IOCTL_ENGINE_CREATE_MEMORY_VOLUME, Join(Bytes(memory), {}, 2), sizeof(MountResult)));
  ASSERT_NE(0u, handle);

  const std::string drive = "'\\\\.\\PhysicalDrive0' ";
  std::string read = Devio(daemon, drive + "--read 0 512");
  ASSERT_EQ(0u, read.find("status=0x00000000 information=512")) << read;
  std::vector<uint8_t> mbr = FromHex(read.substr(read.find('\n') + 1));
  ASSERT_EQ(512u, mbr.size());
  EXPECT_EQ(0x55, mbr[510]);
  EXPECT_EQ(0xAA, mbr[511]);
  EXPECT_EQ(0x07, mbr[446 + 4]);  // one partition of type 7 ...
  EXPECT_EQ(1, mbr[446 + 8]);     // ... from the second sector

  UnmountRequest unmount = {};
  unmount.VolumeHandle = handle;
  EXPECT_EQ("status=0x00000000 information=0", Control(daemon, IOCTL_ENGINE_UNMOUNT, Bytes(unmount), 0).status);
  int exitCode = 0;
  std::string gone;
  for (int i = 0; i < 100; ++i) {
    gone = Devio(daemon, drive + "--read 0 512", &exitCode);
    if (exitCode != 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_NE(0, exitCode) << gone;
  EXPECT_EQ(0, daemon.Stop());
}

}  // namespace
}  // namespace bw::test
