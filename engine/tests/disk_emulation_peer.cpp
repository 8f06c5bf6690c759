// A disk-emulated FAT32 volume as outside tools see it: the partition table
// the engine wrote, read back through \??\PhysicalDrive0, is what sfdisk
// reads, and the partition's bytes, read through the partition volume that
// took the volume's letter, are a FAT32 file system fsck.fat finds clean.
#include "engine/format/tests/support/peer_support.h"
#include "engine/tests/volume_fixture.h"

#include "bw/pnp.h"

namespace enginetest {
namespace {

using bw::test::CommandResult;
using bw::test::FindTool;
using bw::test::FsckClean;
using bw::test::RunCommand;
using bw::test::ShellQuote;

constexpr ULONGLONG kMiB = 1ull << 20;
constexpr ULONGLONG kDiskSize = 256 * kMiB;

class DiskEmulationPeer : public VolumeFixture {
 protected:
  NTSTATUS Link(uint64_t handle, char16_t letter) {
    Record r(80);
    r.Put<uint16_t>(0, letter).Put<uint32_t>(11, ENGINE_LINK_CREATE).Put<uint64_t>(15, handle);
    r.Put<int32_t>(23, ENGINE_ALL_PARTITIONS);
    return Control(IOCTL_ENGINE_LINK, r, 0).status;
  }
  NTSTATUS Open(const char16_t *path, HANDLE *handle) {
    UNICODE_STRING name = View(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    return ZwCreateFile(handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  }
};

TEST_F(DiskEmulationPeer, TheTableAndThePartitionAreWhatTheToolsExpect) {
  std::string sfdisk = FindTool("sfdisk"), fsck = FindTool("fsck.fat");
  BW_REQUIRE_PEER_TOOL(sfdisk, "sfdisk", "fdisk");
  BW_REQUIRE_PEER_TOOL(fsck, "fsck.fat", "dosfstools");
  Reply made = CreateMemory(ENGINE_ALGORITHM_NULL,
                            ENGINE_MOUNT_MEMORY | ENGINE_MOUNT_DISK_EMULATION | ENGINE_MOUNT_BUS_NEW_PARTITION_TABLE,
                            kDiskSize, ENGINE_FS_FAT32);
  ASSERT_STATUS(STATUS_SUCCESS, made.status);
  ASSERT_TRUE(bw::WaitForPnpIdle());
  bw::test::TempFolder folder;

  HANDLE disk = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(u"\\??\\PhysicalDrive0", &disk));
  std::vector<uint8_t> mbr(512);
  ASSERT_STATUS(STATUS_SUCCESS, Transfer(disk, false, mbr.data(), 512, 0));
  std::string copy = folder.File("disk.img");
  ASSERT_TRUE(bw::test::MakeSparseFile(copy, kDiskSize));
  ASSERT_TRUE(bw::test::WriteHostBytes(copy, 0, mbr));
  CommandResult dump = RunCommand(sfdisk + " --dump " + ShellQuote(copy));
  EXPECT_EQ(0, dump.exitCode) << dump.output;
  EXPECT_NE(std::string::npos, dump.output.find("label: dos")) << dump.output;
  EXPECT_NE(std::string::npos, dump.output.find("start=           1, size=      524287, type=7")) << dump.output;

  ASSERT_STATUS(STATUS_SUCCESS, Link(made.handle, u'R'));
  HANDLE partition = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(u"\\??\\R:", &partition));
  std::vector<uint8_t> bytes(kDiskSize - 512);
  constexpr ULONG kChunk = 8 * kMiB;
  for (ULONGLONG at = 0; at < bytes.size(); at += kChunk) {
    ULONG length = static_cast<ULONG>(std::min<ULONGLONG>(kChunk, bytes.size() - at));
    ASSERT_STATUS(STATUS_SUCCESS, Transfer(partition, false, bytes.data() + at, length, static_cast<LONGLONG>(at)));
  }
  ZwClose(partition);
  ZwClose(disk);
  std::string image = folder.File("partition.img");
  ASSERT_TRUE(bw::test::WriteHostFile(image, bytes));
  CommandResult check = RunCommand(fsck + " -n " + ShellQuote(image));
  EXPECT_TRUE(FsckClean(check)) << check.output;
  EXPECT_EQ(0, std::memcmp(&bytes[82], "FAT32   ", 8));
}

}  // namespace
}  // namespace enginetest
