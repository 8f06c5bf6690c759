// The disk class driver on the test port's disks: numbering and names,
// SCSI traffic, whole-disk reads and writes, and removal.
#include "platform/drivers/disk/tests/disk_fixture.h"

#include <ntddstor.h>

namespace bw::test {
namespace {

constexpr ULONG64 kMiB = 1ull << 20;

TEST_F(DiskTest, DisksAreNumberedLowestFreeFirstWithTheirNamesAndLinks) {
  ULONG first = AddDisk(8 * kMiB);
  AddDisk(8 * kMiB);
  EXPECT_EQ(u"\\Device\\Harddisk0\\DR0", LinkTarget(u"\\GLOBAL??\\PhysicalDrive0"));
  EXPECT_EQ(u"\\Device\\Harddisk0\\DR0", LinkTarget(u"\\Device\\Harddisk0\\Partition0"));
  EXPECT_EQ(u"\\Device\\Harddisk1\\DR1", LinkTarget(u"\\GLOBAL??\\PhysicalDrive1"));
  auto number = Ask<STORAGE_DEVICE_NUMBER>(u"\\??\\PhysicalDrive1", IOCTL_STORAGE_GET_DEVICE_NUMBER);
  EXPECT_EQ(ULONG(FILE_DEVICE_DISK), number.DeviceType);
  EXPECT_EQ(1u, number.DeviceNumber);
  EXPECT_EQ(0u, number.PartitionNumber);

  RemoveDisk(first);
  EXPECT_TRUE(LinkTarget(u"\\GLOBAL??\\PhysicalDrive0").empty());
  EXPECT_FALSE(Exists(u"\\Device\\Harddisk0\\DR0"));
  EXPECT_FALSE(Exists(u"\\Device\\Harddisk0\\Partition0"));
  // The freed number is the next disk's; its device object is a new one.
  AddDisk(4 * kMiB);
  EXPECT_EQ(u"\\Device\\Harddisk0\\DR2", LinkTarget(u"\\GLOBAL??\\PhysicalDrive0"));
  auto length = Ask<GET_LENGTH_INFORMATION>(u"\\??\\PhysicalDrive0", IOCTL_DISK_GET_LENGTH_INFO);
  EXPECT_EQ(LONGLONG(4 * kMiB), length.Length.QuadPart);
}

TEST_F(DiskTest, TheUnitIsClaimedAndAskedItsShapeAtStart) {
  ULONG ordinal = AddDisk(64 * kMiB, 4096, 256 * 1024, kTestPortRemovable);
  TestPortCounts counts = Counts(ordinal);
  EXPECT_EQ(1u, counts.claims);
  EXPECT_EQ(1u, counts.inquiries);
  EXPECT_EQ(1u, counts.capacity10);
  EXPECT_EQ(0u, counts.capacity16);
  EXPECT_GE(counts.modeSense, 1u);
  auto geometry = Ask<DISK_GEOMETRY>(u"\\??\\PhysicalDrive0", IOCTL_DISK_GET_DRIVE_GEOMETRY);
  EXPECT_EQ(4096u, geometry.BytesPerSector);
  EXPECT_EQ(RemovableMedia, geometry.MediaType);
  Reply ex = Send(u"\\??\\PhysicalDrive0", IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, {}, 256);
  ASSERT_STATUS(STATUS_SUCCESS, ex.status);
  EXPECT_EQ(ULONG_PTR(32 + sizeof(DISK_PARTITION_INFO) + sizeof(DISK_DETECTION_INFO)), ex.information);
  EXPECT_EQ(LONGLONG(64 * kMiB), reinterpret_cast<PDISK_GEOMETRY_EX>(ex.output.data())->DiskSize.QuadPart);
  // A blank disk: no table, no partitions.
  Reply layout = Send(u"\\??\\PhysicalDrive0", IOCTL_DISK_GET_DRIVE_LAYOUT_EX, {}, 4096);
  ASSERT_STATUS(STATUS_SUCCESS, layout.status);
  auto *drive = reinterpret_cast<PDRIVE_LAYOUT_INFORMATION_EX>(layout.output.data());
  EXPECT_EQ(ULONG(PARTITION_STYLE_RAW), drive->PartitionStyle);
  EXPECT_EQ(0u, drive->PartitionCount);
  // Flush and eject reach the unit as SCSI commands.
  HANDLE handle;
  ASSERT_STATUS(STATUS_SUCCESS, Open(u"\\??\\PhysicalDrive0", GENERIC_READ | GENERIC_WRITE, 0, &handle));
  IO_STATUS_BLOCK iosb;
  EXPECT_STATUS(STATUS_SUCCESS, ZwFlushBuffersFile(handle, &iosb));
  ZwClose(handle);
  EXPECT_STATUS(STATUS_SUCCESS, Send(u"\\??\\PhysicalDrive0", IOCTL_STORAGE_EJECT_MEDIA, {}, 0).status);
  counts = Counts(ordinal);
  EXPECT_EQ(1u, counts.synchronizeCache);
  EXPECT_EQ(1u, counts.ejects);
}

TEST_F(DiskTest, RequestsTheDiskDoesNotAnswerReachThePort) {
  AddDisk(8 * kMiB, 512, 64 * 1024);
  auto echo = Ask<ULONG>(u"\\??\\PhysicalDrive0", kTestPortEcho);
  EXPECT_EQ(kTestPortEchoAnswer, echo);
  // A fixed disk has nothing to eject.
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST,
                Send(u"\\??\\PhysicalDrive0", IOCTL_STORAGE_EJECT_MEDIA, {}, 0).status);
}

TEST_F(DiskTest, LargeTransfersAreSplitByTheAdapterLimit) {
  ULONG ordinal = AddDisk(16 * kMiB, 512, 64 * 1024);
  Bytes data = Pattern(kMiB + 4096, 3);
  WriteBytes(u"\\??\\PhysicalDrive0", 3 * kMiB, data);
  EXPECT_EQ(data, ReadBytes(u"\\??\\PhysicalDrive0", 3 * kMiB, data.size()));
  TestPortCounts counts = Counts(ordinal);
  EXPECT_EQ(64u * 1024, counts.largestTransfer);
  EXPECT_EQ(17u, counts.write10);
  EXPECT_EQ(0u, counts.write16);
  // Whole sectors inside the disk only.
  Bytes odd(100);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Transfer(u"\\??\\PhysicalDrive0", false, 0, &odd));
  Bytes past(1024);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Transfer(u"\\??\\PhysicalDrive0", false, 16 * kMiB - 512, &past));
}

TEST_F(DiskTest, BeyondTwoTebibytesTheSixteenByteCommandsAreUsed) {
  constexpr ULONG64 kSize = 3ull << 40;
  ULONG ordinal = AddDisk(kSize);
  auto length = Ask<GET_LENGTH_INFORMATION>(u"\\??\\PhysicalDrive0", IOCTL_DISK_GET_LENGTH_INFO);
  EXPECT_EQ(LONGLONG(kSize), length.Length.QuadPart);
  EXPECT_EQ(1u, Counts(ordinal).capacity16);
  Bytes data = Pattern(8192, 9);
  WriteBytes(u"\\??\\PhysicalDrive0", kSize - 8192, data);
  WriteBytes(u"\\??\\PhysicalDrive0", 4096, data);
  EXPECT_EQ(data, ReadBytes(u"\\??\\PhysicalDrive0", kSize - 8192, data.size()));
  TestPortCounts counts = Counts(ordinal);
  EXPECT_EQ(1u, counts.write16);
  EXPECT_EQ(1u, counts.read16);
  EXPECT_EQ(1u, counts.write10);
}

TEST_F(DiskTest, AWriteProtectedDiskRefusesWrites) {
  AddDisk(8 * kMiB, 512, 64 * 1024, kTestPortWriteProtected);
  Bytes data(512);
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED, Transfer(u"\\??\\PhysicalDrive0", true, 0, &data));
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED,
                Send(u"\\??\\PhysicalDrive0", IOCTL_DISK_IS_WRITABLE, {}, 0).status);
  EXPECT_STATUS(STATUS_SUCCESS, Transfer(u"\\??\\PhysicalDrive0", false, 0, &data));
}

TEST_F(DiskTest, AUserProgramReadsTheMbrThroughPhysicalDrive) {
  AddDisk(8 * kMiB);
  SetLayout(0, Layout(0x11223344, {{kMiB, 4 * kMiB, PARTITION_IFS}}));
  ProcessOptions options;
  auto process = CreateUserProcess(options);  // uid 0: an administrator
  auto thread = process->CreateThread(1);
  HANDLE handle = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, process->CreateFile(*thread, u"\\??\\PhysicalDrive0", GENERIC_READ,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, &handle));
  IoResult sector = process->Read(*thread, handle, 512, 0);
  ASSERT_STATUS(STATUS_SUCCESS, sector.status);
  ASSERT_EQ(512u, sector.output.size());
  EXPECT_EQ(0x55, sector.output[510]);
  EXPECT_EQ(0xAA, sector.output[511]);
  ULONG signature;
  memcpy(&signature, sector.output.data() + 0x1B8, 4);
  EXPECT_EQ(0x11223344u, signature);
  IoResult number = process->DeviceIoControl(*thread, handle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0,
                                             sizeof(STORAGE_DEVICE_NUMBER));
  EXPECT_STATUS(STATUS_SUCCESS, number.status);
  process->Close(handle);
  process->Terminate();
}

}  // namespace
}  // namespace bw::test
