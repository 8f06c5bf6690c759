// Opens, cleanups and closes: the volume itself, the root, files and
// folders by path with every create disposition, share access per file,
// delete-on-close, and the parent of a path for renames.
#include "platform/drivers/ntfs/ntfs_volume.h"

namespace {

constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

NtfsCcb *NewCcb() {
  auto *ccb = static_cast<NtfsCcb *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(NtfsCcb), kNtfsTag));
  if (ccb) RtlZeroMemory(ccb, sizeof *ccb);
  return ccb;
}

NTSTATUS OpenVolume(NtfsVolume *Volume, PIO_STACK_LOCATION Stack, ACCESS_MASK Access) {
  PFILE_OBJECT file = Stack->FileObject;
  if (Stack->Parameters.Create.Options & FILE_DIRECTORY_FILE) return STATUS_NOT_A_DIRECTORY;
  NTSTATUS status = IoCheckShareAccess(Access, Stack->Parameters.Create.ShareAccess, file, &Volume->Share, TRUE);
  if (!NT_SUCCESS(status)) return status;
  NtfsCcb *ccb = NewCcb();
  if (!ccb) {
    IoRemoveShareAccess(file, &Volume->Share);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ccb->VolumeOpen = TRUE;
  file->FsContext = nullptr;
  file->FsContext2 = ccb;
  file->Flags |= FO_VOLUME_OPEN;
  return STATUS_SUCCESS;
}

NTSTATUS TakeShare(NtfsFcb *Fcb, PIO_STACK_LOCATION Stack, ACCESS_MASK Access) {
  PFILE_OBJECT file = Stack->FileObject;
  USHORT share = Stack->Parameters.Create.ShareAccess;
  if (Fcb->Handles == 0) {
    IoSetShareAccess(Access, share, file, &Fcb->Share);
    return STATUS_SUCCESS;
  }
  return IoCheckShareAccess(Access, share, file, &Fcb->Share, TRUE);
}

BOOLEAN Overwrites(ULONG Disposition) {
  return Disposition == FILE_OVERWRITE || Disposition == FILE_OVERWRITE_IF || Disposition == FILE_SUPERSEDE;
}

// An existing file or folder, found as Info says.
NTSTATUS OpenExisting(NtfsVolume *Volume, PIO_STACK_LOCATION Stack, NtfsFcb *Parent, const NtfsLibInfo *Info,
                      PCWSTR Found, USHORT FoundLength, ACCESS_MASK Access, NtfsFcb **Out, ULONG_PTR *Information) {
  ULONG options = Stack->Parameters.Create.Options & 0x00FFFFFF;
  ULONG disposition = Stack->Parameters.Create.Options >> 24;
  BOOLEAN wantDirectory = (options & FILE_DIRECTORY_FILE) != 0;
  BOOLEAN wantFile = (options & FILE_NON_DIRECTORY_FILE) != 0;
  BOOLEAN readOnly = (Info->Attributes & kNtfsAttrReadOnly) != 0;
  NtfsFcb *fcb = nullptr;
  NTSTATUS status = NtfsFcbFor(Volume, Parent, Info->Inode, Info->Directory, Found, FoundLength, &fcb);
  if (!NT_SUCCESS(status)) return status;
  if (disposition == FILE_CREATE) status = STATUS_OBJECT_NAME_COLLISION;
  else if (fcb->DeletePending) status = STATUS_DELETE_PENDING;
  else if (wantDirectory && !Info->Directory) status = STATUS_NOT_A_DIRECTORY;
  else if (wantFile && Info->Directory) status = STATUS_FILE_IS_A_DIRECTORY;
  else if (Info->Directory && disposition != FILE_OPEN && disposition != FILE_OPEN_IF) status = STATUS_OBJECT_NAME_COLLISION;
  else if (!Info->Directory && readOnly && ((Access & kWriteAccess) || Overwrites(disposition))) status = STATUS_ACCESS_DENIED;
  else if (readOnly && (options & FILE_DELETE_ON_CLOSE)) status = STATUS_CANNOT_DELETE;
  if (NT_SUCCESS(status)) status = TakeShare(fcb, Stack, Access);
  if (!NT_SUCCESS(status)) {
    NtfsReleaseFcb(fcb);
    return status;
  }
  *Information = FILE_OPENED;
  if (Overwrites(disposition)) {
    // The data goes; the new attributes join the old ones.
    int error = NtfsLibSetSize(Volume->Lib, fcb->Inode, 0);
    if (!error) {
      ULONG keep = Info->Attributes & ~(kNtfsAttrNormal | kNtfsAttrDirectory);
      ULONG add = Stack->Parameters.Create.FileAttributes & (kNtfsAttrHidden | kNtfsAttrSystem | kNtfsAttrReadOnly);
      error = NtfsLibSetBasic(Volume->Lib, fcb->Inode, 0, 0, 0, 0, keep | add | kNtfsAttrArchive);
    }
    if (error) {
      IoRemoveShareAccess(Stack->FileObject, &fcb->Share);
      NtfsReleaseFcb(fcb);
      return NtfsStatus(error);
    }
    *Information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
  }
  *Out = fcb;
  return STATUS_SUCCESS;
}

NTSTATUS OpenPath(NtfsVolume *Volume, PIRP Irp, ULONG_PTR *Information) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  ULONG options = stack->Parameters.Create.Options & 0x00FFFFFF;
  ULONG disposition = stack->Parameters.Create.Options >> 24;
  ACCESS_MASK access = stack->Parameters.Create.SecurityContext ? stack->Parameters.Create.SecurityContext->DesiredAccess : 0;
  BOOLEAN wantDirectory = (options & FILE_DIRECTORY_FILE) != 0;
  BOOLEAN wantFile = (options & FILE_NON_DIRECTORY_FILE) != 0;
  BOOLEAN targetDirectory = (stack->Flags & SL_OPEN_TARGET_DIRECTORY) != 0;
  if (disposition > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
  if (wantDirectory && wantFile) return STATUS_INVALID_PARAMETER;

  PCWSTR path = file->FileName.Buffer;
  USHORT length = static_cast<USHORT>(file->FileName.Length / sizeof(WCHAR));
  NtfsFcb *start = nullptr;
  if (file->RelatedFileObject && file->RelatedFileObject->FsContext) {
    start = static_cast<NtfsFcb *>(file->RelatedFileObject->FsContext);
    if (!start->Directory) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (length && path[0] == u'\\') return STATUS_OBJECT_NAME_INVALID;
  } else if (length == 0 || path[0] != u'\\') {
    return STATUS_OBJECT_NAME_INVALID;
  }
  // A trailing backslash names a folder.
  if (length > 1 && path[length - 1] == u'\\') {
    --length;
    if (wantFile) return STATUS_OBJECT_NAME_INVALID;
    wantDirectory = TRUE;
  }
  NtfsFcb *fcb = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  *Information = 0;
  if ((start == nullptr && length == 1) || (start && length == 0)) {
    // The root, or the related folder itself.
    fcb = start ? start : Volume->Root;
    ++fcb->References;
    if (targetDirectory) status = STATUS_OBJECT_NAME_INVALID;
    else if (wantFile) status = STATUS_FILE_IS_A_DIRECTORY;
    else if (disposition != FILE_OPEN && disposition != FILE_OPEN_IF) status = STATUS_OBJECT_NAME_COLLISION;
    if (NT_SUCCESS(status)) status = TakeShare(fcb, stack, access);
    if (!NT_SUCCESS(status)) {
      NtfsReleaseFcb(fcb);
      fcb = nullptr;
    }
    *Information = FILE_OPENED;
  } else {
    NtfsFcb *parent = nullptr;
    PCWSTR name = nullptr;
    USHORT nameLength = 0;
    status = NtfsWalkToParent(Volume, start, path, length, &parent, &name, &nameLength);
    if (NT_SUCCESS(status) && !NtfsLibNameIsValid(name, nameLength)) status = STATUS_OBJECT_NAME_INVALID;
    if (!NT_SUCCESS(status)) {
      if (parent) NtfsReleaseFcb(parent);
      return status;
    }
    auto *found = static_cast<PWCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, kNtfsMaxName * sizeof(WCHAR), kNtfsTag));
    if (!found) {
      NtfsReleaseFcb(parent);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    NtfsLibInfo info;
    USHORT foundLength = 0;
    int error = NtfsLibLookup(Volume->Lib, parent->Inode, name, nameLength, &info, found, &foundLength);
    status = NtfsStatus(error);
    BOOLEAN exists = error == 0;
    if (!exists && status != STATUS_OBJECT_NAME_NOT_FOUND) {
      // A read failure of the folder.
    } else if (targetDirectory) {
      // The folder the name would go in; the file object keeps the last
      // component as its name, which a rename takes as the new name.
      fcb = parent;
      parent = nullptr;
      RtlMoveMemory(file->FileName.Buffer, name, nameLength * sizeof(WCHAR));
      file->FileName.Length = static_cast<USHORT>(nameLength * sizeof(WCHAR));
      *Information = exists ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
      status = TakeShare(fcb, stack, access);
      if (!NT_SUCCESS(status)) {
        NtfsReleaseFcb(fcb);
        fcb = nullptr;
      }
    } else if (exists) {
      status = OpenExisting(Volume, stack, parent, &info, found, foundLength, access, &fcb, Information);
    } else if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
      status = STATUS_OBJECT_NAME_NOT_FOUND;
    } else if (parent->DeletePending) {
      status = STATUS_DELETE_PENDING;
    } else {
      error = NtfsLibCreate(Volume->Lib, parent->Inode, name, nameLength, wantDirectory,
                            stack->Parameters.Create.FileAttributes, &info);
      status = NtfsStatus(error);
      if (NT_SUCCESS(status)) status = NtfsFcbFor(Volume, parent, info.Inode, info.Directory, name, nameLength, &fcb);
      if (NT_SUCCESS(status)) {
        IoSetShareAccess(access, stack->Parameters.Create.ShareAccess, file, &fcb->Share);
        *Information = FILE_CREATED;
      } else {
        fcb = nullptr;
      }
    }
    ExFreePoolWithTag(found, kNtfsTag);
    if (parent) NtfsReleaseFcb(parent);
  }
  if (NT_SUCCESS(status) && (options & FILE_DELETE_ON_CLOSE) && fcb->IsRoot) {
    IoRemoveShareAccess(file, &fcb->Share);
    status = STATUS_CANNOT_DELETE;
  }
  NtfsCcb *ccb = NT_SUCCESS(status) ? NewCcb() : nullptr;
  if (NT_SUCCESS(status) && !ccb) {
    IoRemoveShareAccess(file, &fcb->Share);
    status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    if (fcb) NtfsReleaseFcb(fcb);
    *Information = 0;
    return status;
  }
  ccb->DeleteOnClose = (options & FILE_DELETE_ON_CLOSE) != 0;
  ++fcb->Handles;
  file->FsContext = fcb;
  file->FsContext2 = ccb;
  if (options & FILE_WRITE_THROUGH) file->Flags |= FO_WRITE_THROUGH;
  return STATUS_SUCCESS;
}

// The last handle of a file pending deletion removes it; a folder that
// gained entries since stays.
VOID DeletePending(NtfsVolume *Volume, NtfsFcb *Fcb) {
  if (Fcb->Directory) {
    bool empty = true;
    if (NtfsLibDirectoryIsEmpty(Volume->Lib, Fcb->Inode, &empty) || !empty) return;
  }
  if (!Fcb->Parent) return;
  if (!NtfsLibDelete(Volume->Lib, Fcb->Parent->Inode, Fcb->Inode, Fcb->Name, Fcb->NameLength)) Fcb->Deleted = TRUE;
}

}  // namespace

NTSTATUS NtfsCreate(NtfsVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  ACCESS_MASK access = stack->Parameters.Create.SecurityContext ? stack->Parameters.Create.SecurityContext->DesiredAccess : 0;
  ULONG_PTR information = 0;
  BOOLEAN volumeOpen = file->FileName.Length == 0 && !file->RelatedFileObject;
  NtfsEnter(Volume);
  NTSTATUS status;
  if (Volume->Dismounted || !Volume->Lib)
    status = STATUS_VOLUME_DISMOUNTED;
  else if (Volume->LockedBy)
    status = STATUS_ACCESS_DENIED;
  else if (volumeOpen)
    status = OpenVolume(Volume, stack, access), information = FILE_OPENED;
  else
    status = OpenPath(Volume, Irp, &information);
  if (NT_SUCCESS(status)) {
    ++Volume->OpenCount;
    ++Volume->HandleCount;
  }
  NtfsLeave(Volume);
  // The volume's own device has its say on who opens the volume itself:
  // counted above first, so that a lock cannot slip in between, and taken
  // back when the device refuses.
  if (NT_SUCCESS(status) && volumeOpen) {
    status = NtfsForwardAndWait(Volume, Irp);
    if (!NT_SUCCESS(status)) {
      NtfsEnter(Volume);
      IoRemoveShareAccess(file, &Volume->Share);
      ExFreePoolWithTag(file->FsContext2, kNtfsTag);
      file->FsContext2 = nullptr;
      file->Flags &= ~FO_VOLUME_OPEN;
      --Volume->OpenCount;
      --Volume->HandleCount;
      NtfsLeave(Volume);
      information = 0;
    }
  }
  NtfsEnter(Volume);
  BOOLEAN unused = Volume->OpenCount == 0;
  NtfsLeave(Volume);
  NtfsComplete(Irp, status, information);
  // A volume mounted for this open alone goes again when the open fails.
  if (unused) NtfsCheckForDismount(Volume, TRUE);
  return status;
}

NTSTATUS NtfsCleanup(NtfsVolume *Volume, PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  auto *fcb = static_cast<NtfsFcb *>(file->FsContext);
  auto *ccb = static_cast<NtfsCcb *>(file->FsContext2);
  NtfsEnter(Volume);
  --Volume->HandleCount;
  BOOLEAN unlock = FALSE;
  if (!fcb) {
    IoRemoveShareAccess(file, &Volume->Share);
    unlock = Volume->LockedBy == file;
    if (unlock) Volume->LockedBy = nullptr;
  } else {
    IoRemoveShareAccess(file, &fcb->Share);
    if (ccb && ccb->DeleteOnClose) fcb->DeletePending = TRUE;
    if (--fcb->Handles == 0 && fcb->DeletePending && !fcb->Deleted && !fcb->IsRoot && !Volume->Dismounted &&
        Volume->Lib) {
      DeletePending(Volume, fcb);
      fcb->DeletePending = FALSE;
    }
  }
  NtfsLeave(Volume);
  if (unlock) {
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    Volume->Vpb->Flags &= ~VPB_LOCKED;
    IoReleaseVpbSpinLock(irql);
  }
  if (!fcb && ccb && ccb->VolumeOpen) return NtfsPassDown(Volume, Irp);
  return NtfsComplete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS NtfsClose(NtfsVolume *Volume, PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  auto *fcb = static_cast<NtfsFcb *>(file->FsContext);
  auto *ccb = static_cast<NtfsCcb *>(file->FsContext2);
  BOOLEAN volumeOpen = !fcb && ccb && ccb->VolumeOpen;
  NtfsEnter(Volume);
  if (fcb) NtfsReleaseFcb(fcb);
  if (ccb) {
    if (ccb->Pattern) ExFreePoolWithTag(ccb->Pattern, kNtfsTag);
    ExFreePoolWithTag(ccb, kNtfsTag);
  }
  file->FsContext = nullptr;
  file->FsContext2 = nullptr;
  BOOLEAN last = --Volume->OpenCount == 0;
  NtfsLeave(Volume);
  NTSTATUS status = STATUS_SUCCESS;
  if (volumeOpen)
    status = NtfsPassDown(Volume, Irp);
  else
    NtfsComplete(Irp, STATUS_SUCCESS, 0);
  if (last) NtfsCheckForDismount(Volume, FALSE);
  return status;
}
