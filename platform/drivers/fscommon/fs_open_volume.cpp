// The create, cleanup and close requests on a volume: opens of the volume
// itself, the volume's counts that keep it mounted, and the lock that a
// cleanup of the locking handle lets go.
#include "platform/drivers/fscommon/fs_open.h"

namespace {

// The volume itself, opened with its own share access: the volume is no
// folder (its root is, named by a backslash).
NTSTATUS OpenVolume(FsVolume *Volume, PIO_STACK_LOCATION Stack, const FsFileSystem *Fs) {
  PFILE_OBJECT file = Stack->FileObject;
  ACCESS_MASK access = Stack->Parameters.Create.SecurityContext
                           ? Stack->Parameters.Create.SecurityContext->DesiredAccess
                           : 0;
  if (Stack->Parameters.Create.Options & FILE_DIRECTORY_FILE) return STATUS_NOT_A_DIRECTORY;
  NTSTATUS status =
      IoCheckShareAccess(access, Stack->Parameters.Create.ShareAccess, file, &Volume->Share, TRUE);
  if (!NT_SUCCESS(status)) return status;
  auto *ccb = static_cast<FsCcb *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, Fs->CcbSize, Fs->Tag));
  if (!ccb) {
    IoRemoveShareAccess(file, &Volume->Share);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(ccb, Fs->CcbSize);
  ccb->VolumeOpen = TRUE;
  file->FsContext = nullptr;
  file->FsContext2 = ccb;
  file->Flags |= FO_VOLUME_OPEN;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS FsCreate(FsVolume *Volume, PIRP Irp, const FsFileSystem *Fs) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  ULONG_PTR information = 0;
  BOOLEAN volumeOpen = file->FileName.Length == 0 && !file->RelatedFileObject;
  FsEnter(Volume);
  NTSTATUS status;
  if (Volume->Dismounted || (Fs->ContentsGone && Fs->ContentsGone(Volume)))
    status = STATUS_VOLUME_DISMOUNTED;
  else if (Volume->LockedBy)
    status = STATUS_ACCESS_DENIED;
  else if (volumeOpen)
    status = OpenVolume(Volume, stack, Fs), information = FILE_OPENED;
  else
    status = Fs->OpenPath(Volume, Irp, &information);
  if (NT_SUCCESS(status)) {
    ++Volume->OpenCount;
    ++Volume->HandleCount;
  }
  FsLeave(Volume);
  // The volume's own device has its say on who opens the volume itself, as
  // with the raw file system: counted above first, so that a lock cannot
  // slip in between, and taken back when the device refuses.
  if (NT_SUCCESS(status) && volumeOpen) {
    status = FsForwardAndWait(Volume, Irp);
    if (!NT_SUCCESS(status)) {
      FsEnter(Volume);
      IoRemoveShareAccess(file, &Volume->Share);
      ExFreePoolWithTag(file->FsContext2, Fs->Tag);
      file->FsContext2 = nullptr;
      file->Flags &= ~FO_VOLUME_OPEN;
      --Volume->OpenCount;
      --Volume->HandleCount;
      FsLeave(Volume);
      information = 0;
    }
  }
  FsEnter(Volume);
  BOOLEAN unused = Volume->OpenCount == 0;
  FsLeave(Volume);
  FsComplete(Irp, status, information);
  // A volume mounted for this open alone goes again when the open fails.
  if (unused) Fs->CheckForDismount(Volume, TRUE);
  return status;
}

NTSTATUS FsCleanup(FsVolume *Volume, PIRP Irp, const FsFileSystem *Fs) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  auto *ccb = static_cast<FsCcb *>(file->FsContext2);
  BOOLEAN onVolume = file->FsContext == nullptr;
  FsEnter(Volume);
  --Volume->HandleCount;
  BOOLEAN unlock = FALSE;
  if (onVolume) {
    IoRemoveShareAccess(file, &Volume->Share);
    unlock = Volume->LockedBy == file;
    if (unlock) Volume->LockedBy = nullptr;
  } else {
    Fs->CleanupFile(Volume, file, ccb);
  }
  FsLeave(Volume);
  // Closing the locking handle unlocks the volume.
  if (unlock) FsSetVpbLocked(Volume, FALSE);
  // The device saw the volume open, so it sees its cleanup too.
  if (onVolume && ccb && ccb->VolumeOpen) return FsPassDown(Volume, Irp);
  return FsComplete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS FsClose(FsVolume *Volume, PIRP Irp, const FsFileSystem *Fs) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  PVOID fcb = file->FsContext;
  auto *ccb = static_cast<FsCcb *>(file->FsContext2);
  BOOLEAN volumeOpen = !fcb && ccb && ccb->VolumeOpen;
  FsEnter(Volume);
  if (fcb) Fs->ReleaseFcb(fcb);
  if (ccb) {
    if (ccb->Pattern) ExFreePoolWithTag(ccb->Pattern, Fs->Tag);
    ExFreePoolWithTag(ccb, Fs->Tag);
  }
  file->FsContext = nullptr;
  file->FsContext2 = nullptr;
  BOOLEAN last = --Volume->OpenCount == 0;
  FsLeave(Volume);
  NTSTATUS status = STATUS_SUCCESS;
  if (volumeOpen)
    status = FsPassDown(Volume, Irp);
  else
    FsComplete(Irp, STATUS_SUCCESS, 0);
  if (last) Fs->CheckForDismount(Volume, FALSE);
  return status;
}
