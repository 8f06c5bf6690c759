// File control blocks: one per open file or folder, found again by its MFT
// record number, and the walk of a path from the root.
#include "platform/drivers/fscommon/fs_path.h"
#include "platform/drivers/ntfs/ntfs_volume.h"

namespace {

// One step of a path: the folder Name in Dir, named as the folder keeps it.
NTSTATUS StepInto(FsVolume *Volume, PVOID Dir, PCWSTR Name, USHORT Length, PVOID Scratch, PVOID *Next) {
  auto *volume = static_cast<NtfsVolume *>(Volume);
  auto *found = static_cast<PWCHAR>(Scratch);
  NtfsLibInfo info;
  USHORT foundLength = 0;
  int error = NtfsLibLookup(volume->Lib, static_cast<NtfsFcb *>(Dir)->Inode, Name, Length, &info, found, &foundLength);
  if (error || !info.Directory)
    return !error || NtfsStatus(error) == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_OBJECT_PATH_NOT_FOUND
                                                                       : NtfsStatus(error);
  NtfsFcb *next = nullptr;
  NTSTATUS status = NtfsFcbFor(volume, static_cast<NtfsFcb *>(Dir), info.Inode, TRUE, found, foundLength, &next);
  if (NT_SUCCESS(status)) *Next = next;
  return status;
}

VOID Release(PVOID Fcb) { NtfsReleaseFcb(static_cast<NtfsFcb *>(Fcb)); }

BOOLEAN NameIsValid(PCWSTR Name, USHORT Length) { return NtfsLibNameIsValid(Name, Length); }

constexpr FsPathWalk kWalk{NameIsValid, StepInto, Release};

}  // namespace

NtfsFcb *NtfsNewFcb(NtfsVolume *Volume, NtfsFcb *Parent, ULONG64 Inode, BOOLEAN Directory, PCWSTR Name,
                    USHORT Length) {
  auto *fcb = static_cast<NtfsFcb *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(NtfsFcb), kNtfsTag));
  if (!fcb) return nullptr;
  RtlZeroMemory(fcb, sizeof *fcb);
  fcb->Volume = Volume;
  fcb->Parent = Parent;
  fcb->References = 1;
  fcb->Inode = Inode;
  fcb->Directory = Directory;
  if (Length > kNtfsMaxName) Length = kNtfsMaxName;
  if (Length) RtlCopyMemory(fcb->Name, Name, Length * sizeof(WCHAR));
  fcb->NameLength = Length;
  if (Parent) ++Parent->References;
  InsertTailList(&Volume->Fcbs, &fcb->Links);
  return fcb;
}

NtfsFcb *NtfsFindFcb(NtfsVolume *Volume, ULONG64 Inode) {
  for (PLIST_ENTRY e = Volume->Fcbs.Flink; e != &Volume->Fcbs; e = e->Flink) {
    NtfsFcb *fcb = CONTAINING_RECORD(e, NtfsFcb, Links);
    if (fcb->Inode == Inode && !fcb->Deleted) return fcb;
  }
  return nullptr;
}

VOID NtfsReleaseFcb(NtfsFcb *Fcb) {
  while (Fcb && --Fcb->References == 0) {
    NtfsFcb *parent = Fcb->Parent;
    RemoveEntryList(&Fcb->Links);
    ExFreePoolWithTag(Fcb, kNtfsTag);
    Fcb = parent;
  }
}

NTSTATUS NtfsFcbFor(NtfsVolume *Volume, NtfsFcb *Parent, ULONG64 Inode, BOOLEAN Directory, PCWSTR Name,
                    USHORT Length, NtfsFcb **Fcb) {
  NtfsFcb *fcb = NtfsFindFcb(Volume, Inode);
  if (fcb) {
    ++fcb->References;
  } else {
    fcb = NtfsNewFcb(Volume, Parent, Inode, Directory, Name, Length);
    if (!fcb) return STATUS_INSUFFICIENT_RESOURCES;
  }
  *Fcb = fcb;
  return STATUS_SUCCESS;
}

BOOLEAN NtfsHasOpenChildren(NtfsVolume *Volume, NtfsFcb *Dir) {
  for (PLIST_ENTRY e = Volume->Fcbs.Flink; e != &Volume->Fcbs; e = e->Flink) {
    NtfsFcb *fcb = CONTAINING_RECORD(e, NtfsFcb, Links);
    if (fcb == Dir || fcb->Deleted) continue;
    for (NtfsFcb *f = fcb->Parent; f; f = f->Parent)
      if (f == Dir && fcb->Handles) return TRUE;
  }
  return FALSE;
}

NTSTATUS NtfsWalkToParent(NtfsVolume *Volume, NtfsFcb *Start, PCWSTR Path, USHORT Length, NtfsFcb **Parent,
                          PCWSTR *Name, USHORT *NameLength) {
  NtfsFcb *dir = Start ? Start : Volume->Root;
  ++dir->References;
  auto *found = static_cast<PWCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, kNtfsMaxName * sizeof(WCHAR), kNtfsTag));
  if (!found) {
    NtfsReleaseFcb(dir);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PVOID parent = nullptr;
  NTSTATUS status = FsWalkToParent(Volume, dir, Path, Length, &kWalk, found, &parent, Name, NameLength);
  ExFreePoolWithTag(found, kNtfsTag);
  if (NT_SUCCESS(status)) *Parent = static_cast<NtfsFcb *>(parent);
  return status;
}
