// File-system controls on a FAT volume: the volume lock, dismount, the
// mounted check, and compression, which FAT does not have.
#include "platform/drivers/fat/fat_volume.h"

namespace {

VOID SetVpbLocked(FatVolume *Volume, BOOLEAN Locked) {
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
NTSTATUS Lock(FatVolume *Volume, PFILE_OBJECT File) {
  FatEnter(Volume);
  NTSTATUS status = STATUS_SUCCESS;
  if (Volume->LockedBy || Volume->HandleCount > 1)
    status = STATUS_ACCESS_DENIED;
  else {
    status = FatFlushTable(&Volume->Core);
    if (NT_SUCCESS(status)) Volume->LockedBy = File;
  }
  FatLeave(Volume);
  if (NT_SUCCESS(status)) SetVpbLocked(Volume, TRUE);
  return status;
}

NTSTATUS Unlock(FatVolume *Volume, PFILE_OBJECT File) {
  FatEnter(Volume);
  NTSTATUS status = Volume->LockedBy == File ? STATUS_SUCCESS : STATUS_NOT_LOCKED;
  if (NT_SUCCESS(status)) Volume->LockedBy = nullptr;
  FatLeave(Volume);
  if (NT_SUCCESS(status)) SetVpbLocked(Volume, FALSE);
  return status;
}

// Everything goes to the volume, then the device gets a fresh VPB so that
// the next open mounts afresh; the file objects opened through the old one
// end their requests with STATUS_VOLUME_DISMOUNTED.
NTSTATUS Dismount(FatVolume *Volume, PFILE_OBJECT File) {
  auto *fresh = static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(VPB), kFatVpbTag));
  if (!fresh) return STATUS_INSUFFICIENT_RESOURCES;
  FatEnter(Volume);
  if (Volume->LockedBy && Volume->LockedBy != File) {
    FatLeave(Volume);
    ExFreePool(fresh);
    return STATUS_ACCESS_DENIED;
  }
  FatFlushTable(&Volume->Core);
  InterlockedExchange(&Volume->Dismounted, 1);
  FatLeave(Volume);
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

}  // namespace

NTSTATUS FatFileSystemControl(FatVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction != IRP_MN_USER_FS_REQUEST) return FatComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  ULONG code = stack->Parameters.FileSystemControl.FsControlCode;
  // The lock holder may still let go of a volume it dismounted.
  if (ReadAcquire(&Volume->Dismounted) && code != FSCTL_UNLOCK_VOLUME)
    return FatComplete(Irp, STATUS_VOLUME_DISMOUNTED, 0);
  switch (code) {
    case FSCTL_LOCK_VOLUME:
      return FatComplete(Irp, Lock(Volume, stack->FileObject), 0);
    case FSCTL_UNLOCK_VOLUME:
      return FatComplete(Irp, Unlock(Volume, stack->FileObject), 0);
    case FSCTL_DISMOUNT_VOLUME:
      return FatComplete(Irp, Dismount(Volume, stack->FileObject), 0);
    case FSCTL_IS_VOLUME_MOUNTED:
      return FatComplete(Irp, STATUS_SUCCESS, 0);
    default:
      // FSCTL_SET_COMPRESSION among them.
      return FatComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}
