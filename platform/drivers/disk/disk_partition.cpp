// The partitions of a disk as devices of their own: "\Device\HarddiskVolumeK"
// with the link "\Device\HarddiskN\PartitionM", enumerated as the disk's
// children, started raw (no function driver), serving reads and writes at
// their offset through the disk's device and answering what a volume is
// asked by the mount manager and by programs.
#include "platform/drivers/disk/disk.h"

#include <ntddstor.h>

#include <cstring>

namespace disk {

namespace {

bool IsUsed(const PARTITION_INFORMATION_EX &p) {
  return p.Mbr.PartitionType != PARTITION_ENTRY_UNUSED && !IsContainerPartition(p.Mbr.PartitionType) &&
         p.PartitionLength.QuadPart > 0;
}

std::u16string PartitionLinkName(ULONG disk, ULONG partition) {
  return u"\\Device\\Harddisk" + Decimal(disk) + u"\\Partition" + Decimal(partition);
}

void SetPartitionLink(PartitionExtension *partition) {
  partition->partitionLink = PartitionLinkName(partition->disk->number, partition->info.PartitionNumber);
  UNICODE_STRING link = View(partition->partitionLink), target = View(partition->deviceName);
  if (!NT_SUCCESS(IoCreateSymbolicLink(&link, &target))) partition->partitionLink.clear();
}

void DeletePartitionLink(PartitionExtension *partition) {
  if (partition->partitionLink.empty()) return;
  UNICODE_STRING link = View(partition->partitionLink);
  IoDeleteSymbolicLink(&link);
  partition->partitionLink.clear();
}

NTSTATUS CreatePartition(DiskExtension *disk, const PARTITION_INFORMATION_EX &info, PDEVICE_OBJECT *created) {
  ULONG ordinal = NextVolumeOrdinal();
  std::u16string deviceName = u"\\Device\\HarddiskVolume" + Decimal(ordinal);
  UNICODE_STRING name = View(deviceName);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(disk->self->DriverObject, sizeof(PartitionExtension), &name, FILE_DEVICE_DISK,
                                   disk->self->Characteristics & (FILE_REMOVABLE_MEDIA | FILE_READ_ONLY_DEVICE),
                                   FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto *partition = new (device->DeviceExtension) PartitionExtension;
  partition->self = device;
  partition->disk = disk;
  partition->ordinal = ordinal;
  partition->deviceName = deviceName;
  partition->info = info;
  device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  device->StackSize = static_cast<CCHAR>(disk->self->StackSize + 1);
  device->SectorSize = disk->self->SectorSize;
  device->AlignmentRequirement = disk->self->AlignmentRequirement;
  SetPartitionLink(partition);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  *created = device;
  return STATUS_SUCCESS;
}

void DeletePartition(PartitionExtension *partition) {
  PDEVICE_OBJECT device = partition->self;
  DeletePartitionLink(partition);
  if (partition->interfaceLink.Buffer) {
    IoSetDeviceInterfaceState(&partition->interfaceLink, FALSE);
    RtlFreeUnicodeString(&partition->interfaceLink);
  }
  partition->~PartitionExtension();
  IoDeleteDevice(device);
}

// A multi-string of one entry, in pool the caller frees.
NTSTATUS PoolString(const std::u16string &text, bool multi, ULONG_PTR *information) {
  size_t units = text.size() + (multi ? 2 : 1);
  auto *buffer = static_cast<WCHAR *>(ExAllocatePool2(POOL_FLAG_PAGED, units * sizeof(WCHAR), kDiskTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  memset(buffer, 0, units * sizeof(WCHAR));
  memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  *information = reinterpret_cast<ULONG_PTR>(buffer);
  return STATUS_SUCCESS;
}

NTSTATUS QueryId(PartitionExtension *partition, PIRP irp) {
  ULONG_PTR information = 0;
  NTSTATUS status;
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      status = PoolString(u"STORAGE\\Volume", false, &information);
      break;
    case BusQueryHardwareIDs:
      status = PoolString(u"STORAGE\\Volume", true, &information);
      break;
    case BusQueryInstanceID:
      // Unique among every disk's partitions, as the ordinal is.
      status = PoolString(u"HarddiskVolume" + Decimal(partition->ordinal), false, &information);
      break;
    default:
      status = irp->IoStatus.Status;
      information = irp->IoStatus.Information;
      break;
  }
  return Complete(irp, status, information);
}

NTSTATUS Pnp(PartitionExtension *partition, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = STATUS_SUCCESS;
      if (!partition->interfaceLink.Buffer)
        status = IoRegisterDeviceInterface(partition->self, &GUID_DEVINTERFACE_VOLUME, nullptr,
                                           &partition->interfaceLink);
      if (NT_SUCCESS(status)) status = IoSetDeviceInterfaceState(&partition->interfaceLink, TRUE);
      return Complete(irp, status, 0);
    }
    case IRP_MN_QUERY_ID:
      return QueryId(partition, irp);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
      if (capabilities->Version != 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES))
        return Complete(irp, STATUS_UNSUCCESSFUL, 0);
      // No function driver: the partition runs raw, under a file system.
      capabilities->RawDeviceOK = 1;
      capabilities->SilentInstall = 1;
      capabilities->SurpriseRemovalOK = 1;
      capabilities->UniqueID = 0;
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_DEVICE_TEXT:
      if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription) {
        ULONG_PTR information = 0;
        NTSTATUS status = PoolString(u"Volume", false, &information);
        return Complete(irp, status, information);
      }
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        auto *relations =
            static_cast<PDEVICE_RELATIONS>(ExAllocatePool2(POOL_FLAG_PAGED, sizeof(DEVICE_RELATIONS), kDiskTag));
        if (!relations) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        relations->Count = 1;
        relations->Objects[0] = partition->self;
        ObReferenceObject(partition->self);
        return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
      }
      break;
    case IRP_MN_REMOVE_DEVICE: {
      if (partition->interfaceLink.Buffer) IoSetDeviceInterfaceState(&partition->interfaceLink, FALSE);
      // A partition still in the table stays until the disk goes (the
      // system may start it again); one that left the table goes now.
      DiskExtension *disk = partition->disk;
      bool gone = false;
      {
        std::lock_guard<std::mutex> guard(disk->lock);
        if (!partition->present) {
          for (size_t i = 0; i < disk->partitions.size(); ++i)
            if (disk->partitions[i] == partition->self) {
              disk->partitions.erase(disk->partitions.begin() + i);
              break;
            }
          gone = true;
        }
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      if (gone) DeletePartition(partition);
      return STATUS_SUCCESS;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS, 0);
    default:
      break;
  }
  // What a partition does not answer keeps the status it came with.
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Reads and writes land at the partition's offset on the disk.
NTSTATUS ReadWrite(PartitionExtension *partition, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  DiskExtension *disk = partition->disk;
  LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
  ULONG length = stack->Parameters.Read.Length;
  LONGLONG size = partition->info.PartitionLength.QuadPart;
  if (offset < 0 || offset % disk->sectorSize || length % disk->sectorSize || offset > size || length > size - offset)
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoGetNextIrpStackLocation(irp)->Parameters.Read.ByteOffset.QuadPart =
      offset + partition->info.StartingOffset.QuadPart;
  return IoCallDriver(disk->self, irp);
}

template <typename T>
NTSTATUS Reply(PIRP irp, const T &value, ULONG length = sizeof(T)) {
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength < length)
    return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  memcpy(irp->AssociatedIrp.SystemBuffer, &value, length);
  return Complete(irp, STATUS_SUCCESS, length);
}

// A counted answer of the mount-device requests: the length alone with
// STATUS_BUFFER_OVERFLOW when only the header fits.
NTSTATUS CountedReply(PIRP irp, ULONG dataAt, const void *data, USHORT length) {
  ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  auto *out = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  if (room < dataAt) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  memset(out, 0, dataAt);
  memcpy(out, &length, sizeof length);
  if (room < dataAt + length) {
    irp->IoStatus.Status = STATUS_BUFFER_OVERFLOW;
    irp->IoStatus.Information = sizeof(USHORT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_BUFFER_OVERFLOW;
  }
  memcpy(out + dataAt, data, length);
  return Complete(irp, STATUS_SUCCESS, dataAt + length);
}

NTSTATUS DeviceControl(PartitionExtension *partition, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  DiskExtension *disk = partition->disk;
  const PARTITION_INFORMATION_EX &info = partition->info;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER:
      return Reply(irp, STORAGE_DEVICE_NUMBER{FILE_DEVICE_DISK, disk->number, info.PartitionNumber});
    case IOCTL_DISK_GET_PARTITION_INFO_EX:
      return Reply(irp, info);
    case IOCTL_DISK_GET_PARTITION_INFO: {
      PARTITION_INFORMATION old{};
      old.StartingOffset = info.StartingOffset;
      old.PartitionLength = info.PartitionLength;
      old.HiddenSectors = info.Mbr.HiddenSectors;
      old.PartitionNumber = info.PartitionNumber;
      old.PartitionType = info.Mbr.PartitionType;
      old.BootIndicator = info.Mbr.BootIndicator;
      old.RecognizedPartition = info.Mbr.RecognizedPartition;
      return Reply(irp, old);
    }
    case IOCTL_DISK_GET_LENGTH_INFO: {
      GET_LENGTH_INFORMATION length;
      length.Length = info.PartitionLength;
      return Reply(irp, length);
    }
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: {
      VOLUME_DISK_EXTENTS extents{};
      extents.NumberOfDiskExtents = 1;
      extents.Extents[0].DiskNumber = disk->number;
      extents.Extents[0].StartingOffset = info.StartingOffset;
      extents.Extents[0].ExtentLength = info.PartitionLength;
      return Reply(irp, extents);
    }
    case IOCTL_MOUNTDEV_QUERY_DEVICE_NAME:
      return CountedReply(irp, FIELD_OFFSET(MOUNTDEV_NAME, Name), partition->deviceName.data(),
                          static_cast<USHORT>(partition->deviceName.size() * sizeof(WCHAR)));
    case IOCTL_MOUNTDEV_QUERY_UNIQUE_ID: {
      // As for every MBR partition: the disk's signature, then the offset.
      UCHAR id[12];
      ULONG signature;
      {
        std::lock_guard<std::mutex> guard(disk->lock);
        signature = disk->signature;
      }
      memcpy(id, &signature, 4);
      memcpy(id + 4, &info.StartingOffset.QuadPart, 8);
      return CountedReply(irp, FIELD_OFFSET(MOUNTDEV_UNIQUE_ID, UniqueId), id, sizeof id);
    }
    case IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME:
      return Complete(irp, STATUS_NOT_FOUND, 0);
    case IOCTL_MOUNTDEV_LINK_CREATED:
    case IOCTL_MOUNTDEV_LINK_DELETED:
    case IOCTL_VOLUME_SUPPORTS_ONLINE_OFFLINE:
    case IOCTL_VOLUME_IS_IO_CAPABLE:
      return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_VOLUME_ONLINE:
    case IOCTL_VOLUME_OFFLINE:
      partition->online = stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_VOLUME_ONLINE;
      return Complete(irp, STATUS_SUCCESS, 0);
    case IOCTL_VOLUME_IS_OFFLINE:
      return Complete(irp, partition->online ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS, 0);
    default:
      // Geometry, storage properties and the rest: the disk's answers.
      IoCopyCurrentIrpStackLocationToNext(irp);
      return IoCallDriver(disk->self, irp);
  }
}

}  // namespace

NTSTATUS PartitionRelations(DiskExtension *disk, PDEVICE_RELATIONS *result) {
  std::lock_guard<std::mutex> guard(disk->lock);
  std::vector<PARTITION_INFORMATION_EX> used;
  for (const PARTITION_INFORMATION_EX &p : disk->layout)
    if (IsUsed(p)) used.push_back(p);
  // A device whose partition kept its place and size stays, with its
  // number brought up to date; the others leave the relations.
  std::vector<PDEVICE_OBJECT> kept;
  std::vector<bool> matched(used.size());
  std::vector<PartitionExtension *> renumbered;
  for (PDEVICE_OBJECT device : disk->partitions) {
    PartitionExtension *partition = PartitionOf(device);
    if (!partition->present) continue;
    partition->present = false;
    for (size_t i = 0; i < used.size(); ++i) {
      if (matched[i] || used[i].StartingOffset.QuadPart != partition->info.StartingOffset.QuadPart ||
          used[i].PartitionLength.QuadPart != partition->info.PartitionLength.QuadPart)
        continue;
      matched[i] = true;
      partition->present = true;
      if (used[i].PartitionNumber != partition->info.PartitionNumber) renumbered.push_back(partition);
      partition->info = used[i];
      kept.push_back(device);
      break;
    }
    if (!partition->present) DeletePartitionLink(partition);
  }
  // Links move only after every old one is gone, as numbers may swap.
  for (PartitionExtension *partition : renumbered) DeletePartitionLink(partition);
  for (PartitionExtension *partition : renumbered) SetPartitionLink(partition);
  for (size_t i = 0; i < used.size(); ++i) {
    if (matched[i]) continue;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = CreatePartition(disk, used[i], &device);
    if (!NT_SUCCESS(status)) return status;
    disk->partitions.push_back(device);
    kept.push_back(device);
  }
  size_t bytes = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + (kept.empty() ? 1 : kept.size()) * sizeof(PDEVICE_OBJECT);
  auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePool2(POOL_FLAG_PAGED, bytes, kDiskTag));
  if (!relations) return STATUS_INSUFFICIENT_RESOURCES;
  relations->Count = static_cast<ULONG>(kept.size());
  for (size_t i = 0; i < kept.size(); ++i) {
    relations->Objects[i] = kept[i];
    ObReferenceObject(kept[i]);
  }
  *result = relations;
  return STATUS_SUCCESS;
}

void DeleteAllPartitions(DiskExtension *disk) {
  std::vector<PDEVICE_OBJECT> left;
  {
    std::lock_guard<std::mutex> guard(disk->lock);
    left.swap(disk->partitions);
  }
  for (PDEVICE_OBJECT device : left) DeletePartition(PartitionOf(device));
}

NTSTATUS PartitionDispatch(PartitionExtension *partition, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
      return Pnp(partition, irp);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_SYSTEM_CONTROL: {
      NTSTATUS status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_SHUTDOWN:
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      return ReadWrite(partition, irp);
    case IRP_MJ_FLUSH_BUFFERS:
      IoCopyCurrentIrpStackLocationToNext(irp);
      return IoCallDriver(partition->disk->self, irp);
    case IRP_MJ_DEVICE_CONTROL:
      return DeviceControl(partition, irp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

}  // namespace disk
