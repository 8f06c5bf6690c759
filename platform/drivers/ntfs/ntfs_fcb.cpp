// File control blocks: one per open file or folder, found again by its MFT
// record number, and the walk of a path from the root.
#include "platform/drivers/ntfs/ntfs_volume.h"

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
  USHORT at = 0;
  if (Length && Path[0] == u'\\') at = 1;
  auto *found = static_cast<PWCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, kNtfsMaxName * sizeof(WCHAR), kNtfsTag));
  if (!found) {
    NtfsReleaseFcb(dir);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status = STATUS_SUCCESS;
  for (;;) {
    USHORT end = at;
    while (end < Length && Path[end] != u'\\') ++end;
    if (end == Length) {
      *Name = Path + at;
      *NameLength = static_cast<USHORT>(end - at);
      break;
    }
    USHORT n = static_cast<USHORT>(end - at);
    if (!NtfsLibNameIsValid(Path + at, n)) {
      status = STATUS_OBJECT_NAME_INVALID;
      break;
    }
    NtfsLibInfo info;
    USHORT foundLength = 0;
    int error = NtfsLibLookup(Volume->Lib, dir->Inode, Path + at, n, &info, found, &foundLength);
    if (error || !info.Directory) {
      status = !error || NtfsStatus(error) == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_OBJECT_PATH_NOT_FOUND : NtfsStatus(error);
      break;
    }
    NtfsFcb *next = nullptr;
    status = NtfsFcbFor(Volume, dir, info.Inode, TRUE, found, foundLength, &next);
    NtfsReleaseFcb(dir);
    dir = next;
    if (!NT_SUCCESS(status)) {
      dir = nullptr;
      break;
    }
    at = static_cast<USHORT>(end + 1);
  }
  ExFreePoolWithTag(found, kNtfsTag);
  if (!NT_SUCCESS(status)) {
    if (dir) NtfsReleaseFcb(dir);
    return status;
  }
  *Parent = dir;
  return STATUS_SUCCESS;
}
