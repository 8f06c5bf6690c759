// Opens, cleanups and closes: the volume itself, the root, files and
// folders by path with every create disposition, share access per file,
// delete-on-close, and the parent of a path for renames.
#include "platform/drivers/fat/fat_volume.h"

namespace {

NTSTATUS OpenPath(FsVolume *Volume, PIRP Irp, ULONG_PTR *Information);
VOID CleanupFile(FsVolume *Volume, PFILE_OBJECT File, FsCcb *Ccb);
VOID ReleaseFcb(PVOID Fcb);
VOID CheckForDismount(FsVolume *Volume, BOOLEAN Creating);

constexpr FsFileSystem kFat{kFatTag, sizeof(FatCcb), nullptr, OpenPath, CleanupFile, ReleaseFcb, CheckForDismount};

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

// Cuts an existing file to nothing for an overwrite; the new attributes
// join the old ones.
NTSTATUS Overwrite(FatVolume *Volume, FatFcb *Fcb, ULONG Attributes) {
  ULONG first = FatDirentCluster(&Fcb->Entry.Dirent);
  NTSTATUS status = FatResize(&Volume->Core, &first, Fcb->Entry.Dirent.FileSize, 0);
  if (!NT_SUCCESS(status)) return status;
  FatSetDirentCluster(&Fcb->Entry.Dirent, first);
  Fcb->Entry.Dirent.FileSize = 0;
  Fcb->Entry.Dirent.Attributes |=
      static_cast<UCHAR>((Attributes & (kFatAttrHidden | kFatAttrSystem | kFatAttrReadOnly)) | kFatAttrArchive);
  FatStampNow(&Fcb->Entry.Dirent, FALSE);
  return FatSaveFcb(Fcb);
}

NTSTATUS OpenExisting(FatVolume *Volume, const FsOpen *Open, FatFcb *Parent, const FatEntry *Entry,
                      ULONG Attributes, FatFcb **Out, ULONG_PTR *Information) {
  FatFcb *fcb = nullptr;
  NTSTATUS status = FatFcbForEntry(Volume, Parent, Entry, &fcb);
  if (!NT_SUCCESS(status)) return status;
  BOOLEAN directory = (Entry->Dirent.Attributes & kFatAttrDirectory) != 0;
  BOOLEAN readOnly = (fcb->Entry.Dirent.Attributes & kFatAttrReadOnly) != 0;
  status = FsCheckExistingOpen(Open, directory, readOnly, fcb->DeletePending);
  if (NT_SUCCESS(status)) status = FsTakeShare(Open, fcb->Handles, &fcb->Share);
  if (!NT_SUCCESS(status)) {
    FatReleaseFcb(fcb);
    return status;
  }
  *Information = FILE_OPENED;
  if (FsOverwrites(Open->Disposition)) {
    status = Overwrite(Volume, fcb, Attributes);
    if (!NT_SUCCESS(status)) {
      IoRemoveShareAccess(Open->File, &fcb->Share);
      FatReleaseFcb(fcb);
      return status;
    }
    *Information = Open->Disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
  }
  *Out = fcb;
  return STATUS_SUCCESS;
}

// A name below the start folder: found, created, or its folder for a rename.
NTSTATUS OpenBelow(FatVolume *Volume, PIO_STACK_LOCATION Stack, const FsOpen *Open, FatFcb *Start, FatFcb **Out,
                   ULONG_PTR *Information) {
  FatFcb *parent = nullptr;
  PCWSTR name = nullptr;
  USHORT nameLength = 0;
  NTSTATUS status = FatWalkToParent(Volume, Start, Open->Path, Open->Length, &parent, &name, &nameLength);
  if (NT_SUCCESS(status) && !FatIsValidName(name, nameLength)) status = STATUS_OBJECT_NAME_INVALID;
  if (!NT_SUCCESS(status)) {
    if (parent) FatReleaseFcb(parent);
    return status;
  }
  auto *entry = static_cast<FatEntry *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(FatEntry), kFatTag));
  if (!entry) {
    FatReleaseFcb(parent);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  ULONG attributes = Stack->Parameters.Create.FileAttributes;
  status = FatFindEntry(&Volume->Core, FatFcbCluster(parent), name, nameLength, entry);
  BOOLEAN exists = NT_SUCCESS(status);
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
    status = OpenExisting(Volume, Open, parent, entry, attributes, Out, Information);
  } else if (Open->Disposition == FILE_OPEN || Open->Disposition == FILE_OVERWRITE) {
    status = STATUS_OBJECT_NAME_NOT_FOUND;
  } else if (parent->DeletePending) {
    status = STATUS_DELETE_PENDING;
  } else {
    status = CreateNew(Volume, parent, name, nameLength, Open->WantDirectory, static_cast<USHORT>(attributes), entry);
    FatFcb *fcb = nullptr;
    if (NT_SUCCESS(status)) status = FatFcbForEntry(Volume, parent, entry, &fcb);
    if (NT_SUCCESS(status)) {
      IoSetShareAccess(Open->Access, Open->ShareAccess, Open->File, &fcb->Share);
      *Information = FILE_CREATED;
      *Out = fcb;
    }
  }
  ExFreePoolWithTag(entry, kFatTag);
  if (parent) FatReleaseFcb(parent);
  return status;
}

NTSTATUS OpenPath(FsVolume *Fs, PIRP Irp, ULONG_PTR *Information) {
  auto *volume = static_cast<FatVolume *>(Fs);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  FsOpen open;
  NTSTATUS status = FsReadOpen(stack, &open);
  if (!NT_SUCCESS(status)) return status;
  PFILE_OBJECT related = open.File->RelatedFileObject;
  auto *start = related ? static_cast<FatFcb *>(related->FsContext) : nullptr;
  status = FsCheckOpenName(&open, start != nullptr, start && FatFcbIsDirectory(start));
  if (!NT_SUCCESS(status)) return status;
  FatFcb *fcb = nullptr;
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
  if (NT_SUCCESS(status)) status = FsAttachOpen(&open, &kFat, fcb, fcb->IsRoot, &fcb->Handles, &fcb->Share);
  if (!NT_SUCCESS(status)) {
    if (fcb) FatReleaseFcb(fcb);
    *Information = 0;
  }
  return status;
}

// The last handle deletes what is pending deletion; a folder that gained
// entries since stays.
VOID CleanupFile(FsVolume *Fs, PFILE_OBJECT File, FsCcb *Ccb) {
  auto *volume = static_cast<FatVolume *>(Fs);
  auto *fcb = static_cast<FatFcb *>(File->FsContext);
  IoRemoveShareAccess(File, &fcb->Share);
  if (Ccb && Ccb->DeleteOnClose) fcb->DeletePending = TRUE;
  if (--fcb->Handles == 0 && fcb->DeletePending && !fcb->Deleted && !fcb->IsRoot && !volume->Dismounted) {
    BOOLEAN empty = TRUE;
    if (FatFcbIsDirectory(fcb)) FatDirectoryIsEmpty(&volume->Core, FatFcbCluster(fcb), &empty);
    if (empty) FatDeleteFcb(fcb);
    fcb->DeletePending = FALSE;
  }
}

VOID ReleaseFcb(PVOID Fcb) { FatReleaseFcb(static_cast<FatFcb *>(Fcb)); }

VOID CheckForDismount(FsVolume *Volume, BOOLEAN Creating) {
  FatCheckForDismount(static_cast<FatVolume *>(Volume), Creating);
}

}  // namespace

NTSTATUS FatCreate(FatVolume *Volume, PIRP Irp) { return FsCreate(Volume, Irp, &kFat); }

NTSTATUS FatCleanup(FatVolume *Volume, PIRP Irp) { return FsCleanup(Volume, Irp, &kFat); }

NTSTATUS FatClose(FatVolume *Volume, PIRP Irp) { return FsClose(Volume, Irp, &kFat); }
