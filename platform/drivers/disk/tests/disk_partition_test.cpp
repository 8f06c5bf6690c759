// Partitions of the test port's disks as volumes: their devices, names and
// answers, I/O at their offsets, a new table and its re-enumeration, the
// mount manager's letters, and removal with the disk.
#include "platform/drivers/disk/tests/disk_fixture.h"

#include <mountmgr.h>
#include <ntddstor.h>

namespace bw::test {
namespace {

constexpr ULONG64 kMiB = 1ull << 20;
const std::u16string kVolume1 = u"\\Device\\HarddiskVolume1";
const std::u16string kVolume2 = u"\\Device\\HarddiskVolume2";

// The MountedDevices values holding `id`, by name.
std::vector<std::u16string> DatabaseNamesOf(const Bytes &id) {
  std::vector<std::u16string> names;
  UNICODE_STRING path = RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System\\MountedDevices");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return names;
  std::vector<uint8_t> buffer(1024);
  ULONG needed = 0;
  for (ULONG i = 0; NT_SUCCESS(ZwEnumerateValueKey(key, i, KeyValueFullInformation, buffer.data(),
                                                   static_cast<ULONG>(buffer.size()), &needed));
       ++i) {
    auto *info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
    Bytes data(buffer.data() + info->DataOffset, buffer.data() + info->DataOffset + info->DataLength);
    if (data == id) names.emplace_back(info->Name, info->NameLength / 2);
  }
  ZwClose(key);
  return names;
}

Bytes UniqueIdOf(ULONG signature, ULONG64 offset) {
  Bytes id(12);
  memcpy(id.data(), &signature, 4);
  memcpy(id.data() + 4, &offset, 8);
  return id;
}

class PartitionTest : public DiskTest {};

TEST_F(PartitionTest, EachUsedPartitionIsAVolumeWithItsNamesAndAnswers) {
  AddDisk(64 * kMiB);
  SetLayout(0, Layout(0xA1B2C3D4, {{kMiB, 16 * kMiB, PARTITION_IFS}, {32 * kMiB, 8 * kMiB, PARTITION_FAT32}}));
  EXPECT_EQ(kVolume1, LinkTarget(u"\\Device\\Harddisk0\\Partition1"));
  EXPECT_EQ(kVolume2, LinkTarget(u"\\Device\\Harddisk0\\Partition2"));

  auto number = Ask<STORAGE_DEVICE_NUMBER>(kVolume2, IOCTL_STORAGE_GET_DEVICE_NUMBER);
  EXPECT_EQ(ULONG(FILE_DEVICE_DISK), number.DeviceType);
  EXPECT_EQ(0u, number.DeviceNumber);
  EXPECT_EQ(2u, number.PartitionNumber);
  auto info = Ask<PARTITION_INFORMATION_EX>(kVolume2, IOCTL_DISK_GET_PARTITION_INFO_EX);
  EXPECT_EQ(LONGLONG(32 * kMiB), info.StartingOffset.QuadPart);
  EXPECT_EQ(LONGLONG(8 * kMiB), info.PartitionLength.QuadPart);
  EXPECT_EQ(PARTITION_FAT32, info.Mbr.PartitionType);
  EXPECT_TRUE(info.Mbr.RecognizedPartition);
  auto length = Ask<GET_LENGTH_INFORMATION>(kVolume2, IOCTL_DISK_GET_LENGTH_INFO);
  EXPECT_EQ(LONGLONG(8 * kMiB), length.Length.QuadPart);
  auto extents = Ask<VOLUME_DISK_EXTENTS>(kVolume2, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS);
  EXPECT_EQ(1u, extents.NumberOfDiskExtents);
  EXPECT_EQ(0u, extents.Extents[0].DiskNumber);
  EXPECT_EQ(LONGLONG(32 * kMiB), extents.Extents[0].StartingOffset.QuadPart);
  // Geometry is the disk's.
  auto geometry = Ask<DISK_GEOMETRY>(kVolume2, IOCTL_DISK_GET_DRIVE_GEOMETRY);
  EXPECT_EQ(512u, geometry.BytesPerSector);

  // The mount manager's questions: its name, and signature + offset.
  Reply name = Send(kVolume2, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, {}, 256);
  ASSERT_STATUS(STATUS_SUCCESS, name.status);
  auto *mountName = reinterpret_cast<PMOUNTDEV_NAME>(name.output.data());
  EXPECT_EQ(kVolume2, std::u16string(mountName->Name, mountName->NameLength / 2));
  Reply id = Send(kVolume2, IOCTL_MOUNTDEV_QUERY_UNIQUE_ID, {}, 256);
  ASSERT_STATUS(STATUS_SUCCESS, id.status);
  auto *unique = reinterpret_cast<PMOUNTDEV_UNIQUE_ID>(id.output.data());
  EXPECT_EQ(UniqueIdOf(0xA1B2C3D4, 32 * kMiB), Bytes(unique->UniqueId, unique->UniqueId + unique->UniqueIdLength));
  Reply small = Send(kVolume2, IOCTL_MOUNTDEV_QUERY_UNIQUE_ID, {}, sizeof(MOUNTDEV_UNIQUE_ID));
  EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, small.status);
  EXPECT_NE(STATUS_SUCCESS, Send(kVolume2, IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME, {}, 256).status);

  // Online and offline as asked.
  EXPECT_STATUS(STATUS_UNSUCCESSFUL, Send(kVolume1, IOCTL_VOLUME_IS_OFFLINE, {}, 0).status);
  EXPECT_STATUS(STATUS_SUCCESS, Send(kVolume1, IOCTL_VOLUME_OFFLINE, {}, 0).status);
  EXPECT_STATUS(STATUS_SUCCESS, Send(kVolume1, IOCTL_VOLUME_IS_OFFLINE, {}, 0).status);
  EXPECT_STATUS(STATUS_SUCCESS, Send(kVolume1, IOCTL_VOLUME_ONLINE, {}, 0).status);

  // The layout as the disk reports it.
  Reply layout = Send(u"\\??\\PhysicalDrive0", IOCTL_DISK_GET_DRIVE_LAYOUT_EX, {}, 4096);
  ASSERT_STATUS(STATUS_SUCCESS, layout.status);
  auto *drive = reinterpret_cast<PDRIVE_LAYOUT_INFORMATION_EX>(layout.output.data());
  EXPECT_EQ(ULONG(PARTITION_STYLE_MBR), drive->PartitionStyle);
  EXPECT_EQ(0xA1B2C3D4u, drive->Mbr.Signature);
  EXPECT_EQ(4u, drive->PartitionCount);
  EXPECT_EQ(2u, drive->PartitionEntry[1].PartitionNumber);
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, Send(u"\\??\\PhysicalDrive0", IOCTL_DISK_GET_DRIVE_LAYOUT_EX, {}, 100).status);
}

TEST_F(PartitionTest, PartitionReadsAndWritesLandAtTheirDiskOffsets) {
  AddDisk(64 * kMiB, 512, 64 * 1024);
  SetLayout(0, Layout(1, {{kMiB, 16 * kMiB, PARTITION_IFS}, {32 * kMiB, 8 * kMiB, PARTITION_IFS}}));
  Bytes first = Pattern(128 * 1024, 1), second = Pattern(4096, 2);
  WriteBytes(kVolume1, 4096, first);
  WriteBytes(kVolume2, 8 * kMiB - 4096, second);  // its last sectors
  EXPECT_EQ(first, ReadBytes(u"\\??\\PhysicalDrive0", kMiB + 4096, first.size()));
  EXPECT_EQ(second, ReadBytes(u"\\??\\PhysicalDrive0", 40 * kMiB - 4096, second.size()));
  EXPECT_EQ(first, ReadBytes(u"\\Device\\Harddisk0\\Partition1", 4096, first.size()));
  // Nothing beyond a partition's end, even where the disk goes on.
  Bytes past(1024);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Transfer(kVolume2, true, 8 * kMiB - 512, &past));
  EXPECT_EQ(Bytes(512), ReadBytes(u"\\??\\PhysicalDrive0", 40 * kMiB, 512));
}

TEST_F(PartitionTest, ANewTableKeepsUnmovedPartitionsAndReplacesTheRest) {
  AddDisk(64 * kMiB);
  SetLayout(0, Layout(7, {{kMiB, 8 * kMiB, PARTITION_IFS}, {16 * kMiB, 8 * kMiB, PARTITION_IFS}}));
  PFILE_OBJECT file;
  PDEVICE_OBJECT before;
  UNICODE_STRING name = View(kVolume1);
  ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &before));
  ObDereferenceObject(file);

  // The first partition goes; the second keeps its place and becomes number 1.
  SetLayout(0, Layout(7, {{16 * kMiB, 8 * kMiB, PARTITION_IFS}, {32 * kMiB, 4 * kMiB, PARTITION_IFS}}));
  EXPECT_FALSE(Exists(kVolume1));
  EXPECT_EQ(kVolume2, LinkTarget(u"\\Device\\Harddisk0\\Partition1"));
  EXPECT_EQ(u"\\Device\\HarddiskVolume3", LinkTarget(u"\\Device\\Harddisk0\\Partition2"));
  EXPECT_EQ(1u, Ask<STORAGE_DEVICE_NUMBER>(kVolume2, IOCTL_STORAGE_GET_DEVICE_NUMBER).PartitionNumber);

  // An empty table: no volumes left; numbers are never given twice.
  SetLayout(0, Layout(7, {}));
  EXPECT_FALSE(Exists(kVolume2));
  EXPECT_TRUE(LinkTarget(u"\\Device\\Harddisk0\\Partition1").empty());
  SetLayout(0, Layout(7, {{kMiB, 8 * kMiB, PARTITION_IFS}}));
  EXPECT_EQ(u"\\Device\\HarddiskVolume4", LinkTarget(u"\\Device\\Harddisk0\\Partition1"));
}

TEST_F(PartitionTest, LogicalPartitionsAreVolumesToo) {
  AddDisk(64 * kMiB);
  SetLayout(0, Layout(9, {{kMiB, 8 * kMiB, PARTITION_IFS},
                          {16 * kMiB, 32 * kMiB, PARTITION_EXTENDED},
                          {},
                          {},
                          {16 * kMiB + 512, 4 * kMiB, PARTITION_FAT_16},
                          {24 * kMiB, 8 * kMiB, PARTITION_EXTENDED},
                          {},
                          {},
                          {24 * kMiB + 512, 4 * kMiB, PARTITION_IFS}}));
  EXPECT_EQ(kVolume1, LinkTarget(u"\\Device\\Harddisk0\\Partition1"));
  EXPECT_EQ(kVolume2, LinkTarget(u"\\Device\\Harddisk0\\Partition2"));
  EXPECT_EQ(u"\\Device\\HarddiskVolume3", LinkTarget(u"\\Device\\Harddisk0\\Partition3"));
  auto extents = Ask<VOLUME_DISK_EXTENTS>(u"\\Device\\HarddiskVolume3", IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS);
  EXPECT_EQ(LONGLONG(24 * kMiB + 512), extents.Extents[0].StartingOffset.QuadPart);
}

TEST_F(PartitionTest, TheMountManagerLettersArrivingPartitionsAndDropsTheLinkOnRemoval) {
  ULONG ordinal = AddDisk(64 * kMiB);
  SetLayout(0, Layout(0x5EED, {{kMiB, 16 * kMiB, PARTITION_IFS}}));
  // The first free letter: C: is the system drive.
  EXPECT_EQ(kVolume1, LinkTarget(u"\\GLOBAL??\\D:"));
  EXPECT_EQ(u"\\Device\\HostSystemDrive", LinkTarget(u"\\GLOBAL??\\C:"));
  std::vector<std::u16string> names = DatabaseNamesOf(UniqueIdOf(0x5EED, kMiB));
  EXPECT_EQ(2u, names.size());  // the letter and the volume name

  // Through the letter, as a program opens "\\.\D:".
  Bytes data = Pattern(4096, 5);
  WriteBytes(u"\\??\\D:", 0, data);
  EXPECT_EQ(data, ReadBytes(u"\\??\\PhysicalDrive0", kMiB, data.size()));

  // The partition leaves the table: its letter goes, the database keeps it
  // for the partition's return.
  SetLayout(0, Layout(0x5EED, {}));
  EXPECT_TRUE(LinkTarget(u"\\GLOBAL??\\D:").empty());
  EXPECT_EQ(2u, DatabaseNamesOf(UniqueIdOf(0x5EED, kMiB)).size());
  SetLayout(0, Layout(0x5EED, {{kMiB, 16 * kMiB, PARTITION_IFS}}));
  EXPECT_EQ(kVolume2, LinkTarget(u"\\GLOBAL??\\D:"));

  // The disk goes with everything it made.
  RemoveDisk(ordinal);
  EXPECT_TRUE(LinkTarget(u"\\GLOBAL??\\D:").empty());
  EXPECT_FALSE(Exists(kVolume2));
  EXPECT_FALSE(Exists(u"\\Device\\Harddisk0\\DR0"));
  EXPECT_TRUE(LinkTarget(u"\\GLOBAL??\\PhysicalDrive0").empty());
}

}  // namespace
}  // namespace bw::test
