// Opens, cleanups and closes: the volume itself, the root, files and
// folders by path with every create disposition, share access per file,
// delete-on-close, and the parent of a path for renames.
#include "platform/drivers/ntfs/ntfs_volume.h"

namespace {

NTSTATUS OpenPath(FsVolume *Volume, PIRP Irp, ULONG_PTR *Information);
VOID CleanupFile(FsVolume *Volume, PFILE_OBJECT File, FsCcb *Ccb);
VOID ReleaseFcb(PVOID Fcb);
VOID CheckForDismount(FsVolume *Volume, BOOLEAN Creating);

constexpr FsFileSystem kNtfs{kNtfsTag, sizeof(NtfsCcb), NtfsLibraryGone, OpenPath, CleanupFile, ReleaseFcb,
                             CheckForDismount};

// An existing file or folder, found as Info says.
NTSTATUS OpenExisting(NtfsVolume *Volume, const FsOpen *Open, ULONG Attributes, NtfsFcb *Parent,
                      const NtfsLibInfo *Info, PCWSTR Found, USHORT FoundLength, NtfsFcb **Out,
                      ULONG_PTR *Information) {
  BOOLEAN readOnly = (Info->Attributes & kNtfsAttrReadOnly) != 0;
  NtfsFcb *fcb = nullptr;
  NTSTATUS status = NtfsFcbFor(Volume, Parent, Info->Inode, Info->Directory, Found, FoundLength, &fcb);
  if (!NT_SUCCESS(status)) return status;
  status = FsCheckExistingOpen(Open, Info->Directory, readOnly, fcb->DeletePending);
  if (NT_SUCCESS(status)) status = FsTakeShare(Open, fcb->Handles, &fcb->Share);
  if (!NT_SUCCESS(status)) {
    NtfsReleaseFcb(fcb);
    return status;
  }
  *Information = FILE_OPENED;
  if (FsOverwrites(Open->Disposition)) {
    // The data goes; the new attributes join the old ones.
    int error = NtfsLibSetSize(Volume->Lib, fcb->Inode, 0);
    if (!error) {
      ULONG keep = Info->Attributes & ~(kNtfsAttrNormal | kNtfsAttrDirectory);
      ULONG add = Attributes & (kNtfsAttrHidden | kNtfsAttrSystem | kNtfsAttrReadOnly);
      error = NtfsLibSetBasic(Volume->Lib, fcb->Inode, 0, 0, 0, 0, keep | add | kNtfsAttrArchive);
    }
    if (error) {
      IoRemoveShareAccess(Open->File, &fcb->Share);
      NtfsReleaseFcb(fcb);
      return NtfsStatus(error);
    }
    *Information = Open->Disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
  }
  *Out = fcb;
  return STATUS_SUCCESS;
}

// A name below the start folder: found, created, or its folder for a rename.
NTSTATUS OpenBelow(NtfsVolume *Volume, PIO_STACK_LOCATION Stack, const FsOpen *Open, NtfsFcb *Start, NtfsFcb **Out,
                   ULONG_PTR *Information) {
  NtfsFcb *parent = nullptr;
  PCWSTR name = nullptr;
  USHORT nameLength = 0;
  NTSTATUS status = NtfsWalkToParent(Volume, Start, Open->Path, Open->Length, &parent, &name, &nameLength);
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
  ULONG attributes = Stack->Parameters.Create.FileAttributes;
  NtfsLibInfo info;
  USHORT foundLength = 0;
  int error = NtfsLibLookup(Volume->Lib, parent->Inode, name, nameLength, &info, found, &foundLength);
  status = NtfsStatus(error);
  BOOLEAN exists = error == 0;
  if (!exists && status != STATUS_OBJECT_NAME_NOT_FOUND) {
    // A read failure of the folder.
  } else if (Open->TargetDirectory) {
    FsKeepLastName(Open->File, name, nameLength);
    *Information = exists ? FILE_EXISTS : FILE_DOES_NOT_EXIST;
    status = FsTakeShare(Open, parent->Handles, &parent->Share);
    if (NT_SUCCESS(status)) {
      *Out = parent;
      parent = nullptr;
    }
  } else if (exists) {
    status = OpenExisting(Volume, Open, attributes, parent, &info, found, foundLength, Out, Information);
  } else if (Open->Disposition == FILE_OPEN || Open->Disposition == FILE_OVERWRITE) {
    status = STATUS_OBJECT_NAME_NOT_FOUND;
  } else if (parent->DeletePending) {
    status = STATUS_DELETE_PENDING;
  } else {
    error = NtfsLibCreate(Volume->Lib, parent->Inode, name, nameLength, Open->WantDirectory, attributes, &info);
    status = NtfsStatus(error);
    NtfsFcb *fcb = nullptr;
    if (NT_SUCCESS(status)) status = NtfsFcbFor(Volume, parent, info.Inode, info.Directory, name, nameLength, &fcb);
    if (NT_SUCCESS(status)) {
      IoSetShareAccess(Open->Access, Open->ShareAccess, Open->File, &fcb->Share);
      *Information = FILE_CREATED;
      *Out = fcb;
    }
  }
  ExFreePoolWithTag(found, kNtfsTag);
  if (parent) NtfsReleaseFcb(parent);
  return status;
}

NTSTATUS OpenPath(FsVolume *Fs, PIRP Irp, ULONG_PTR *Information) {
  auto *volume = static_cast<NtfsVolume *>(Fs);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  FsOpen open;
  NTSTATUS status = FsReadOpen(stack, &open);
  if (!NT_SUCCESS(status)) return status;
  PFILE_OBJECT related = open.File->RelatedFileObject;
  auto *start = related ? static_cast<NtfsFcb *>(related->FsContext) : nullptr;
  status = FsCheckOpenName(&open, start != nullptr, start && start->Directory);
  if (!NT_SUCCESS(status)) return status;
  NtfsFcb *fcb = nullptr;
  *Information = 0;
  if (FsOpensStartFolder(&open, start != nullptr)) {
    // The root, or the related folder itself.
    fcb = start ? start : volume->Root;
    ++fcb->References;
    status = FsCheckStartFolderOpen(&open);
    if (NT_SUCCESS(status)) status = FsTakeShare(&open, fcb->Handles, &fcb->Share);
    *Information = FILE_OPENED;
  } else {
    status = OpenBelow(volume, stack, &open, start, &fcb, Information);
  }
  if (NT_SUCCESS(status)) status = FsAttachOpen(&open, &kNtfs, fcb, fcb->IsRoot, &fcb->Handles, &fcb->Share);
  if (!NT_SUCCESS(status)) {
    if (fcb) NtfsReleaseFcb(fcb);
    *Information = 0;
  }
  return status;
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

VOID CleanupFile(FsVolume *Fs, PFILE_OBJECT File, FsCcb *Ccb) {
  auto *volume = static_cast<NtfsVolume *>(Fs);
  auto *fcb = static_cast<NtfsFcb *>(File->FsContext);
  IoRemoveShareAccess(File, &fcb->Share);
  if (Ccb && Ccb->DeleteOnClose) fcb->DeletePending = TRUE;
  if (--fcb->Handles == 0 && fcb->DeletePending && !fcb->Deleted && !fcb->IsRoot && !volume->Dismounted &&
      volume->Lib) {
    DeletePending(volume, fcb);
    fcb->DeletePending = FALSE;
  }
}

VOID ReleaseFcb(PVOID Fcb) { NtfsReleaseFcb(static_cast<NtfsFcb *>(Fcb)); }

VOID CheckForDismount(FsVolume *Volume, BOOLEAN Creating) {
  NtfsCheckForDismount(static_cast<NtfsVolume *>(Volume), Creating);
}

}  // namespace

NTSTATUS NtfsCreate(NtfsVolume *Volume, PIRP Irp) { return FsCreate(Volume, Irp, &kNtfs); }

NTSTATUS NtfsCleanup(NtfsVolume *Volume, PIRP Irp) { return FsCleanup(Volume, Irp, &kNtfs); }

NTSTATUS NtfsClose(NtfsVolume *Volume, PIRP Irp) { return FsClose(Volume, Irp, &kNtfs); }
