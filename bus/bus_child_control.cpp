// Device-control requests of a child disk: disk, storage, SCSI address,
// mount-manager and volume codes, answered from the child's record.
#include "bus/bus.h"

#include <ntddscsi.h>
#include <ntddstor.h>

namespace {

// Sent by the volume stack to disks; nothing beyond success is expected.
constexpr ULONG IOCTL_BUS_VOLUME_STACK_QUERY = CTL_CODE(0x66, 6, METHOD_NEITHER, FILE_ANY_ACCESS);

// Checks the output length and zeroes the reply; *Information stays 0 when
// the buffer is too small.
NTSTATUS Reply(PIRP Irp, ULONG OutputLength, ULONG Needed, PVOID *Buffer) {
  *Buffer = Irp->AssociatedIrp.SystemBuffer;
  if (OutputLength < Needed || !*Buffer) return STATUS_BUFFER_TOO_SMALL;
  RtlZeroMemory(*Buffer, Needed);
  return STATUS_SUCCESS;
}

NTSTATUS ScsiAddress(VirtualDisk *Disk, PIRP Irp, ULONG Out, ULONG_PTR *Information) {
  PVOID buffer;
  NTSTATUS status = Reply(Irp, Out, sizeof(SCSI_ADDRESS), &buffer);
  if (NT_SUCCESS(status)) {
    auto *address = static_cast<PSCSI_ADDRESS>(buffer);
    address->Length = sizeof(SCSI_ADDRESS);
    address->Lun = static_cast<UCHAR>(Disk->Ordinal & 0xFF);
    *Information = sizeof(SCSI_ADDRESS);
  }
  return status;
}

NTSTATUS Geometry(VirtualDisk *Disk, PIRP Irp, ULONG Out, ULONG_PTR *Information) {
  PVOID buffer;
  NTSTATUS status = Reply(Irp, Out, sizeof(DISK_GEOMETRY), &buffer);
  if (NT_SUCCESS(status)) {
    RtlCopyMemory(buffer, &Disk->Geometry, sizeof(DISK_GEOMETRY));
    *Information = sizeof(DISK_GEOMETRY);
  }
  return status;
}

// The whole disk as one partition at offset 0.
NTSTATUS PartitionInfoEx(VirtualDisk *Disk, PIRP Irp, ULONG Out, ULONG_PTR *Information) {
  PVOID buffer;
  NTSTATUS status = Reply(Irp, Out, sizeof(PARTITION_INFORMATION_EX), &buffer);
  if (NT_SUCCESS(status)) {
    static_cast<PPARTITION_INFORMATION_EX>(buffer)->PartitionLength.QuadPart = static_cast<LONGLONG>(Disk->Size);
    *Information = sizeof(PARTITION_INFORMATION_EX);
  }
  return status;
}

NTSTATUS PartitionInfo(VirtualDisk *Disk, PIRP Irp, ULONG Out, ULONG_PTR *Information) {
  PVOID buffer;
  NTSTATUS status = Reply(Irp, Out, sizeof(PARTITION_INFORMATION), &buffer);
  if (NT_SUCCESS(status)) {
    static_cast<PPARTITION_INFORMATION>(buffer)->PartitionLength.QuadPart = static_cast<LONGLONG>(Disk->Size);
    *Information = sizeof(PARTITION_INFORMATION);
  }
  return status;
}

NTSTATUS LengthInfo(VirtualDisk *Disk, PIRP Irp, ULONG Out, ULONG_PTR *Information) {
  PVOID buffer;
  NTSTATUS status = Reply(Irp, Out, sizeof(GET_LENGTH_INFORMATION), &buffer);
  if (NT_SUCCESS(status)) {
    static_cast<PGET_LENGTH_INFORMATION>(buffer)->Length.QuadPart = static_cast<LONGLONG>(Disk->Size);
    *Information = sizeof(GET_LENGTH_INFORMATION);
  }
  return status;
}

NTSTATUS HotplugInfo(VirtualDisk *Disk, PIRP Irp, ULONG Out, ULONG_PTR *Information) {
  PVOID buffer;
  NTSTATUS status = Reply(Irp, Out, sizeof(STORAGE_HOTPLUG_INFO), &buffer);
  if (NT_SUCCESS(status)) {
    auto *info = static_cast<PSTORAGE_HOTPLUG_INFO>(buffer);
    info->Size = sizeof(STORAGE_HOTPLUG_INFO);
    info->MediaRemovable = BusDiskRemovable(Disk);
    info->MediaHotplug = TRUE;
    info->DeviceHotplug = TRUE;
    info->WriteCacheEnableOverride = TRUE;
    *Information = sizeof(STORAGE_HOTPLUG_INFO);
  }
  return status;
}

// Known only once the disk class driver numbered the child.
NTSTATUS DeviceNumber(VirtualDisk *Disk, PIRP Irp, ULONG Out, ULONG_PTR *Information) {
  if (!BusDiskHasState(Disk, BUS_DISK_STATE_NUMBER_KNOWN)) return STATUS_INVALID_DEVICE_STATE;
  PVOID buffer;
  NTSTATUS status = Reply(Irp, Out, sizeof(STORAGE_DEVICE_NUMBER), &buffer);
  if (NT_SUCCESS(status)) {
    auto *number = static_cast<PSTORAGE_DEVICE_NUMBER>(buffer);
    number->DeviceType = Disk->Self->DeviceType;
    number->DeviceNumber = Disk->DiskNumber;
    number->PartitionNumber = 0;
    *Information = sizeof(STORAGE_DEVICE_NUMBER);
  }
  return status;
}

// A letter link made or deleted on a removable disk: the engine re-applies
// its letters.
NTSTATUS LinkChanged(VirtualDisk *Disk) {
  if (BusDiskRemoved(Disk)) return STATUS_SUCCESS;
  DiskLetterInfo letters;
  RtlZeroMemory(&letters, sizeof(letters));
  NTSTATUS status = BusEngineQuery(Disk, BUS_QUERY_DISK_LETTERS, &letters);
  if (NT_SUCCESS(status) && letters.HasLink && letters.DriveLetter && BusDiskRemovable(Disk))
    BusEngineEvent(Disk, BUS_EVENT_LINK_CHANGED, 0);
  return STATUS_SUCCESS;
}

NTSTATUS IsIoCapable(VirtualDisk *Disk) {
  if (!BusDiskRemovable(Disk)) return STATUS_INVALID_DEVICE_REQUEST;
  return Disk->PnpState == BUS_PNP_STARTED ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS Control(VirtualDisk *Disk, PIRP Irp, PIO_STACK_LOCATION Stack, ULONG_PTR *Information) {
  ULONG out = Stack->Parameters.DeviceIoControl.OutputBufferLength;
  switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_SCSI_GET_ADDRESS:
      return ScsiAddress(Disk, Irp, out, Information);
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
      return Geometry(Disk, Irp, out, Information);
    case IOCTL_DISK_GET_PARTITION_INFO_EX:
      return PartitionInfoEx(Disk, Irp, out, Information);
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
      return BusPdoGeometryEx(Disk, Irp, out, Information);
    case IOCTL_DISK_GET_PARTITION_INFO:
      return PartitionInfo(Disk, Irp, out, Information);
    case IOCTL_DISK_GET_LENGTH_INFO:
      return LengthInfo(Disk, Irp, out, Information);
    case IOCTL_STORAGE_GET_HOTPLUG_INFO:
      return HotplugInfo(Disk, Irp, out, Information);
    case IOCTL_STORAGE_GET_DEVICE_NUMBER:
      return DeviceNumber(Disk, Irp, out, Information);
    case IOCTL_STORAGE_QUERY_PROPERTY:
      return BusPdoQueryProperty(Disk, Irp, Stack, Information);
    case IOCTL_MOUNTDEV_LINK_CREATED:
    case IOCTL_MOUNTDEV_LINK_DELETED:
      return LinkChanged(Disk);
    case IOCTL_VOLUME_SUPPORTS_ONLINE_OFFLINE:
    case IOCTL_VOLUME_IS_CLUSTERED:
    case IOCTL_BUS_VOLUME_STACK_QUERY:
      return STATUS_SUCCESS;
    case IOCTL_VOLUME_IS_OFFLINE:
      return BusDiskHasState(Disk, BUS_DISK_STATE_ONLINE) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    case IOCTL_VOLUME_IS_IO_CAPABLE:
      return IsIoCapable(Disk);
    case IOCTL_VOLUME_ONLINE:
      InterlockedOr(&Disk->StateFlags, BUS_DISK_STATE_ONLINE);
      return STATUS_SUCCESS;
    case IOCTL_VOLUME_OFFLINE:
      InterlockedAnd(&Disk->StateFlags, ~BUS_DISK_STATE_ONLINE);
      return STATUS_SUCCESS;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

}  // namespace

NTSTATUS BusPdoDeviceControl(PDEVICE_OBJECT Device, PIRP Irp) {
  VirtualDisk *disk = BusDiskOf(Device);
  NTSTATUS status = IoAcquireRemoveLock(&disk->RemoveLock, Irp);
  BOOLEAN locked = NT_SUCCESS(status);
  ULONG_PTR information = 0;
  if (locked) status = Control(disk, Irp, IoGetCurrentIrpStackLocation(Irp), &information);
  BusCompleteRequest(Irp, status, information);
  if (locked) IoReleaseRemoveLock(&disk->RemoveLock, Irp);
  return status;
}
