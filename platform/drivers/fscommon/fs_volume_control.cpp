// The volume lock, unlock and dismount: only the one handle may be open on
// a locked volume, and a dismounted volume gives its device a fresh VPB.
#include "platform/drivers/fscommon/fs_volume.h"

namespace {

// A file open anywhere on the volume refuses the lock.
NTSTATUS Lock(FsVolume *Volume, PFILE_OBJECT File, const FsVolumeHooks *Hooks) {
  FsEnter(Volume);
  NTSTATUS status = STATUS_SUCCESS;
  if (Volume->LockedBy || Volume->HandleCount > 1)
    status = STATUS_ACCESS_DENIED;
  else {
    if (Hooks->Flush) status = Hooks->Flush(Volume);
    if (NT_SUCCESS(status)) Volume->LockedBy = File;
  }
  FsLeave(Volume);
  if (NT_SUCCESS(status)) FsSetVpbLocked(Volume, TRUE);
  return status;
}

NTSTATUS Unlock(FsVolume *Volume, PFILE_OBJECT File) {
  FsEnter(Volume);
  NTSTATUS status = Volume->LockedBy == File ? STATUS_SUCCESS : STATUS_NOT_LOCKED;
  if (NT_SUCCESS(status)) Volume->LockedBy = nullptr;
  FsLeave(Volume);
  if (NT_SUCCESS(status)) FsSetVpbLocked(Volume, FALSE);
  return status;
}

// The file system lets the volume go, then the device gets a fresh VPB so
// that the next open mounts afresh and sees whatever the volume holds by
// then; this volume keeps the old one with the file objects opened through
// it, whose requests end with STATUS_VOLUME_DISMOUNTED from now on.
NTSTATUS Dismount(FsVolume *Volume, PFILE_OBJECT File, const FsVolumeHooks *Hooks) {
  auto *fresh = static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(VPB), kFsVpbTag));
  if (!fresh) return STATUS_INSUFFICIENT_RESOURCES;
  FsEnter(Volume);
  if (Volume->LockedBy && Volume->LockedBy != File) {
    FsLeave(Volume);
    ExFreePool(fresh);
    return STATUS_ACCESS_DENIED;
  }
  if (Hooks->Dismount) Hooks->Dismount(Volume);
  InterlockedExchange(&Volume->Dismounted, 1);
  FsLeave(Volume);
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

BOOLEAN FsVolumeControl(FsVolume *Volume, PIRP Irp, const FsVolumeHooks *Hooks, NTSTATUS *Status) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status;
  if (stack->MinorFunction != IRP_MN_USER_FS_REQUEST) {
    status = STATUS_INVALID_DEVICE_REQUEST;
  } else {
    ULONG code = stack->Parameters.FileSystemControl.FsControlCode;
    // The lock holder may still let go of a volume it dismounted.
    if (ReadAcquire(&Volume->Dismounted) && code != FSCTL_UNLOCK_VOLUME)
      status = STATUS_VOLUME_DISMOUNTED;
    else if (code == FSCTL_LOCK_VOLUME)
      status = Lock(Volume, stack->FileObject, Hooks);
    else if (code == FSCTL_UNLOCK_VOLUME)
      status = Unlock(Volume, stack->FileObject);
    else if (code == FSCTL_DISMOUNT_VOLUME)
      status = Dismount(Volume, stack->FileObject, Hooks);
    else if (code == FSCTL_IS_VOLUME_MOUNTED)
      status = STATUS_SUCCESS;
    else
      return FALSE;
  }
  *Status = FsComplete(Irp, status, 0);
  return TRUE;
}
