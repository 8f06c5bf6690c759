// Volumes presented as hard disks: the bus makes a child disk, the system's
// disk class driver reads the partition table the engine wrote, its
// partition gets the volume's letters, and every byte lands in the store at
// the partition's offset. Unmount takes the partitions, the disk and the
// child down and leaves nothing behind.
#include "engine/tests/volume_fixture.h"

#include "bw/pnp.h"

#include <ntdddisk.h>

#include <fstream>

namespace enginetest {
namespace {

constexpr ULONGLONG kMiB = 1ull << 20;
constexpr uint32_t kDiskFlags = ENGINE_MOUNT_MEMORY | ENGINE_MOUNT_DISK_EMULATION | ENGINE_MOUNT_BUS_NEW_PARTITION_TABLE;

Record LinkRecord(uint64_t handle, uint32_t operation, char16_t letter, int32_t partition,
                  const std::u16string &additional = u"") {
  Record r(80);
  r.Put<uint16_t>(0, letter).Put<uint32_t>(11, operation).Put<uint64_t>(15, handle).Put<int32_t>(23, partition);
  r.Put<uint8_t>(27, static_cast<uint8_t>(additional.size()));
  for (size_t i = 0; i < additional.size(); ++i) r.Put<uint16_t>(28 + 2 * i, additional[i]);
  return r;
}

class DiskEmulation : public VolumeFixture {
 protected:
  NTSTATUS Link(uint64_t handle, uint32_t operation, char16_t letter, int32_t partition = -1,
                const std::u16string &additional = u"") {
    return Control(IOCTL_ENGINE_LINK, LinkRecord(handle, operation, letter, partition, additional), 0).status;
  }

  NTSTATUS Open(const std::u16string &path, HANDLE *handle, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE) {
    UNICODE_STRING name = View(path.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    return ZwCreateFile(handle, access | SYNCHRONIZE, &attributes, &iosb, nullptr, 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  }

  std::vector<uint8_t> ReadAt(HANDLE device, LONGLONG offset, ULONG length) {
    std::vector<uint8_t> data(length);
    ULONG_PTR bytes = 0;
    EXPECT_STATUS(STATUS_SUCCESS, Transfer(device, false, data.data(), length, offset, &bytes));
    EXPECT_EQ(length, bytes);
    return data;
  }

  static std::u16string LinkTarget(const std::u16string &link) {
    UNICODE_STRING name = View(link.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle;
    if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&handle, SYMBOL_LINK_QUERY_ACCESS, &attributes))) return u"";
    char16_t buffer[256];
    UNICODE_STRING target{0, sizeof(buffer), buffer};
    ULONG needed = 0;
    NTSTATUS status = ZwQuerySymbolicLinkObject(handle, &target, &needed);
    ZwClose(handle);
    return NT_SUCCESS(status) ? Text(&target) : u"";
  }
  static constexpr ACCESS_MASK SYMBOL_LINK_QUERY_ACCESS = 0x0001;
};

TEST_F(DiskEmulation, AFreshDiskHasTheEnginesTableAndItsPartitionTakesTheLetter) {
  Reply made = CreateMemory(ENGINE_ALGORITHM_NULL, kDiskFlags, 64 * kMiB, ENGINE_FS_FAT32);
  ASSERT_STATUS(STATUS_SUCCESS, made.status) << bw::DescribeDevNodes();
  ASSERT_TRUE(bw::WaitForPnpIdle());

  // The whole disk: the engine's partition table, one FAT32 partition from the second sector.
  HANDLE disk = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(u"\\??\\PhysicalDrive0", &disk, GENERIC_READ));
  std::vector<uint8_t> mbr = ReadAt(disk, 0, 512);
  EXPECT_EQ(0x55, mbr[510]);
  EXPECT_EQ(0xAA, mbr[511]);
  EXPECT_EQ(0x07, mbr[446 + 4]);
  uint32_t first = 0, count = 0;
  std::memcpy(&first, &mbr[446 + 8], 4);
  std::memcpy(&count, &mbr[446 + 12], 4);
  EXPECT_EQ(1u, first);
  EXPECT_EQ(64 * kMiB / 512 - 1, count);
  std::vector<uint8_t> boot = ReadAt(disk, 512, 512);
  EXPECT_EQ(0, std::memcmp(&boot[82], "FAT32   ", 8));

  // The system's own letter made way; the volume's letters go to its partition.
  ASSERT_STATUS(STATUS_SUCCESS, Link(made.handle, ENGINE_LINK_CREATE, u'R'));
  EXPECT_EQ(u"\\Device\\HarddiskVolume1", LinkTarget(u"\\GLOBAL??\\R:"));

  // Bytes written through the letter are in the disk one sector further on.
  HANDLE partition = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(u"\\??\\R:", &partition));
  std::vector<uint8_t> data = Pattern(64 * 1024, 7);
  ULONG_PTR bytes = 0;
  EXPECT_STATUS(STATUS_SUCCESS, Transfer(partition, true, data.data(), 64 * 1024, 8 * kMiB, &bytes));
  EXPECT_EQ(data, ReadAt(disk, 8 * kMiB + 512, 64 * 1024));
  EXPECT_EQ(data, ReadAt(partition, 8 * kMiB, 64 * 1024));
  ZwClose(partition);
  ZwClose(disk);

  ASSERT_STATUS(STATUS_SUCCESS, Link(made.handle, ENGINE_LINK_DELETE, 0));
  EXPECT_EQ(u"", LinkTarget(u"\\GLOBAL??\\R:"));
  ASSERT_STATUS(STATUS_SUCCESS, Unmount(made.handle, 0, 0));
  WaitForVolumeCount(0);
  ASSERT_TRUE(bw::WaitForPnpIdle());
  EXPECT_EQ(u"", LinkTarget(u"\\GLOBAL??\\PhysicalDrive0"));
  EXPECT_FALSE(bw::ObjectExists(u"\\Device\\HarddiskVolume1"));
}

// An MBR with two primary partitions of type 6: 8 MiB from 1 MiB, and the
// rest of the disk after it.
std::vector<uint8_t> TwoPartitionTable(ULONGLONG diskBytes) {
  std::vector<uint8_t> sector(512);
  auto entry = [&](int index, uint32_t first, uint32_t count) {
    uint8_t *e = &sector[446 + 16 * index];
    e[4] = 0x06;
    std::memcpy(e + 8, &first, 4);
    std::memcpy(e + 12, &count, 4);
  };
  uint32_t total = static_cast<uint32_t>(diskBytes / 512);
  entry(0, 2048, 16384);
  entry(1, 2048 + 16384, total - 2048 - 16384);
  uint32_t signature = 0x5EED1234;
  std::memcpy(&sector[440], &signature, 4);
  sector[510] = 0x55;
  sector[511] = 0xAA;
  return sector;
}

TEST_F(DiskEmulation, AnImageKeepsItsTableAndItsPartitionsTakeTheLettersInOrder) {
  std::string path = root_ + "/two.img";
  std::vector<uint8_t> table = TwoPartitionTable(32 * kMiB);
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char *>(table.data()), 512);
    std::vector<char> rest(32 * kMiB - 512);
    out.write(rest.data(), static_cast<std::streamsize>(rest.size()));
  }
  Reply made = CreateMemory(ENGINE_ALGORITHM_NULL,
                            ENGINE_MOUNT_MEMORY | ENGINE_MOUNT_DISK_EMULATION | ENGINE_MOUNT_RAW_IMAGE |
                                ENGINE_MOUNT_LISTED_PARTITION_LETTERS,
                            0, ENGINE_FS_RAW, NtPath(path));
  ASSERT_STATUS(STATUS_SUCCESS, made.status);
  ASSERT_TRUE(bw::WaitForPnpIdle());
  HANDLE disk = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(u"\\??\\PhysicalDrive0", &disk, GENERIC_READ));
  EXPECT_EQ(table, ReadAt(disk, 0, 512));
  ZwClose(disk);
  // The letters the system gave on its own (after the system drive C:)
  // are gone.
  EXPECT_EQ(u"", LinkTarget(u"\\GLOBAL??\\D:"));
  EXPECT_EQ(u"", LinkTarget(u"\\GLOBAL??\\E:"));

  // The first partition takes the letter, the next one the additional letter.
  ASSERT_STATUS(STATUS_SUCCESS, Link(made.handle, ENGINE_LINK_CREATE, u's', -1, u"t"));
  EXPECT_EQ(u"\\Device\\HarddiskVolume1", LinkTarget(u"\\GLOBAL??\\S:"));
  EXPECT_EQ(u"\\Device\\HarddiskVolume2", LinkTarget(u"\\GLOBAL??\\T:"));
  bw::IoResult info = Control(IOCTL_ENGINE_QUERY_VOLUME, Record(8).Put<uint64_t>(0, made.handle), 100);
  ASSERT_STATUS(STATUS_SUCCESS, info.status);
  VolumeInfoReply reply = {};
  std::memcpy(&reply, info.output.data(), sizeof(reply));
  EXPECT_EQ(u'S', reply.DriveLetter);
  EXPECT_EQ(1u, reply.AdditionalLetterCount);
  EXPECT_TRUE(reply.StateFlags & ENGINE_VOLUME_STATE_DISK_EMULATION);

  // Removing partition 2's letter leaves partition 1's.
  ASSERT_STATUS(STATUS_SUCCESS, Link(made.handle, ENGINE_LINK_DELETE, 0, 2));
  EXPECT_EQ(u"\\Device\\HarddiskVolume1", LinkTarget(u"\\GLOBAL??\\S:"));
  EXPECT_EQ(u"", LinkTarget(u"\\GLOBAL??\\T:"));

  // Only the listed partition gets a letter; the other loses its own.
  ASSERT_STATUS(STATUS_SUCCESS, Link(made.handle, ENGINE_LINK_DELETE, 0));
  ASSERT_STATUS(STATUS_SUCCESS, Link(made.handle, ENGINE_LINK_CREATE, u'U', 2));
  EXPECT_EQ(u"\\Device\\HarddiskVolume2", LinkTarget(u"\\GLOBAL??\\U:"));
  EXPECT_EQ(u"", LinkTarget(u"\\GLOBAL??\\S:"));
  ASSERT_STATUS(STATUS_SUCCESS, Link(made.handle, ENGINE_LINK_DELETE, 0));
  ASSERT_STATUS(STATUS_SUCCESS, Unmount(made.handle, 0, 0));
  WaitForVolumeCount(0);
}

// Length bytes of a host file at Offset.
std::vector<uint8_t> FileBytes(const std::string &path, size_t offset, size_t length) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(length);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(length));
  return bytes;
}

TEST_F(DiskEmulation, SleepSavesTheImageOnlyWhenTheVolumeAsksForIt) {
  constexpr size_t kHeaderBlock = 4096;
  std::string image = root_ + "/sleep.img";
  ASSERT_STATUS(STATUS_SUCCESS, CreateImageFile(image, ENGINE_ALGORITHM_NULL, u"", 8 * kMiB, ENGINE_FS_RAW));
  Reply made = CreateMemory(0, kDiskFlags, 0, 0, NtPath(image));
  ASSERT_STATUS(STATUS_SUCCESS, made.status);
  ASSERT_TRUE(bw::WaitForPnpIdle());
  // The partition table the engine had the disk write is in memory only.
  const std::vector<uint8_t> signature = {0x55, 0xAA};
  EXPECT_NE(signature, FileBytes(image, kHeaderBlock + 510, 2));

  auto setProperties = [&](uint32_t bits) {
    Record r(16);
    r.Put<uint64_t>(0, made.handle).Put<uint32_t>(8, bits).Put<uint32_t>(12, ~bits);
    return Control(IOCTL_ENGINE_SET_PROPERTIES, r, 0).status;
  };
  // Saving at shutdown alone does not save when the system sleeps.
  ASSERT_STATUS(STATUS_SUCCESS, setProperties(ENGINE_PROPERTY_SAVE_AT_SHUTDOWN));
  ASSERT_STATUS(STATUS_SUCCESS, bw::SetSystemPowerState(PowerSystemSleeping3));
  ASSERT_STATUS(STATUS_SUCCESS, bw::SetSystemPowerState(PowerSystemWorking));
  EXPECT_NE(signature, FileBytes(image, kHeaderBlock + 510, 2));
  // Asked for both, the sleep saves the image.
  ASSERT_STATUS(STATUS_SUCCESS, setProperties(ENGINE_PROPERTY_SAVE_AT_SHUTDOWN | ENGINE_PROPERTY_SAVE_AT_SLEEP));
  ASSERT_STATUS(STATUS_SUCCESS, bw::SetSystemPowerState(PowerSystemSleeping3));
  ASSERT_STATUS(STATUS_SUCCESS, bw::SetSystemPowerState(PowerSystemWorking));
  EXPECT_EQ(signature, FileBytes(image, kHeaderBlock + 510, 2));
  ASSERT_STATUS(STATUS_SUCCESS, Unmount(made.handle, 1, 0));
  WaitForVolumeCount(0);
}

}  // namespace
}  // namespace enginetest
