// The storage requests a volume's own device answers, served by its worker
// one at a time in the order they came.
#include "engine/control/notifications.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/store/volume_store.h"
#include "engine/volume/volume_device.h"
#include "engine/volume/volume_parts.h"

#include <mountdev.h>
#include <ntdddisk.h>
#include <ntddvol.h>

// The engine's own requests on a volume device: make it read-only or
// writable again (kernel callers only).
constexpr ULONG IOCTL_VOLUME_SET_READ_ONLY = CTL_CODE(IOCTL_DISK_BASE, 0x100, METHOD_NEITHER, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_VOLUME_CLEAR_READ_ONLY = CTL_CODE(IOCTL_DISK_BASE, 0x101, METHOD_NEITHER, FILE_ANY_ACCESS);

namespace {

constexpr ULONG kUniqueIdReply = FIELD_OFFSET(MOUNTDEV_UNIQUE_ID, UniqueId) + sizeof(VolumeBlock::UniqueId) + 1;
static_assert(kUniqueIdReply == 67);

struct StorageRequest {
  PIRP Irp;
  PVOID Buffer;
  ULONG InputLength;
  ULONG OutputLength;
  ULONG_PTR Information;
};

VOID FillPartition(VolumeBlock *Volume, PPARTITION_INFORMATION Partition) {
  RtlZeroMemory(Partition, sizeof(*Partition));
  Partition->StartingOffset.QuadPart = Volume->Geometry.BytesPerSector;
  Partition->PartitionLength.QuadPart = static_cast<LONGLONG>(VolumeStoreSize(Volume->Store));
  Partition->HiddenSectors = 0;
  Partition->PartitionNumber = static_cast<ULONG>(-1);
  Partition->PartitionType = 0;
  Partition->BootIndicator = FALSE;
  Partition->RecognizedPartition = TRUE;
  Partition->RewritePartition = FALSE;
}

NTSTATUS ReplyGeometry(VolumeBlock *Volume, StorageRequest *Request) {
  if (Request->OutputLength < sizeof(DISK_GEOMETRY)) return STATUS_BUFFER_TOO_SMALL;
  DISK_GEOMETRY geometry;
  geometry.Cylinders.QuadPart = Volume->Geometry.Cylinders;
  geometry.MediaType = static_cast<MEDIA_TYPE>(Volume->Geometry.MediaType);
  geometry.TracksPerCylinder = Volume->Geometry.TracksPerCylinder;
  geometry.SectorsPerTrack = Volume->Geometry.SectorsPerTrack;
  geometry.BytesPerSector = Volume->Geometry.BytesPerSector;
  RtlCopyMemory(Request->Buffer, &geometry, sizeof(geometry));
  Request->Information = sizeof(geometry);
  return STATUS_SUCCESS;
}

NTSTATUS ReplyVerify(StorageRequest *Request) {
  if (Request->InputLength < sizeof(VERIFY_INFORMATION)) return STATUS_INVALID_PARAMETER;
  VERIFY_INFORMATION verify;
  RtlCopyMemory(&verify, Request->Buffer, sizeof(verify));
  // The byte count tells how much was verified; it is no output, so a
  // caller's output buffer never receives more than it holds.
  Request->Information = (Request->OutputLength == 0 || verify.Length <= Request->OutputLength) ? verify.Length : 0;
  return STATUS_SUCCESS;
}

NTSTATUS ReplyPartitionEx(VolumeBlock *Volume, StorageRequest *Request) {
  if (Request->OutputLength < sizeof(PARTITION_INFORMATION_EX)) return STATUS_BUFFER_TOO_SMALL;
  PARTITION_INFORMATION_EX info;
  RtlZeroMemory(&info, sizeof(info));
  info.PartitionStyle = PARTITION_STYLE_MBR;
  info.StartingOffset.QuadPart = Volume->Geometry.BytesPerSector;
  info.PartitionLength.QuadPart = static_cast<LONGLONG>(VolumeStoreSize(Volume->Store));
  info.PartitionNumber = static_cast<ULONG>(-1);
  info.RewritePartition = FALSE;
  info.Mbr.PartitionType = 0;
  info.Mbr.BootIndicator = FALSE;
  info.Mbr.RecognizedPartition = TRUE;
  info.Mbr.HiddenSectors = 0;
  RtlCopyMemory(Request->Buffer, &info, sizeof(info));
  Request->Information = sizeof(info);
  return STATUS_SUCCESS;
}

NTSTATUS ReplyPartition(VolumeBlock *Volume, StorageRequest *Request) {
  if (Request->OutputLength < sizeof(PARTITION_INFORMATION)) return STATUS_BUFFER_TOO_SMALL;
  PARTITION_INFORMATION info;
  FillPartition(Volume, &info);
  RtlCopyMemory(Request->Buffer, &info, sizeof(info));
  Request->Information = sizeof(info);
  return STATUS_SUCCESS;
}

NTSTATUS ReplyLayout(VolumeBlock *Volume, StorageRequest *Request) {
  if (Request->OutputLength < sizeof(DRIVE_LAYOUT_INFORMATION)) return STATUS_BUFFER_TOO_SMALL;
  DRIVE_LAYOUT_INFORMATION layout;
  RtlZeroMemory(&layout, sizeof(layout));
  layout.PartitionCount = 1;
  layout.Signature = 0;
  FillPartition(Volume, &layout.PartitionEntry[0]);
  RtlCopyMemory(Request->Buffer, &layout, sizeof(layout));
  Request->Information = sizeof(layout);
  return STATUS_SUCCESS;
}

NTSTATUS ReplyLength(VolumeBlock *Volume, StorageRequest *Request) {
  if (Request->OutputLength < sizeof(GET_LENGTH_INFORMATION)) return STATUS_BUFFER_TOO_SMALL;
  GET_LENGTH_INFORMATION length;
  length.Length.QuadPart = static_cast<LONGLONG>(VolumeStoreSize(Volume->Store));
  RtlCopyMemory(Request->Buffer, &length, sizeof(length));
  Request->Information = sizeof(length);
  return STATUS_SUCCESS;
}

NTSTATUS ReplyCheckVerify(StorageRequest *Request) {
  if (Request->OutputLength >= sizeof(ULONG)) {
    ULONG changeCount = 0;
    RtlCopyMemory(Request->Buffer, &changeCount, sizeof(changeCount));
    Request->Information = sizeof(changeCount);
  }
  return STATUS_SUCCESS;
}

NTSTATUS ReplyUniqueId(VolumeBlock *Volume, StorageRequest *Request) {
  if (Request->OutputLength < sizeof(USHORT)) return STATUS_BUFFER_TOO_SMALL;
  auto *reply = static_cast<PMOUNTDEV_UNIQUE_ID>(Request->Buffer);
  reply->UniqueIdLength = sizeof(Volume->UniqueId);
  if (Request->OutputLength < kUniqueIdReply) {
    Request->Information = sizeof(USHORT);
    return STATUS_BUFFER_OVERFLOW;
  }
  VolumeLockNames(Volume);
  RtlCopyMemory(reply->UniqueId, Volume->UniqueId, sizeof(Volume->UniqueId));
  VolumeUnlockNames(Volume);
  Request->Information = kUniqueIdReply;
  return STATUS_SUCCESS;
}

NTSTATUS ReplyDeviceName(VolumeBlock *Volume, StorageRequest *Request) {
  PUNICODE_STRING name = Volume->DeviceName;
  if (!name) return STATUS_INVALID_DEVICE_STATE;
  if (Request->OutputLength < sizeof(USHORT)) return STATUS_BUFFER_TOO_SMALL;
  auto *reply = static_cast<PMOUNTDEV_NAME>(Request->Buffer);
  reply->NameLength = name->Length;
  if (Request->OutputLength < sizeof(USHORT) + name->Length) {
    Request->Information = sizeof(USHORT);
    return STATUS_BUFFER_OVERFLOW;
  }
  RtlCopyMemory(reply->Name, name->Buffer, name->Length);
  Request->Information = sizeof(USHORT) + name->Length;
  return STATUS_SUCCESS;
}

NTSTATUS CopySuggestedLink(VolumeBlock *Volume, StorageRequest *Request) {
  PUNICODE_STRING link = Volume->SuggestedLink;
  if (!link) return STATUS_OBJECT_NAME_NOT_FOUND;
  constexpr ULONG head = FIELD_OFFSET(MOUNTDEV_SUGGESTED_LINK_NAME, Name);
  if (Request->OutputLength < head) return STATUS_BUFFER_TOO_SMALL;
  auto *reply = static_cast<PMOUNTDEV_SUGGESTED_LINK_NAME>(Request->Buffer);
  RtlZeroMemory(reply, head);
  reply->UseOnlyIfThereAreNoOtherLinks = FALSE;
  reply->NameLength = link->Length;
  if (Request->OutputLength < head + link->Length) {
    Request->Information = head;
    return STATUS_BUFFER_OVERFLOW;
  }
  RtlCopyMemory(reply->Name, link->Buffer, link->Length);
  Request->Information = head + link->Length;
  return STATUS_SUCCESS;
}

// The link is replaced while letters change; it is copied under NameMutex.
NTSTATUS ReplySuggestedLink(VolumeBlock *Volume, StorageRequest *Request) {
  VolumeLockNames(Volume);
  NTSTATUS status = CopySuggestedLink(Volume, Request);
  VolumeUnlockNames(Volume);
  return status;
}

NTSTATUS ReplyExtents(VolumeBlock *Volume, StorageRequest *Request) {
  if (Request->OutputLength < sizeof(VOLUME_DISK_EXTENTS)) return STATUS_INVALID_PARAMETER;
  VOLUME_DISK_EXTENTS extents;
  RtlZeroMemory(&extents, sizeof(extents));
  extents.NumberOfDiskExtents = 1;
  extents.Extents[0].DiskNumber = static_cast<ULONG>(-1);
  extents.Extents[0].StartingOffset.QuadPart = 0;
  extents.Extents[0].ExtentLength.QuadPart = static_cast<LONGLONG>(VolumeStoreSize(Volume->Store));
  RtlCopyMemory(Request->Buffer, &extents, sizeof(extents));
  Request->Information = sizeof(extents);
  return STATUS_SUCCESS;
}

NTSTATUS SetReadOnly(PDEVICE_OBJECT Device, StorageRequest *Request, BOOLEAN ReadOnly) {
  if (Request->Irp->RequestorMode == UserMode) return STATUS_PRIVILEGE_NOT_HELD;
  if (ReadOnly) {
    Device->Characteristics |= FILE_READ_ONLY_DEVICE;
  } else {
    Device->Characteristics &= ~FILE_READ_ONLY_DEVICE;
  }
  return STATUS_SUCCESS;
}

NTSTATUS Answer(VolumeBlock *Volume, PDEVICE_OBJECT Device, ULONG Code, StorageRequest *Request) {
  switch (Code) {
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
    case IOCTL_DISK_GET_MEDIA_TYPES:
    case IOCTL_STORAGE_GET_MEDIA_TYPES:
      return ReplyGeometry(Volume, Request);
    case IOCTL_DISK_VERIFY:
      return ReplyVerify(Request);
    case IOCTL_DISK_IS_WRITABLE:
      return (Device->Characteristics & FILE_READ_ONLY_DEVICE) ? STATUS_MEDIA_WRITE_PROTECTED : STATUS_SUCCESS;
    case IOCTL_DISK_GET_PARTITION_INFO_EX:
      return ReplyPartitionEx(Volume, Request);
    case IOCTL_DISK_GET_PARTITION_INFO:
      return ReplyPartition(Volume, Request);
    case IOCTL_DISK_GET_DRIVE_LAYOUT:
      return ReplyLayout(Volume, Request);
    case IOCTL_DISK_GET_LENGTH_INFO:
      return ReplyLength(Volume, Request);
    case IOCTL_DISK_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY:
    case IOCTL_STORAGE_CHECK_VERIFY2:
      return ReplyCheckVerify(Request);
    case IOCTL_DISK_MEDIA_REMOVAL:
    case IOCTL_STORAGE_MEDIA_REMOVAL:
      return STATUS_SUCCESS;
    case IOCTL_DISK_EJECT_MEDIA:
    case IOCTL_STORAGE_EJECT_MEDIA:
      VolumeSetFlags(Volume, VOLUME_EJECT_REQUESTED);
      NotifyBroadcast(VolumeHandleOf(Volume), ENGINE_EVENT_EJECT_REQUESTED);
      return STATUS_SUCCESS;
    case IOCTL_DISK_SET_PARTITION_INFO:
      return Request->InputLength == 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
    case IOCTL_VOLUME_SET_READ_ONLY:
      return SetReadOnly(Device, Request, TRUE);
    case IOCTL_VOLUME_CLEAR_READ_ONLY:
      return SetReadOnly(Device, Request, FALSE);
    case IOCTL_MOUNTDEV_QUERY_UNIQUE_ID:
      return ReplyUniqueId(Volume, Request);
    case IOCTL_MOUNTDEV_QUERY_DEVICE_NAME:
      return ReplyDeviceName(Volume, Request);
    case IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME:
      return ReplySuggestedLink(Volume, Request);
    case IOCTL_MOUNTDEV_QUERY_STABLE_GUID:
      return STATUS_NOT_SUPPORTED;
    case IOCTL_MOUNTDEV_LINK_CREATED:
    case IOCTL_MOUNTDEV_LINK_DELETED:
    case IOCTL_VOLUME_ONLINE:
      return STATUS_SUCCESS;
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS:
      return ReplyExtents(Volume, Request);
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

}  // namespace

// In the volume's worker, passive level.
VOID VolumeServeRequest(VolumeBlock *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  StorageRequest request;
  request.Irp = Irp;
  request.Buffer = Irp->AssociatedIrp.SystemBuffer;
  request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  request.Information = 0;
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  NTSTATUS status;
  if (!Volume->Store) {
    // Nothing to answer from: the storage stack sees a device error.
    status = STATUS_IO_DEVICE_ERROR;
  } else if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && (request.InputLength || request.OutputLength) &&
             !request.Buffer) {
    status = STATUS_IO_DEVICE_ERROR;
  } else {
    status = Answer(Volume, stack->DeviceObject, code, &request);
  }
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = NT_ERROR(status) ? 0 : request.Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}
