// The disk's own device "\Device\HarddiskN\DRk": its creation on the
// port's disk, its names, and its requests (whole-disk reads and writes,
// disk device controls, Plug and Play, power).
#include "platform/drivers/disk/disk.h"

#include <ntddstor.h>

#include <cstring>

namespace disk {

namespace {

std::u16string HarddiskDirectory(ULONG number) { return u"\\Device\\Harddisk" + Decimal(number); }
std::u16string Partition0Link(ULONG number) { return HarddiskDirectory(number) + u"\\Partition0"; }
std::u16string PhysicalDriveLink(ULONG number) { return u"\\??\\PhysicalDrive" + Decimal(number); }

void DeleteLink(const std::u16string &name) {
  UNICODE_STRING link = View(name);
  IoDeleteSymbolicLink(&link);
}

NTSTATUS CreateLink(const std::u16string &name, const std::u16string &target) {
  UNICODE_STRING link = View(name), device = View(target);
  return IoCreateSymbolicLink(&link, &device);
}

// Everything AddDevice made, in reverse; `device` may be null.
void TearDown(DiskExtension *disk, PDEVICE_OBJECT device, ULONG number) {
  if (disk) {
    if (disk->shutdownRegistered) IoUnregisterShutdownNotification(device);
    DeleteLink(PhysicalDriveLink(number));
    DeleteLink(Partition0Link(number));
    if (disk->interfaceLink.Buffer) RtlFreeUnicodeString(&disk->interfaceLink);
    if (disk->lower) IoDetachDevice(disk->lower);
    HANDLE directory = disk->directory;
    disk->~DiskExtension();
    IoDeleteDevice(device);
    if (directory) {
      ZwMakeTemporaryObject(directory);
      ZwClose(directory);
    }
  }
  ReleaseDiskNumber(number);
}

NTSTATUS ReadWrite(DiskExtension *disk, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  bool write = stack->MajorFunction == IRP_MJ_WRITE;
  LONGLONG offset = stack->Parameters.Read.ByteOffset.QuadPart;
  ULONG length = stack->Parameters.Read.Length;
  if (offset < 0 || offset % disk->sectorSize || length % disk->sectorSize)
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  if (ULONG64(offset) > disk->size || length > disk->size - ULONG64(offset))
    return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  if (write && disk->writeProtected) return Complete(irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
  if (!length) return Complete(irp, STATUS_SUCCESS, 0);
  if (!irp->MdlAddress) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  ULONG done = 0;
  NTSTATUS status = TransferSectors(disk, write, ULONG64(offset), irp->MdlAddress, 0, length, &done);
  return Complete(irp, status, done);
}

template <typename T>
NTSTATUS Reply(PIRP irp, const T &value) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(T))
    return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  memcpy(irp->AssociatedIrp.SystemBuffer, &value, sizeof(T));
  return Complete(irp, STATUS_SUCCESS, sizeof(T));
}

NTSTATUS GeometryEx(DiskExtension *disk, PIRP irp) {
  ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  constexpr ULONG kBase = FIELD_OFFSET(DISK_GEOMETRY_EX, Data);
  constexpr ULONG kWithPartition = kBase + sizeof(DISK_PARTITION_INFO);
  constexpr ULONG kWithDetection = kWithPartition + sizeof(DISK_DETECTION_INFO);
  if (room < kBase) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  auto *out = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
  ULONG length = room >= kWithDetection ? kWithDetection : room >= kWithPartition ? kWithPartition : kBase;
  memset(out, 0, length);
  auto *geometry = reinterpret_cast<PDISK_GEOMETRY_EX>(out);
  geometry->Geometry = disk->geometry;
  geometry->DiskSize.QuadPart = static_cast<LONGLONG>(disk->size);
  if (length >= kWithPartition) {
    auto *partition = reinterpret_cast<PDISK_PARTITION_INFO>(out + kBase);
    partition->SizeOfPartitionInfo = sizeof(DISK_PARTITION_INFO);
    std::lock_guard<std::mutex> guard(disk->lock);
    partition->PartitionStyle = static_cast<PARTITION_STYLE>(disk->layoutStyle);
    partition->Mbr.Signature = disk->signature;
  }
  if (length >= kWithDetection) {
    auto *detection = reinterpret_cast<PDISK_DETECTION_INFO>(out + kWithPartition);
    detection->SizeOfDetectInfo = sizeof(DISK_DETECTION_INFO);
    detection->DetectionType = DetectNone;
  }
  return Complete(irp, STATUS_SUCCESS, length);
}

PARTITION_INFORMATION_EX WholeDisk(DiskExtension *disk) {
  PARTITION_INFORMATION_EX info{};
  std::lock_guard<std::mutex> guard(disk->lock);
  info.PartitionStyle = disk->layoutStyle == PARTITION_STYLE_MBR ? PARTITION_STYLE_MBR : PARTITION_STYLE_RAW;
  info.PartitionLength.QuadPart = static_cast<LONGLONG>(disk->size);
  return info;
}

NTSTATUS GetLayout(DiskExtension *disk, PIRP irp) {
  ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
  std::lock_guard<std::mutex> guard(disk->lock);
  ULONG count = static_cast<ULONG>(disk->layout.size());
  ULONG length = FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) + count * sizeof(PARTITION_INFORMATION_EX);
  if (room < length) {
    irp->IoStatus.Status = STATUS_BUFFER_TOO_SMALL;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_BUFFER_TOO_SMALL;
  }
  auto *layout = static_cast<PDRIVE_LAYOUT_INFORMATION_EX>(irp->AssociatedIrp.SystemBuffer);
  memset(layout, 0, length);
  layout->PartitionStyle = disk->layoutStyle;
  layout->PartitionCount = count;
  layout->Mbr.Signature = disk->signature;
  for (ULONG i = 0; i < count; ++i) layout->PartitionEntry[i] = disk->layout[i];
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = length;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

// Writes the table, reads it back, and has the partitions enumerated
// again so that their devices follow the new table.
NTSTATUS SetLayout(DiskExtension *disk, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG input = stack->Parameters.DeviceIoControl.InputBufferLength;
  auto *layout = static_cast<PDRIVE_LAYOUT_INFORMATION_EX>(irp->AssociatedIrp.SystemBuffer);
  constexpr ULONG kHeader = FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
  if (input < kHeader || (input - kHeader) / sizeof(PARTITION_INFORMATION_EX) < layout->PartitionCount)
    return Complete(irp, STATUS_INFO_LENGTH_MISMATCH, 0);
  if (disk->writeProtected) return Complete(irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
  NTSTATUS status = IoWritePartitionTableEx(disk->self, layout);
  if (NT_SUCCESS(status)) status = ReadLayout(disk);
  if (NT_SUCCESS(status)) IoInvalidateDeviceRelations(disk->pdo, BusRelations);
  return Complete(irp, status, 0);
}

NTSTATUS DeviceControl(DiskExtension *disk, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_STORAGE_GET_DEVICE_NUMBER:
      return Reply(irp, STORAGE_DEVICE_NUMBER{FILE_DEVICE_DISK, disk->number, 0});
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
      return Reply(irp, disk->geometry);
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
      return GeometryEx(disk, irp);
    case IOCTL_DISK_GET_LENGTH_INFO: {
      GET_LENGTH_INFORMATION length;
      length.Length.QuadPart = static_cast<LONGLONG>(disk->size);
      return Reply(irp, length);
    }
    case IOCTL_DISK_GET_PARTITION_INFO_EX:
      return Reply(irp, WholeDisk(disk));
    case IOCTL_DISK_GET_PARTITION_INFO: {
      PARTITION_INFORMATION info{};
      info.PartitionLength.QuadPart = static_cast<LONGLONG>(disk->size);
      return Reply(irp, info);
    }
    case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
      return GetLayout(disk, irp);
    case IOCTL_DISK_SET_DRIVE_LAYOUT_EX:
      return SetLayout(disk, irp);
    case IOCTL_DISK_UPDATE_PROPERTIES: {
      NTSTATUS status = ReadLayout(disk);
      if (NT_SUCCESS(status)) IoInvalidateDeviceRelations(disk->pdo, BusRelations);
      return Complete(irp, status, 0);
    }
    case IOCTL_DISK_IS_WRITABLE:
      return Complete(irp, disk->writeProtected ? STATUS_MEDIA_WRITE_PROTECTED : STATUS_SUCCESS, 0);
    case IOCTL_DISK_EJECT_MEDIA:
    case IOCTL_STORAGE_EJECT_MEDIA:
      return Complete(irp, EjectMedia(disk), 0);
    default:
      // The port answers the rest (storage properties, SCSI, hot plug ...).
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(disk->lower, irp);
  }
}

NTSTATUS StartDisk(DiskExtension *disk) {
  NTSTATUS status = InspectUnit(disk);
  if (!NT_SUCCESS(status)) return status;
  disk->self->SectorSize = static_cast<USHORT>(disk->sectorSize);
  if (disk->removable) disk->self->Characteristics |= FILE_REMOVABLE_MEDIA;
  if (disk->writeProtected) disk->self->Characteristics |= FILE_READ_ONLY_DEVICE;
  status = ReadLayout(disk);
  if (!NT_SUCCESS(status)) return status;
  if (!disk->shutdownRegistered) disk->shutdownRegistered = NT_SUCCESS(IoRegisterShutdownNotification(disk->self));
  return IoSetDeviceInterfaceState(&disk->interfaceLink, TRUE);
}

NTSTATUS Pnp(DiskExtension *disk, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS status = ForwardAndWait(disk->lower, irp);
      if (NT_SUCCESS(status)) status = StartDisk(disk);
      IoReleaseRemoveLock(&disk->removeLock, irp);
      return Complete(irp, status, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      PDEVICE_RELATIONS relations = nullptr;
      NTSTATUS status = PartitionRelations(disk, &relations);
      if (!NT_SUCCESS(status)) {
        IoReleaseRemoveLock(&disk->removeLock, irp);
        return Complete(irp, status, 0);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      break;
    }
    case IRP_MN_SURPRISE_REMOVAL:
      IoSetDeviceInterfaceState(&disk->interfaceLink, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      IoSetDeviceInterfaceState(&disk->interfaceLink, FALSE);
      IoReleaseRemoveLockAndWait(&disk->removeLock, irp);
      DeleteAllPartitions(disk);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(disk->lower, irp);
      PDEVICE_OBJECT device = disk->self;
      TearDown(disk, device, disk->number);
      return status;
    }
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(disk->lower, irp);
  IoReleaseRemoveLock(&disk->removeLock, irp);
  return status;
}

}  // namespace

NTSTATUS ReadLayout(DiskExtension *disk) {
  PDRIVE_LAYOUT_INFORMATION_EX layout = nullptr;
  NTSTATUS status = IoReadPartitionTableEx(disk->self, &layout);
  if (!NT_SUCCESS(status)) return status;
  {
    std::lock_guard<std::mutex> guard(disk->lock);
    disk->layoutStyle = layout->PartitionStyle;
    disk->signature = layout->PartitionStyle == PARTITION_STYLE_MBR ? layout->Mbr.Signature : 0;
    disk->layout.assign(layout->PartitionEntry, layout->PartitionEntry + layout->PartitionCount);
  }
  ExFreePool(layout);
  return STATUS_SUCCESS;
}

NTSTATUS DiskAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  ULONG number = TakeDiskNumber();
  // "\Device\HarddiskN" holds the disk's device and its partitions' links.
  std::u16string directoryName = HarddiskDirectory(number);
  UNICODE_STRING directoryPath = View(directoryName);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &directoryPath, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE | OBJ_PERMANENT,
                             nullptr, nullptr);
  HANDLE directory = nullptr;
  NTSTATUS status = ZwCreateDirectoryObject(&directory, DIRECTORY_ALL_ACCESS, &attributes);
  if (!NT_SUCCESS(status)) {
    ReleaseDiskNumber(number);
    return status;
  }
  std::u16string deviceName = directoryName + u"\\DR" + Decimal(NextDiskObjectIndex());
  UNICODE_STRING name = View(deviceName);
  PDEVICE_OBJECT device = nullptr;
  status = IoCreateDevice(driver, sizeof(DiskExtension), &name, FILE_DEVICE_DISK,
                          pdo->Characteristics & FILE_REMOVABLE_MEDIA, FALSE, &device);
  if (!NT_SUCCESS(status)) {
    ZwMakeTemporaryObject(directory);
    ZwClose(directory);
    ReleaseDiskNumber(number);
    return status;
  }
  auto *disk = new (device->DeviceExtension) DiskExtension;
  disk->self = device;
  disk->pdo = pdo;
  disk->number = number;
  disk->deviceName = deviceName;
  disk->directory = directory;
  IoInitializeRemoveLock(&disk->removeLock, kDiskTag, 0, 0);
  status = IoRegisterDeviceInterface(pdo, &GUID_DEVINTERFACE_DISK, nullptr, &disk->interfaceLink);
  if (NT_SUCCESS(status)) status = CreateLink(Partition0Link(number), deviceName);
  if (NT_SUCCESS(status)) status = CreateLink(PhysicalDriveLink(number), deviceName);
  if (NT_SUCCESS(status)) {
    disk->lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!disk->lower) status = STATUS_NO_SUCH_DEVICE;
  }
  if (!NT_SUCCESS(status)) {
    TearDown(disk, device, number);
    return status;
  }
  device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  device->AlignmentRequirement = disk->lower->AlignmentRequirement;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS DiskDispatch(DiskExtension *disk, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = IoAcquireRemoveLock(&disk->removeLock, irp);
  if (!NT_SUCCESS(status)) {
    if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    return Complete(irp, status, 0);
  }
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
      return Pnp(disk, irp);  // releases the lock itself
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      status = Complete(irp, STATUS_SUCCESS, 0);
      break;
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      status = ReadWrite(disk, irp);
      break;
    case IRP_MJ_DEVICE_CONTROL:
      status = DeviceControl(disk, irp);
      break;
    case IRP_MJ_FLUSH_BUFFERS:
    case IRP_MJ_SHUTDOWN:
      status = Complete(irp, SynchronizeCache(disk), 0);
      break;
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      status = PoCallDriver(disk->lower, irp);
      break;
    case IRP_MJ_SCSI:
    case IRP_MJ_SYSTEM_CONTROL:
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(disk->lower, irp);
      break;
    default:
      status = Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      break;
  }
  IoReleaseRemoveLock(&disk->removeLock, irp);
  return status;
}

}  // namespace disk
