// Device-control requests of a child disk.
#include "bus/tests/bus_fixture.h"
#include "tests/support/status_matchers.h"

#include <ntdddisk.h>
#include <ntddscsi.h>
#include <ntddstor.h>

#include <gtest/gtest.h>

#include <cstring>

namespace bus_test {
namespace {

constexpr uint64_t kSize = 1ull << 30;

class BusChildControl : public BusTest {
 protected:
  PDEVICE_OBJECT Add(uint32_t flags = 0, uint16_t sectorSize = 512) {
    PDEVICE_OBJECT child = nullptr;
    AddDiskRequest request = DiskRequest(0x42, kSize, sectorSize, flags);
    request.MaximumTransferLength = 0x10000;
    EXPECT_STATUS(STATUS_SUCCESS, AddDisk(request, &child));
    return child;
  }

  template <typename T>
  static T As(const Reply &reply) {
    T value{};
    std::memcpy(&value, reply.output.data(), std::min(sizeof(T), reply.output.size()));
    return value;
  }

  static Reply Property(PDEVICE_OBJECT child, STORAGE_PROPERTY_ID id, ULONG out) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = id;
    query.QueryType = PropertyStandardQuery;
    return DeviceControl(child, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof(query), out);
  }
};

TEST_F(BusChildControl, FixedSizeRepliesNeedRoomForTheirRecord) {
  PDEVICE_OBJECT child = Add();
  struct Case {
    ULONG code;
    ULONG size;
  } cases[] = {{IOCTL_SCSI_GET_ADDRESS, 8},         {IOCTL_DISK_GET_DRIVE_GEOMETRY, 24},
               {IOCTL_DISK_GET_PARTITION_INFO_EX, 144}, {IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, 32},
               {IOCTL_DISK_GET_PARTITION_INFO, 32},  {IOCTL_DISK_GET_LENGTH_INFO, 8},
               {IOCTL_STORAGE_GET_HOTPLUG_INFO, 8},  {IOCTL_STORAGE_GET_DEVICE_NUMBER, 12}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    Reply small = DeviceControl(child, c.code, nullptr, 0, c.size - 1);
    EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, small.status);
    EXPECT_EQ(0u, small.information);
    Reply fits = DeviceControl(child, c.code, nullptr, 0, c.size);
    EXPECT_STATUS(STATUS_SUCCESS, fits.status);
    EXPECT_EQ(c.size, fits.information);
  }
}

TEST_F(BusChildControl, DiskRecordsComeFromTheAddRequest) {
  PDEVICE_OBJECT child = Add(BUS_REQUEST_REMOVABLE);
  AddDiskRequest request = DiskRequest(0x42, kSize, 512, BUS_REQUEST_REMOVABLE);

  auto address = As<SCSI_ADDRESS>(DeviceControl(child, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, 8));
  EXPECT_EQ(8u, address.Length);
  EXPECT_EQ(0, address.PortNumber + address.PathId + address.TargetId + address.Lun);  // ordinal 0

  auto geometry = As<DISK_GEOMETRY>(DeviceControl(child, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, 24));
  EXPECT_EQ(static_cast<LONGLONG>(request.Geometry.Cylinders), geometry.Cylinders.QuadPart);
  EXPECT_EQ(63u, geometry.SectorsPerTrack);
  EXPECT_EQ(512u, geometry.BytesPerSector);

  auto length = As<GET_LENGTH_INFORMATION>(DeviceControl(child, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, 64));
  EXPECT_EQ(static_cast<LONGLONG>(kSize), length.Length.QuadPart);
  auto partition = As<PARTITION_INFORMATION_EX>(DeviceControl(child, IOCTL_DISK_GET_PARTITION_INFO_EX, nullptr, 0, 144));
  EXPECT_EQ(PARTITION_STYLE_MBR, partition.PartitionStyle);
  EXPECT_EQ(0, partition.StartingOffset.QuadPart);
  EXPECT_EQ(static_cast<LONGLONG>(kSize), partition.PartitionLength.QuadPart);

  auto hotplug = As<STORAGE_HOTPLUG_INFO>(DeviceControl(child, IOCTL_STORAGE_GET_HOTPLUG_INFO, nullptr, 0, 8));
  EXPECT_EQ(8u, hotplug.Size);
  EXPECT_TRUE(hotplug.MediaRemovable && hotplug.MediaHotplug && hotplug.DeviceHotplug &&
              hotplug.WriteCacheEnableOverride);

  // Learnt from the disk class driver while the disk was added.
  auto number = As<STORAGE_DEVICE_NUMBER>(DeviceControl(child, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, 12));
  EXPECT_EQ(ULONG{FILE_DEVICE_DISK}, number.DeviceType);
  EXPECT_EQ(0u, number.DeviceNumber);
  EXPECT_EQ(0u, number.PartitionNumber);
}

TEST_F(BusChildControl, ExtendedGeometryGrowsWithTheBuffer) {
  PDEVICE_OBJECT child = Add();
  for (auto [out, expected] : {std::pair{32u, 32u}, {55u, 32u}, {56u, 56u}, {111u, 56u}, {112u, 112u}, {200u, 112u}}) {
    SCOPED_TRACE(out);
    Reply reply = DeviceControl(child, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, out);
    ASSERT_STATUS(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(expected, reply.information);
    auto *geometry = reinterpret_cast<DISK_GEOMETRY_EX *>(reply.output.data());
    EXPECT_EQ(static_cast<LONGLONG>(kSize), geometry->DiskSize.QuadPart);
    if (expected >= 56) {
      auto *partition = reinterpret_cast<DISK_PARTITION_INFO *>(reply.output.data() + 32);
      EXPECT_EQ(24u, partition->SizeOfPartitionInfo);
      EXPECT_EQ(PARTITION_STYLE_MBR, partition->PartitionStyle);
    }
    if (expected == 112) {
      auto *detection = reinterpret_cast<DISK_DETECTION_INFO *>(reply.output.data() + 56);
      EXPECT_EQ(56u, detection->SizeOfDetectInfo);
      EXPECT_EQ(DetectExInt13, detection->DetectionType);
      EXPECT_EQ(0u, detection->Int13.MaxCylinders);
      EXPECT_EQ(1u, detection->ExInt13.ExHeads);
      EXPECT_EQ(63u, detection->ExInt13.ExSectorsPerTrack);
      EXPECT_EQ(kSize / 512, detection->ExInt13.ExSectorsPerDrive);
      EXPECT_EQ(512, detection->ExInt13.ExSectorSize);
    }
  }
}

TEST_F(BusChildControl, PropertyQueriesAnswerTheHeaderAloneWhenShort) {
  PDEVICE_OBJECT child = Add(0, 4096);
  Reply header = Property(child, StorageAdapterProperty, 8);
  ASSERT_STATUS(STATUS_SUCCESS, header.status);
  EXPECT_EQ(8u, header.information);
  auto descriptorHeader = As<STORAGE_DESCRIPTOR_HEADER>(header);
  EXPECT_EQ(1u, descriptorHeader.Version);
  EXPECT_EQ(32u, descriptorHeader.Size);
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, Property(child, StorageAdapterProperty, 7).status);

  auto adapter = As<STORAGE_ADAPTER_DESCRIPTOR>(Property(child, StorageAdapterProperty, 64));
  EXPECT_EQ(0x10000u, adapter.MaximumTransferLength);
  EXPECT_EQ(4096u, adapter.MaximumPhysicalPages);
  EXPECT_EQ(1u, adapter.AlignmentMask);
  EXPECT_TRUE(adapter.AdapterUsesPio && adapter.AdapterScansDown && adapter.CommandQueueing &&
              adapter.AcceleratedTransfer);
  EXPECT_EQ(1, adapter.BusMajorVersion);

  Reply device = Property(child, StorageDeviceProperty, 40);
  EXPECT_EQ(40u, device.information);
  auto descriptor = As<STORAGE_DEVICE_DESCRIPTOR>(device);
  EXPECT_FALSE(descriptor.RemovableMedia);
  EXPECT_TRUE(descriptor.CommandQueueing);
  EXPECT_EQ(0u, descriptor.VendorIdOffset + descriptor.ProductIdOffset + descriptor.SerialNumberOffset);

  auto alignment = As<STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR>(Property(child, StorageAccessAlignmentProperty, 28));
  EXPECT_EQ(4096u, alignment.BytesPerLogicalSector);
  EXPECT_EQ(4096u, alignment.BytesPerPhysicalSector);
  EXPECT_EQ(4096u, alignment.BytesPerCacheLine);

  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, Property(child, StorageDeviceIdProperty, 64).status);
}

TEST_F(BusChildControl, VolumeCodesTrackOnlineAndIoCapability) {
  PDEVICE_OBJECT fixed = Add();
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, DeviceControl(fixed, IOCTL_VOLUME_IS_IO_CAPABLE, nullptr, 0, 0).status);
  EXPECT_STATUS(STATUS_SUCCESS, DeviceControl(fixed, IOCTL_VOLUME_IS_OFFLINE, nullptr, 0, 0).status);
  EXPECT_STATUS(STATUS_SUCCESS, DeviceControl(fixed, IOCTL_VOLUME_ONLINE, nullptr, 0, 0).status);
  EXPECT_STATUS(STATUS_UNSUCCESSFUL, DeviceControl(fixed, IOCTL_VOLUME_IS_OFFLINE, nullptr, 0, 0).status);
  EXPECT_STATUS(STATUS_SUCCESS, DeviceControl(fixed, IOCTL_VOLUME_OFFLINE, nullptr, 0, 0).status);
  EXPECT_STATUS(STATUS_SUCCESS, DeviceControl(fixed, IOCTL_VOLUME_IS_OFFLINE, nullptr, 0, 0).status);
  for (ULONG code : {ULONG{IOCTL_VOLUME_SUPPORTS_ONLINE_OFFLINE}, ULONG{IOCTL_VOLUME_IS_CLUSTERED}, 0x66001Bu})
    EXPECT_STATUS(STATUS_SUCCESS, DeviceControl(fixed, code, nullptr, 0, 0).status) << code;
  for (ULONG code : {ULONG{IOCTL_DISK_GET_DRIVE_LAYOUT_EX}, ULONG{IOCTL_STORAGE_EJECT_MEDIA}, 0x222004u})
    EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, DeviceControl(fixed, code, nullptr, 0, 64).status) << code;
}

TEST_F(BusChildControl, LinkChangesOnRemovableDisksReachTheEngine) {
  PDEVICE_OBJECT removable = Add(BUS_REQUEST_REMOVABLE);
  EXPECT_STATUS(STATUS_SUCCESS, DeviceControl(removable, IOCTL_VOLUME_IS_IO_CAPABLE, nullptr, 0, 0).status);
  Engine().letters.DriveLetter = 0;
  EXPECT_STATUS(STATUS_SUCCESS, DeviceControl(removable, IOCTL_MOUNTDEV_LINK_CREATED, nullptr, 0, 0).status);
  EXPECT_EQ(0u, Engine().Count(BUS_EVENT_LINK_CHANGED));
  Engine().letters.DriveLetter = u'R';
  Engine().letters.HasLink = 1;
  EXPECT_STATUS(STATUS_SUCCESS, DeviceControl(removable, IOCTL_MOUNTDEV_LINK_CREATED, nullptr, 0, 0).status);
  EXPECT_STATUS(STATUS_SUCCESS, DeviceControl(removable, IOCTL_MOUNTDEV_LINK_DELETED, nullptr, 0, 0).status);
  EXPECT_EQ(2u, Engine().Count(BUS_EVENT_LINK_CHANGED));
  Engine().queryStatus = STATUS_UNSUCCESSFUL;
  EXPECT_STATUS(STATUS_SUCCESS, DeviceControl(removable, IOCTL_MOUNTDEV_LINK_DELETED, nullptr, 0, 0).status);
  EXPECT_EQ(2u, Engine().Count(BUS_EVENT_LINK_CHANGED));
}

}  // namespace
}  // namespace bus_test
