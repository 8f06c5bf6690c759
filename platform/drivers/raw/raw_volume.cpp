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

// Deletes the volume when no file object and no open on its way holds its
// VPB (`Creating`: the failed create's own reference still counts).
VOID RawCheckForDismount(RawVolume *Volume, BOOLEAN Creating) {
  if (FsVolumeIsUnused(Volume, Creating)) FsDeleteVolume(Volume);
}

// Nothing is cached, so there is nothing to write before a lock or at a
// dismount.
constexpr FsVolumeHooks kHooks{nullptr, nullptr};

}  // namespace

NTSTATUS RawVolumeCreate(RawVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  // Only the volume itself can be opened: it holds no files.
  if (file->FileName.Length != 0) return FsComplete(Irp, STATUS_INVALID_PARAMETER, 0);
  ACCESS_MASK access = stack->Parameters.Create.SecurityContext
                           ? stack->Parameters.Create.SecurityContext->DesiredAccess
                           : 0;
  FsEnter(Volume);
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
  FsLeave(Volume);
  if (NT_SUCCESS(status)) {
    status = FsForwardAndWait(Volume, Irp);
    if (NT_SUCCESS(status)) {
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return status;
    }
    FsEnter(Volume);
    IoRemoveShareAccess(file, &Volume->Share);
    --Volume->OpenCount;
    --Volume->HandleCount;
    FsLeave(Volume);
    Irp->IoStatus.Information = 0;
  }
  // A volume mounted for this open alone goes again when the open fails.
  FsEnter(Volume);
  BOOLEAN unused = Volume->OpenCount == 0;
  FsLeave(Volume);
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (unused) RawCheckForDismount(Volume, TRUE);
  return status;
}

NTSTATUS RawVolumeCleanup(RawVolume *Volume, PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  FsEnter(Volume);
  --Volume->HandleCount;
  IoRemoveShareAccess(file, &Volume->Share);
  BOOLEAN unlock = Volume->LockedBy == file;
  if (unlock) Volume->LockedBy = nullptr;
  FsLeave(Volume);
  // Closing the locking handle unlocks the volume.
  if (unlock) FsSetVpbLocked(Volume, FALSE);
  return FsPassDown(Volume, Irp);
}

NTSTATUS RawVolumeClose(RawVolume *Volume, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  NTSTATUS status = IoCallDriver(Volume->Target, Irp);
  FsEnter(Volume);
  BOOLEAN last = --Volume->OpenCount == 0;
  FsLeave(Volume);
  if (last) RawCheckForDismount(Volume, FALSE);
  return status;
}

NTSTATUS RawVolumeFsControl(RawVolume *Volume, PIRP Irp) {
  NTSTATUS status;
  if (FsVolumeControl(Volume, Irp, &kHooks, &status)) return status;
  return FsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// The raw volume caches nothing, so a flush is the device's alone.
NTSTATUS RawVolumeFlush(RawVolume *Volume, PIRP Irp) {
  if (ReadAcquire(&Volume->Dismounted)) return FsComplete(Irp, STATUS_VOLUME_DISMOUNTED, 0);
  return FsFlushDown(Volume, Irp);
}

// The fast path: one more hop, nothing allocated.
NTSTATUS RawVolumePassDown(RawVolume *Volume, PIRP Irp) {
  if (ReadAcquire(&Volume->Dismounted)) return FsComplete(Irp, STATUS_VOLUME_DISMOUNTED, 0);
  return FsPassDown(Volume, Irp);
}
