// Opens, cleanups and closes: the volume itself, the root, files and
// folders by path with every create disposition, share access per file,
// delete-on-close, and the parent of a path for renames.
#include "platform/drivers/fat/fat_volume.h"

namespace {

// On a folder the same bits ask to add files and subfolders, which any
// folder allows (a read-only attribute on a folder does not stop that).
constexpr ACCESS_MASK kWriteAccess = FILE_WRITE_DATA | FILE_APPEND_DATA;

FatCcb *NewCcb() {
  auto *ccb = static_cast<FatCcb *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(FatCcb), kFatTag));
  if (ccb) RtlZeroMemory(ccb, sizeof *ccb);
  return ccb;
}

NTSTATUS OpenVolume(FatVolume *Volume, PIO_STACK_LOCATION Stack, ACCESS_MASK Access) {
  PFILE_OBJECT file = Stack->FileObject;
  // The volume is no folder: its root is, named by a backslash.
  if (Stack->Parameters.Create.Options & FILE_DIRECTORY_FILE) return STATUS_NOT_A_DIRECTORY;
  NTSTATUS status = IoCheckShareAccess(Access, Stack->Parameters.Create.ShareAccess, file, &Volume->Share, TRUE);
  if (!NT_SUCCESS(status)) return status;
  FatCcb *ccb = NewCcb();
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

// An open FCB's share access, or the first open's.
NTSTATUS TakeShare(FatFcb *Fcb, PIO_STACK_LOCATION Stack, ACCESS_MASK Access) {
  PFILE_OBJECT file = Stack->FileObject;
  USHORT share = Stack->Parameters.Create.ShareAccess;
  if (Fcb->Handles == 0) {
    IoSetShareAccess(Access, share, file, &Fcb->Share);
    return STATUS_SUCCESS;
  }
  return IoCheckShareAccess(Access, share, file, &Fcb->Share, TRUE);
}

NTSTATUS CreateNew(FatVolume *Volume, FatFcb *Parent, PCWSTR Name, USHORT Length, BOOLEAN Directory, USHORT Attributes,
                   FatEntry *Entry) {
  if (!FatIsValidName(Name, Length)) return STATUS_OBJECT_NAME_INVALID;
  FatVolumeCore *core = &Volume->Core;
  FatDirent fields;
  RtlZeroMemory(&fields, sizeof fields);
  fields.Attributes = static_cast<UCHAR>(Attributes & (kFatAttrReadOnly | kFatAttrHidden | kFatAttrSystem | kFatAttrArchive));
  FatStampNow(&fields, TRUE);
  ULONG first = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (Directory) {
    fields.Attributes = static_cast<UCHAR>((fields.Attributes & ~kFatAttrArchive) | kFatAttrDirectory);
    status = FatMakeDirectory(core, FatFcbCluster(Parent), &fields, &first);
    if (!NT_SUCCESS(status)) return status;
    FatSetDirentCluster(&fields, first);
  } else {
    fields.Attributes |= kFatAttrArchive;
  }
  status = FatAddEntry(core, FatFcbCluster(Parent), Name, Length, &fields, Entry);
  if (!NT_SUCCESS(status) && first) FatFreeChain(core, first);
  NTSTATUS table = FatFlushTable(core);
  return NT_SUCCESS(status) ? table : status;
}

NTSTATUS OpenPath(FatVolume *Volume, PIRP Irp, ULONG_PTR *Information) {
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
  FatFcb *start = nullptr;
  if (file->RelatedFileObject && file->RelatedFileObject->FsContext) {
    start = static_cast<FatFcb *>(file->RelatedFileObject->FsContext);
    if (!FatFcbIsDirectory(start)) return STATUS_OBJECT_PATH_NOT_FOUND;
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
  FatFcb *fcb = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  FatEntry *entry = static_cast<FatEntry *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(FatEntry), kFatTag));
  if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
  *Information = 0;
  if ((start == nullptr && length == 1) || (start && length == 0)) {
    // The root, or the related folder itself.
    fcb = start ? start : Volume->Root;
    ++fcb->References;
    if (targetDirectory) status = STATUS_OBJECT_NAME_INVALID;
    else if (wantFile) status = STATUS_FILE_IS_A_DIRECTORY;
    else if (disposition != FILE_OPEN && disposition != FILE_OPEN_IF) status = STATUS_OBJECT_NAME_COLLISION;
    if (NT_SUCCESS(status)) status = TakeShare(fcb, stack, access);
    *Information = FILE_OPENED;
  } else {
    FatFcb *parent = nullptr;
    PCWSTR name = nullptr;
    USHORT nameLength = 0;
    status = FatWalkToParent(Volume, start, path, length, &parent, &name, &nameLength);
    if (NT_SUCCESS(status) && !FatIsValidName(name, nameLength)) status = STATUS_OBJECT_NAME_INVALID;
    if (!NT_SUCCESS(status)) {
      ExFreePoolWithTag(entry, kFatTag);
      if (parent) FatReleaseFcb(parent);
      return status;
    }
    status = FatFindEntry(&Volume->Core, FatFcbCluster(parent), name, nameLength, entry);
    BOOLEAN exists = NT_SUCCESS(status);
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
    } else if (exists) {
      BOOLEAN isDirectory = (entry->Dirent.Attributes & kFatAttrDirectory) != 0;
      status = FatFcbForEntry(Volume, parent, entry, &fcb);
      if (!NT_SUCCESS(status)) fcb = nullptr;
      else if (disposition == FILE_CREATE) status = STATUS_OBJECT_NAME_COLLISION;
      else if (fcb->DeletePending) status = STATUS_DELETE_PENDING;
      else if (wantDirectory && !isDirectory) status = STATUS_NOT_A_DIRECTORY;
      else if (wantFile && isDirectory) status = STATUS_FILE_IS_A_DIRECTORY;
      else if (isDirectory && disposition != FILE_OPEN && disposition != FILE_OPEN_IF) status = STATUS_OBJECT_NAME_COLLISION;
      else if (!isDirectory && (fcb->Entry.Dirent.Attributes & kFatAttrReadOnly) &&
               ((access & kWriteAccess) || disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF ||
                disposition == FILE_SUPERSEDE))
        status = STATUS_ACCESS_DENIED;
      else if ((fcb->Entry.Dirent.Attributes & kFatAttrReadOnly) && (options & FILE_DELETE_ON_CLOSE))
        status = STATUS_CANNOT_DELETE;
      if (NT_SUCCESS(status)) status = TakeShare(fcb, stack, access);
      if (NT_SUCCESS(status)) {
        *Information = FILE_OPENED;
        if (disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF || disposition == FILE_SUPERSEDE) {
          // The data goes; the new attributes join the old ones.
          ULONG first = FatDirentCluster(&fcb->Entry.Dirent);
          NTSTATUS cut = FatResize(&Volume->Core, &first, fcb->Entry.Dirent.FileSize, 0);
          if (NT_SUCCESS(cut)) {
            FatSetDirentCluster(&fcb->Entry.Dirent, first);
            fcb->Entry.Dirent.FileSize = 0;
            fcb->Entry.Dirent.Attributes |= static_cast<UCHAR>(
                (stack->Parameters.Create.FileAttributes & (kFatAttrHidden | kFatAttrSystem | kFatAttrReadOnly)) |
                kFatAttrArchive);
            FatStampNow(&fcb->Entry.Dirent, FALSE);
            cut = FatSaveFcb(fcb);
          }
          if (!NT_SUCCESS(cut)) {
            IoRemoveShareAccess(file, &fcb->Share);
            status = cut;
          }
          *Information = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
        }
      }
    } else if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE) {
      status = STATUS_OBJECT_NAME_NOT_FOUND;
    } else if (parent->DeletePending) {
      status = STATUS_DELETE_PENDING;
    } else {
      status = CreateNew(Volume, parent, name, nameLength, wantDirectory, stack->Parameters.Create.FileAttributes, entry);
      if (NT_SUCCESS(status)) status = FatFcbForEntry(Volume, parent, entry, &fcb);
      if (NT_SUCCESS(status)) {
        IoSetShareAccess(access, stack->Parameters.Create.ShareAccess, file, &fcb->Share);
        *Information = FILE_CREATED;
      } else {
        fcb = nullptr;
      }
    }
    if (parent) FatReleaseFcb(parent);
  }
  ExFreePoolWithTag(entry, kFatTag);
  if (NT_SUCCESS(status) && (options & FILE_DELETE_ON_CLOSE) && fcb->IsRoot) status = STATUS_CANNOT_DELETE;
  FatCcb *ccb = NT_SUCCESS(status) ? NewCcb() : nullptr;
  if (NT_SUCCESS(status) && !ccb) {
    IoRemoveShareAccess(file, &fcb->Share);
    status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    if (fcb) FatReleaseFcb(fcb);
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

}  // namespace

NTSTATUS FatCreate(FatVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  ACCESS_MASK access = stack->Parameters.Create.SecurityContext ? stack->Parameters.Create.SecurityContext->DesiredAccess : 0;
  ULONG_PTR information = 0;
  BOOLEAN volumeOpen = file->FileName.Length == 0 && !file->RelatedFileObject;
  FatEnter(Volume);
  NTSTATUS status;
  if (Volume->Dismounted)
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
  FatLeave(Volume);
  // The volume's own device has its say on who opens the volume itself, as
  // with the raw file system: counted above first, so that a lock cannot
  // slip in between, and taken back when the device refuses.
  if (NT_SUCCESS(status) && volumeOpen) {
    status = FatForwardAndWait(Volume, Irp);
    if (!NT_SUCCESS(status)) {
      FatEnter(Volume);
      IoRemoveShareAccess(file, &Volume->Share);
      ExFreePoolWithTag(file->FsContext2, kFatTag);
      file->FsContext2 = nullptr;
      file->Flags &= ~FO_VOLUME_OPEN;
      --Volume->OpenCount;
      --Volume->HandleCount;
      FatLeave(Volume);
      information = 0;
    }
  }
  FatEnter(Volume);
  BOOLEAN unused = Volume->OpenCount == 0;
  FatLeave(Volume);
  FatComplete(Irp, status, information);
  // A volume mounted for this open alone goes again when the open fails.
  if (unused) FatCheckForDismount(Volume, TRUE);
  return status;
}

NTSTATUS FatCleanup(FatVolume *Volume, PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  auto *fcb = static_cast<FatFcb *>(file->FsContext);
  auto *ccb = static_cast<FatCcb *>(file->FsContext2);
  FatEnter(Volume);
  --Volume->HandleCount;
  BOOLEAN unlock = FALSE;
  if (!fcb) {
    IoRemoveShareAccess(file, &Volume->Share);
    unlock = Volume->LockedBy == file;
    if (unlock) Volume->LockedBy = nullptr;
  } else {
    IoRemoveShareAccess(file, &fcb->Share);
    if (ccb && ccb->DeleteOnClose) fcb->DeletePending = TRUE;
    // The last handle deletes what is pending deletion; a folder that
    // gained entries since stays.
    if (--fcb->Handles == 0 && fcb->DeletePending && !fcb->Deleted && !fcb->IsRoot && !Volume->Dismounted) {
      BOOLEAN empty = TRUE;
      if (FatFcbIsDirectory(fcb)) FatDirectoryIsEmpty(&Volume->Core, FatFcbCluster(fcb), &empty);
      if (empty) FatDeleteFcb(fcb);
      fcb->DeletePending = FALSE;
    }
  }
  FatLeave(Volume);
  if (unlock) {
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    Volume->Vpb->Flags &= ~VPB_LOCKED;
    IoReleaseVpbSpinLock(irql);
  }
  // The device saw the volume open, so it sees its cleanup too.
  if (!fcb && ccb && ccb->VolumeOpen) return FatPassDown(Volume, Irp);
  return FatComplete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS FatClose(FatVolume *Volume, PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  auto *fcb = static_cast<FatFcb *>(file->FsContext);
  auto *ccb = static_cast<FatCcb *>(file->FsContext2);
  BOOLEAN volumeOpen = !fcb && ccb && ccb->VolumeOpen;
  FatEnter(Volume);
  if (fcb) FatReleaseFcb(fcb);
  if (ccb) {
    if (ccb->Pattern) ExFreePoolWithTag(ccb->Pattern, kFatTag);
    ExFreePoolWithTag(ccb, kFatTag);
  }
  file->FsContext = nullptr;
  file->FsContext2 = nullptr;
  BOOLEAN last = --Volume->OpenCount == 0;
  FatLeave(Volume);
  NTSTATUS status = STATUS_SUCCESS;
  if (volumeOpen)
    status = FatPassDown(Volume, Irp);
  else
    FatComplete(Irp, STATUS_SUCCESS, 0);
  if (last) FatCheckForDismount(Volume, FALSE);
  return status;
}
