// File-system controls on an NTFS volume: the volume lock, dismount, the
// mounted check, and the compression of files and folders.
#include "platform/drivers/ntfs/ntfs_volume.h"

namespace {

VOID SetVpbLocked(NtfsVolume *Volume, BOOLEAN Locked) {
  KIRQL irql;
  IoAcquireVpbSpinLock(&irql);
  if (Locked)
    Volume->Vpb->Flags |= VPB_LOCKED;
  else
    Volume->Vpb->Flags &= ~VPB_LOCKED;
  IoReleaseVpbSpinLock(irql);
}

// Only the one handle may be open on a volume that is locked: a file open
// anywhere on it refuses the lock.
NTSTATUS Lock(NtfsVolume *Volume, PFILE_OBJECT File) {
  NtfsEnter(Volume);
  NTSTATUS status = STATUS_SUCCESS;
  if (Volume->LockedBy || Volume->HandleCount > 1)
    status = STATUS_ACCESS_DENIED;
  else {
    status = NtfsStatus(NtfsLibFlush(Volume->Lib));
    if (NT_SUCCESS(status)) Volume->LockedBy = File;
  }
  NtfsLeave(Volume);
  if (NT_SUCCESS(status)) SetVpbLocked(Volume, TRUE);
  return status;
}

NTSTATUS Unlock(NtfsVolume *Volume, PFILE_OBJECT File) {
  NtfsEnter(Volume);
  NTSTATUS status = Volume->LockedBy == File ? STATUS_SUCCESS : STATUS_NOT_LOCKED;
  if (NT_SUCCESS(status)) Volume->LockedBy = nullptr;
  NtfsLeave(Volume);
  if (NT_SUCCESS(status)) SetVpbLocked(Volume, FALSE);
  return status;
}

// The library lets the volume go (everything written), then the device
// gets a fresh VPB so that the next open mounts afresh and sees whatever
// the volume holds by then; the file objects opened through the old one
// end their requests with STATUS_VOLUME_DISMOUNTED.
NTSTATUS Dismount(NtfsVolume *Volume, PFILE_OBJECT File) {
  auto *fresh = static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(VPB), kNtfsVpbTag));
  if (!fresh) return STATUS_INSUFFICIENT_RESOURCES;
  NtfsEnter(Volume);
  if (Volume->LockedBy && Volume->LockedBy != File) {
    NtfsLeave(Volume);
    ExFreePool(fresh);
    return STATUS_ACCESS_DENIED;
  }
  NtfsReleaseLibrary(Volume);
  InterlockedExchange(&Volume->Dismounted, 1);
  NtfsLeave(Volume);
  RtlZeroMemory(fresh, sizeof(VPB));
  fresh->Type = IO_TYPE_VPB;
  fresh->Size = sizeof(VPB);
  KIRQL irql;
  IoAcquireVpbSpinLock(&irql);
  PDEVICE_OBJECT real = Volume->Vpb->RealDevice;
  fresh->RealDevice = real;
  if (!Volume->OwnsVpb && real->Vpb == Volume->Vpb) {
    real->Vpb = fresh;
    fresh = nullptr;
    Volume->OwnsVpb = TRUE;
  }
  Volume->Vpb->Flags &= ~VPB_MOUNTED;
  IoReleaseVpbSpinLock(irql);
  if (fresh) ExFreePool(fresh);
  return STATUS_SUCCESS;
}

NTSTATUS SetCompression(NtfsVolume *Volume, PIO_STACK_LOCATION Stack, PVOID Buffer) {
  auto *fcb = static_cast<NtfsFcb *>(Stack->FileObject->FsContext);
  if (!fcb) return STATUS_INVALID_PARAMETER;
  if (Stack->Parameters.FileSystemControl.InputBufferLength < sizeof(USHORT) || !Buffer)
    return STATUS_INVALID_PARAMETER;
  USHORT format = *static_cast<PUSHORT>(Buffer);
  if (format != COMPRESSION_FORMAT_NONE && format != COMPRESSION_FORMAT_DEFAULT && format != COMPRESSION_FORMAT_LZNT1)
    return STATUS_INVALID_PARAMETER;
  NtfsEnter(Volume);
  NTSTATUS status = NtfsStatus(NtfsLibSetCompression(Volume->Lib, fcb->Inode, format != COMPRESSION_FORMAT_NONE));
  NtfsLeave(Volume);
  return status;
}

NTSTATUS GetCompression(NtfsVolume *Volume, PIO_STACK_LOCATION Stack, PVOID Buffer, ULONG_PTR *Information) {
  auto *fcb = static_cast<NtfsFcb *>(Stack->FileObject->FsContext);
  if (!fcb) return STATUS_INVALID_PARAMETER;
  if (Stack->Parameters.FileSystemControl.OutputBufferLength < sizeof(USHORT) || !Buffer)
    return STATUS_BUFFER_TOO_SMALL;
  NtfsEnter(Volume);
  NtfsLibInfo info;
  NTSTATUS status = NtfsStatus(NtfsLibStat(Volume->Lib, fcb->Inode, &info));
  NtfsLeave(Volume);
  if (!NT_SUCCESS(status)) return status;
  *static_cast<PUSHORT>(Buffer) =
      (info.Attributes & FILE_ATTRIBUTE_COMPRESSED) ? COMPRESSION_FORMAT_LZNT1 : COMPRESSION_FORMAT_NONE;
  *Information = sizeof(USHORT);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NtfsFileSystemControl(NtfsVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction != IRP_MN_USER_FS_REQUEST) return NtfsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  ULONG code = stack->Parameters.FileSystemControl.FsControlCode;
  // The lock holder may still let go of a volume it dismounted.
  if (ReadAcquire(&Volume->Dismounted) && code != FSCTL_UNLOCK_VOLUME)
    return NtfsComplete(Irp, STATUS_VOLUME_DISMOUNTED, 0);
  ULONG_PTR information = 0;
  switch (code) {
    case FSCTL_LOCK_VOLUME:
      return NtfsComplete(Irp, Lock(Volume, stack->FileObject), 0);
    case FSCTL_UNLOCK_VOLUME:
      return NtfsComplete(Irp, Unlock(Volume, stack->FileObject), 0);
    case FSCTL_DISMOUNT_VOLUME:
      return NtfsComplete(Irp, Dismount(Volume, stack->FileObject), 0);
    case FSCTL_IS_VOLUME_MOUNTED:
      return NtfsComplete(Irp, STATUS_SUCCESS, 0);
    case FSCTL_SET_COMPRESSION:
      return NtfsComplete(Irp, SetCompression(Volume, stack, Irp->AssociatedIrp.SystemBuffer), 0);
    case FSCTL_GET_COMPRESSION: {
      NTSTATUS status = GetCompression(Volume, stack, Irp->AssociatedIrp.SystemBuffer, &information);
      return NtfsComplete(Irp, status, information);
    }
    default:
      return NtfsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}
