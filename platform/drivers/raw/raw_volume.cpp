// A raw volume: opens with share access and the volume lock, the lock,
// unlock and dismount requests, and everything else passed down.
//
// Opens, cleanups and closes go down to the volume's device too: the
// device's own create rules (offline volumes, per-session admission, open
// counts, read-only media) keep deciding as they do for a device opened
// without a file system, and the device sees every close of what it admitted.
//
// A raw volume lives while file objects are open on it: the close of the
// last one, when the VPB holds no other reference, deletes the volume device
// and leaves the device unmounted, so that nothing keeps the device (or its
// driver) once its users are gone.
#include "platform/drivers/raw/raw_volume.h"

namespace {

// Sends the IRP down as it is and waits for the device's answer; the IRP is
// still ours afterwards.
IO_COMPLETION_ROUTINE RawSignalCompletion;
NTSTATUS RawSignalCompletion(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS RawForwardAndWait(RawVolume *Volume, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, RawSignalCompletion, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Volume->Target, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = Irp->IoStatus.Status;
  }
  return status;
}

// Deletes the volume when no file object and no open on its way holds its
// VPB (`Creating`: the failed create's own reference still counts). The
// device's current VPB goes back to unmounted; one swapped out at dismount
// goes with the volume.
VOID RawCheckForDismount(RawVolume *Volume, BOOLEAN Creating) {
  KIRQL irql;
  IoAcquireVpbSpinLock(&irql);
  BOOLEAN remove = Volume->Vpb->ReferenceCount == (Creating ? 1u : 0u);
  if (remove && !Volume->OwnsVpb) {
    Volume->Vpb->DeviceObject = nullptr;
    Volume->Vpb->Flags &= ~(VPB_MOUNTED | VPB_LOCKED);
  }
  IoReleaseVpbSpinLock(irql);
  if (!remove) return;
  if (Volume->OwnsVpb) ExFreePool(Volume->Vpb);
  ObDereferenceObject(Volume->Target);
  IoDeleteDevice(Volume->Self);
}

VOID RawSetVpbLocked(RawVolume *Volume, BOOLEAN Locked) {
  KIRQL irql;
  IoAcquireVpbSpinLock(&irql);
  if (Locked)
    Volume->Vpb->Flags |= VPB_LOCKED;
  else
    Volume->Vpb->Flags &= ~VPB_LOCKED;
  IoReleaseVpbSpinLock(irql);
}

// Only the one handle may be open on a volume that is locked.
NTSTATUS RawLockVolume(RawVolume *Volume, PFILE_OBJECT File) {
  ExAcquireFastMutex(&Volume->Lock);
  NTSTATUS status = STATUS_SUCCESS;
  if (Volume->LockedBy || Volume->HandleCount > 1)
    status = STATUS_ACCESS_DENIED;
  else
    Volume->LockedBy = File;
  ExReleaseFastMutex(&Volume->Lock);
  if (NT_SUCCESS(status)) RawSetVpbLocked(Volume, TRUE);
  return status;
}

NTSTATUS RawUnlockVolume(RawVolume *Volume, PFILE_OBJECT File) {
  ExAcquireFastMutex(&Volume->Lock);
  NTSTATUS status = Volume->LockedBy == File ? STATUS_SUCCESS : STATUS_NOT_LOCKED;
  if (NT_SUCCESS(status)) Volume->LockedBy = nullptr;
  ExReleaseFastMutex(&Volume->Lock);
  if (NT_SUCCESS(status)) RawSetVpbLocked(Volume, FALSE);
  return status;
}

// The device gets a fresh VPB, so the next open mounts afresh; this volume
// keeps the old one with the file objects opened through it, whose requests
// end with STATUS_VOLUME_DISMOUNTED from now on.
NTSTATUS RawDismountVolume(RawVolume *Volume, PFILE_OBJECT File) {
  auto *fresh = static_cast<PVPB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(VPB), kVpbTag));
  if (!fresh) return STATUS_INSUFFICIENT_RESOURCES;
  ExAcquireFastMutex(&Volume->Lock);
  if (Volume->LockedBy && Volume->LockedBy != File) {
    ExReleaseFastMutex(&Volume->Lock);
    ExFreePool(fresh);
    return STATUS_ACCESS_DENIED;
  }
  InterlockedExchange(&Volume->Dismounted, 1);
  ExReleaseFastMutex(&Volume->Lock);
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

NTSTATUS RawVolumeCreate(RawVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  // Only the volume itself can be opened: it holds no files.
  if (file->FileName.Length != 0) return RawComplete(Irp, STATUS_INVALID_PARAMETER, 0);
  ACCESS_MASK access = stack->Parameters.Create.SecurityContext
                           ? stack->Parameters.Create.SecurityContext->DesiredAccess
                           : 0;
  ExAcquireFastMutex(&Volume->Lock);
  NTSTATUS status = STATUS_SUCCESS;
  if (Volume->Dismounted)
    status = STATUS_VOLUME_DISMOUNTED;
  else if (Volume->LockedBy)
    status = STATUS_ACCESS_DENIED;
  else
    status = IoCheckShareAccess(access, stack->Parameters.Create.ShareAccess, file, &Volume->Share, TRUE);
  if (NT_SUCCESS(status)) {
    // Counted before the device answers, so that a lock cannot slip in
    // between; taken back when the device refuses.
    ++Volume->OpenCount;
    ++Volume->HandleCount;
  }
  ExReleaseFastMutex(&Volume->Lock);
  if (NT_SUCCESS(status)) {
    status = RawForwardAndWait(Volume, Irp);
    if (NT_SUCCESS(status)) {
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return status;
    }
    ExAcquireFastMutex(&Volume->Lock);
    IoRemoveShareAccess(file, &Volume->Share);
    --Volume->OpenCount;
    --Volume->HandleCount;
    ExReleaseFastMutex(&Volume->Lock);
    Irp->IoStatus.Information = 0;
  }
  // A volume mounted for this open alone goes again when the open fails.
  ExAcquireFastMutex(&Volume->Lock);
  BOOLEAN unused = Volume->OpenCount == 0;
  ExReleaseFastMutex(&Volume->Lock);
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (unused) RawCheckForDismount(Volume, TRUE);
  return status;
}

NTSTATUS RawVolumeCleanup(RawVolume *Volume, PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  ExAcquireFastMutex(&Volume->Lock);
  --Volume->HandleCount;
  IoRemoveShareAccess(file, &Volume->Share);
  BOOLEAN unlock = Volume->LockedBy == file;
  if (unlock) Volume->LockedBy = nullptr;
  ExReleaseFastMutex(&Volume->Lock);
  // Closing the locking handle unlocks the volume.
  if (unlock) RawSetVpbLocked(Volume, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return IoCallDriver(Volume->Target, Irp);
}

NTSTATUS RawVolumeClose(RawVolume *Volume, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  NTSTATUS status = IoCallDriver(Volume->Target, Irp);
  ExAcquireFastMutex(&Volume->Lock);
  BOOLEAN last = --Volume->OpenCount == 0;
  ExReleaseFastMutex(&Volume->Lock);
  if (last) RawCheckForDismount(Volume, FALSE);
  return status;
}

NTSTATUS RawVolumeFsControl(RawVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction != IRP_MN_USER_FS_REQUEST) return RawComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  ULONG code = stack->Parameters.FileSystemControl.FsControlCode;
  // The lock holder may still let go of a volume it dismounted.
  if (Volume->Dismounted && code != FSCTL_UNLOCK_VOLUME) return RawComplete(Irp, STATUS_VOLUME_DISMOUNTED, 0);
  switch (code) {
    case FSCTL_LOCK_VOLUME:
      return RawComplete(Irp, RawLockVolume(Volume, stack->FileObject), 0);
    case FSCTL_UNLOCK_VOLUME:
      return RawComplete(Irp, RawUnlockVolume(Volume, stack->FileObject), 0);
    case FSCTL_DISMOUNT_VOLUME:
      return RawComplete(Irp, RawDismountVolume(Volume, stack->FileObject), 0);
    case FSCTL_IS_VOLUME_MOUNTED:
      return RawComplete(Irp, STATUS_SUCCESS, 0);
    default:
      return RawComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

namespace {

// The raw volume caches nothing: a device that knows no flush has nothing
// to flush either.
IO_COMPLETION_ROUTINE RawFlushCompletion;
NTSTATUS RawFlushCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID) {
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  if (Irp->IoStatus.Status == STATUS_INVALID_DEVICE_REQUEST) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
  }
  return STATUS_CONTINUE_COMPLETION;
}

}  // namespace

NTSTATUS RawVolumeFlush(RawVolume *Volume, PIRP Irp) {
  if (ReadAcquire(&Volume->Dismounted)) return RawComplete(Irp, STATUS_VOLUME_DISMOUNTED, 0);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, RawFlushCompletion, nullptr, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Volume->Target, Irp);
  return status == STATUS_INVALID_DEVICE_REQUEST ? STATUS_SUCCESS : status;
}

// The fast path: one more hop, nothing allocated.
NTSTATUS RawVolumePassDown(RawVolume *Volume, PIRP Irp) {
  if (ReadAcquire(&Volume->Dismounted)) return RawComplete(Irp, STATUS_VOLUME_DISMOUNTED, 0);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return IoCallDriver(Volume->Target, Irp);
}
