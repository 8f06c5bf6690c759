// Finding the partitions of an emulated disk among the system's volumes:
// the disk's number from its stack, then every volume interface whose
// device answers with that number, or names the disk in its extents.
#include "engine/system/partition_walk.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_file.h"
#include "kernel-support/ks_mount_manager.h"
#include "kernel-support/ks_object.h"
#include "kernel-support/ks_string.h"

#include <ntdddisk.h>

namespace {

constexpr ULONG kMaxExtents = 32;
constexpr ULONG kDeviceNameBytes = 512;

NTSTATUS QueryDeviceNumber(PDEVICE_OBJECT Device, STORAGE_DEVICE_NUMBER *Number) {
  IO_STATUS_BLOCK iosb;
  NTSTATUS status =
      KsDeviceControl(Device, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, Number, sizeof(*Number), FALSE, &iosb);
  if (NT_SUCCESS(status) && iosb.Information < sizeof(*Number)) status = STATUS_DEVICE_DATA_ERROR;
  return status;
}

// Whether one of the volume's extents lies on disk DiskNumber.
BOOLEAN ExtentsNameDisk(PDEVICE_OBJECT Device, ULONG DiskNumber) {
  ULONG size = static_cast<ULONG>(FIELD_OFFSET(VOLUME_DISK_EXTENTS, Extents) + kMaxExtents * sizeof(DISK_EXTENT));
  auto *extents = static_cast<PVOLUME_DISK_EXTENTS>(KsAllocate(size, KS_TAG_BUFFER));
  if (!extents) return FALSE;
  IO_STATUS_BLOCK iosb;
  BOOLEAN found = FALSE;
  if (NT_SUCCESS(KsDeviceControl(Device, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, extents, size, FALSE,
                                 &iosb))) {
    ULONG count = extents->NumberOfDiskExtents < kMaxExtents ? extents->NumberOfDiskExtents : kMaxExtents;
    for (ULONG i = 0; i < count && !found; ++i) found = extents->Extents[i].DiskNumber == DiskNumber;
  }
  KsFree(&extents);
  return found;
}

NTSTATUS QueryName(PDEVICE_OBJECT Device, PUNICODE_STRING *Name) {
  auto *reply = static_cast<PMOUNTDEV_NAME>(KsAllocate(kDeviceNameBytes, KS_TAG_BUFFER));
  if (!reply) return STATUS_INSUFFICIENT_RESOURCES;
  IO_STATUS_BLOCK iosb;
  NTSTATUS status = KsDeviceControl(Device, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, nullptr, 0, reply, kDeviceNameBytes,
                                    FALSE, &iosb);
  if (NT_SUCCESS(status) &&
      (reply->NameLength == 0 || static_cast<ULONG>(FIELD_OFFSET(MOUNTDEV_NAME, Name)) + reply->NameLength > kDeviceNameBytes))
    status = STATUS_DEVICE_DATA_ERROR;
  if (NT_SUCCESS(status)) status = KsStringFromWide(reply->Name, reply->NameLength, Name);
  KsFree(&reply);
  return status;
}

NTSTATUS QueryFirstMountPoint(PCUNICODE_STRING DeviceName, PUNICODE_STRING *MountPoint) {
  *MountPoint = nullptr;
  KS_MOUNT_POINT_KEY key = {nullptr, nullptr, 0, DeviceName};
  PMOUNTMGR_MOUNT_POINTS points = nullptr;
  ULONG length = 0;
  if (!NT_SUCCESS(KsQueryMountPoints(&key, &points, &length))) return STATUS_SUCCESS;
  KS_MOUNT_POINT_VIEW view;
  NTSTATUS status = STATUS_SUCCESS;
  if (KsMountPointAt(points, length, 0, &view) && view.Link.Length)
    status = KsDuplicateString(&view.Link, MountPoint);
  KsFree(&points);
  return status;
}

ULONG QueryPartitionNumber(PDEVICE_OBJECT Device, const STORAGE_DEVICE_NUMBER *Number, BOOLEAN HaveNumber) {
  PARTITION_INFORMATION_EX info;
  IO_STATUS_BLOCK iosb;
  if (NT_SUCCESS(KsDeviceControl(Device, IOCTL_DISK_GET_PARTITION_INFO_EX, nullptr, 0, &info, sizeof(info), FALSE,
                                 &iosb)))
    return info.PartitionNumber;
  return HaveNumber ? Number->PartitionNumber : 0;
}

// One volume interface: calls Action when it is a partition of disk DiskNumber.
NTSTATUS VisitVolume(VolumeBlock *Volume, PCUNICODE_STRING Link, ULONG DiskNumber, PARTITION_ACTION *Action,
                     PVOID Context) {
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT top = nullptr;
  // A volume that went away since the list was made is simply not there.
  if (!NT_SUCCESS(KsGetDeviceObject(Link, FILE_READ_ATTRIBUTES, &file, &top))) return STATUS_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
  PDEVICE_OBJECT device = file->DeviceObject;
  if (device->DeviceType == FILE_DEVICE_DISK) {
    STORAGE_DEVICE_NUMBER number;
    RtlZeroMemory(&number, sizeof(number));
    NTSTATUS asked = QueryDeviceNumber(device, &number);
    BOOLEAN belongs = NT_SUCCESS(asked) ? number.DeviceNumber == DiskNumber
                                        : asked == STATUS_WRONG_VOLUME && ExtentsNameDisk(device, DiskNumber);
    if (belongs) {
      PartitionVolume partition;
      RtlZeroMemory(&partition, sizeof(partition));
      partition.Device = device;
      status = QueryName(device, &partition.DeviceName);
      if (NT_SUCCESS(status)) status = QueryFirstMountPoint(partition.DeviceName, &partition.MountPoint);
      if (NT_SUCCESS(status)) {
        partition.PartitionNumber = QueryPartitionNumber(device, &number, NT_SUCCESS(asked));
        status = Action(Volume, &partition, Context);
      }
      KsFreeString(&partition.DeviceName);
      KsFreeString(&partition.MountPoint);
    }
  }
  KsReleaseObject(&file);
  return status;
}

NTSTATUS CountOne(VolumeBlock *, const PartitionVolume *, PVOID Context) {
  ++*static_cast<PULONG>(Context);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WalkPartitions(VolumeBlock *Volume, PARTITION_ACTION *Action, PVOID Context) {
  PDEVICE_OBJECT disk = Volume->Device;
  if (!disk || !VolumeHasAnyFlag(Volume, VOLUME_DISK_EMULATION)) return STATUS_INVALID_DEVICE_STATE;
  STORAGE_DEVICE_NUMBER number;
  NTSTATUS status = QueryDeviceNumber(disk, &number);
  if (!NT_SUCCESS(status)) return status;
  PWSTR links = nullptr;
  status = IoGetDeviceInterfaces(&GUID_DEVINTERFACE_VOLUME, nullptr, 0, &links);
  if (!NT_SUCCESS(status)) return status;
  for (PWCHAR link = links; NT_SUCCESS(status) && link && *link;) {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, link);
    status = VisitVolume(Volume, &name, number.DeviceNumber, Action, Context);
    link += name.Length / sizeof(WCHAR) + 1;
  }
  ExFreePool(links);
  return status;
}

ULONG CountPartitions(VolumeBlock *Volume) {
  ULONG count = 0;
  WalkPartitions(Volume, CountOne, &count);
  return count;
}
