// File control blocks: one per open file or folder, found again by the
// folder and the entry's place in it, and the walk of a path from the root.
#include "platform/drivers/fat/fat_volume.h"
#include "platform/drivers/fscommon/fs_path.h"

namespace {

// One step of a path: the folder Name in Dir.
NTSTATUS StepInto(FsVolume *Volume, PVOID Dir, PCWSTR Name, USHORT Length, PVOID Scratch, PVOID *Next) {
  auto *volume = static_cast<FatVolume *>(Volume);
  auto *dir = static_cast<FatFcb *>(Dir);
  auto *entry = static_cast<FatEntry *>(Scratch);
  NTSTATUS status = FatFindEntry(&volume->Core, FatFcbCluster(dir), Name, Length, entry);
  if (!NT_SUCCESS(status) || !(entry->Dirent.Attributes & kFatAttrDirectory))
    return status == STATUS_OBJECT_NAME_NOT_FOUND || NT_SUCCESS(status) ? STATUS_OBJECT_PATH_NOT_FOUND : status;
  FatFcb *next = nullptr;
  status = FatFcbForEntry(volume, dir, entry, &next);
  if (NT_SUCCESS(status)) *Next = next;
  return status;
}

VOID Release(PVOID Fcb) { FatReleaseFcb(static_cast<FatFcb *>(Fcb)); }

constexpr FsPathWalk kWalk{FatIsValidName, StepInto, Release};

}  // namespace

FatFcb *FatNewFcb(FatVolume *Volume, FatFcb *Parent, const FatEntry *Entry) {
  auto *fcb = static_cast<FatFcb *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(FatFcb), kFatTag));
  if (!fcb) return nullptr;
  RtlZeroMemory(fcb, sizeof *fcb);
  fcb->Volume = Volume;
  fcb->Parent = Parent;
  fcb->References = 1;
  fcb->Entry = *Entry;
  if (Parent) {
    ++Parent->References;
    fcb->Dir = FatFcbCluster(Parent);
  }
  InsertTailList(&Volume->Fcbs, &fcb->Links);
  return fcb;
}

FatFcb *FatFindFcb(FatVolume *Volume, FatFcb *Parent, ULONG Offset) {
  for (PLIST_ENTRY e = Volume->Fcbs.Flink; e != &Volume->Fcbs; e = e->Flink) {
    FatFcb *fcb = CONTAINING_RECORD(e, FatFcb, Links);
    if (fcb->Parent == Parent && !fcb->IsRoot && !fcb->Deleted && fcb->Entry.Offset == Offset) return fcb;
  }
  return nullptr;
}

VOID FatReleaseFcb(FatFcb *Fcb) {
  while (Fcb && --Fcb->References == 0) {
    FatFcb *parent = Fcb->Parent;
    RemoveEntryList(&Fcb->Links);
    ExFreePoolWithTag(Fcb, kFatTag);
    Fcb = parent;
  }
}

ULONG FatFcbCluster(const FatFcb *Fcb) {
  if (Fcb->IsRoot) return Fcb->Volume->Core.FatBits == 32 ? Fcb->Volume->Core.RootCluster : 0;
  return FatDirentCluster(&Fcb->Entry.Dirent);
}

BOOLEAN FatFcbIsDirectory(const FatFcb *Fcb) {
  return Fcb->IsRoot || (Fcb->Entry.Dirent.Attributes & kFatAttrDirectory) != 0;
}

NTSTATUS FatSaveFcb(FatFcb *Fcb) {
  FatVolumeCore *core = &Fcb->Volume->Core;
  NTSTATUS status = STATUS_SUCCESS;
  if (!Fcb->IsRoot && !Fcb->Deleted) status = FatWriteDirent(core, Fcb->Dir, Fcb->Entry.Offset, &Fcb->Entry.Dirent);
  NTSTATUS table = FatFlushTable(core);
  return NT_SUCCESS(status) ? table : status;
}

NTSTATUS FatFcbForEntry(FatVolume *Volume, FatFcb *Parent, const FatEntry *Entry, FatFcb **Fcb) {
  FatFcb *fcb = FatFindFcb(Volume, Parent, Entry->Offset);
  if (fcb) {
    ++fcb->References;
  } else {
    fcb = FatNewFcb(Volume, Parent, Entry);
    if (!fcb) return STATUS_INSUFFICIENT_RESOURCES;
  }
  *Fcb = fcb;
  return STATUS_SUCCESS;
}

NTSTATUS FatDeleteFcb(FatFcb *Fcb) {
  FatVolumeCore *core = &Fcb->Volume->Core;
  NTSTATUS status = FatRemoveEntry(core, Fcb->Dir, &Fcb->Entry);
  if (NT_SUCCESS(status)) {
    ULONG first = FatDirentCluster(&Fcb->Entry.Dirent);
    if (first) FatFreeChain(core, first);
    Fcb->Deleted = TRUE;
  }
  NTSTATUS table = FatFlushTable(core);
  return NT_SUCCESS(status) ? table : status;
}

NTSTATUS FatWalkToParent(FatVolume *Volume, FatFcb *Start, PCWSTR Path, USHORT Length, FatFcb **Parent,
                         PCWSTR *Name, USHORT *NameLength) {
  FatFcb *dir = Start ? Start : Volume->Root;
  ++dir->References;
  auto *entry = static_cast<FatEntry *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(FatEntry), kFatTag));
  if (!entry) {
    FatReleaseFcb(dir);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PVOID parent = nullptr;
  NTSTATUS status = FsWalkToParent(Volume, dir, Path, Length, &kWalk, entry, &parent, Name, NameLength);
  ExFreePoolWithTag(entry, kFatTag);
  if (NT_SUCCESS(status)) *Parent = static_cast<FatFcb *>(parent);
  return status;
}
