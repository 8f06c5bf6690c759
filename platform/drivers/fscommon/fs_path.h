// The walk of a path "\a\b\c" folder by folder to the folder of its last
// component, on a volume of FAT or NTFS; the file system looks up each step.
#pragma once

#include "platform/drivers/fscommon/fs_volume.h"

struct FsPathWalk {
  BOOLEAN (*NameIsValid)(PCWSTR Name, USHORT Length);
  // The FCB of the entry Name in the folder Dir, referenced: a folder, else
  // STATUS_OBJECT_PATH_NOT_FOUND; nothing on failure. Scratch is the
  // caller's room for a lookup.
  NTSTATUS (*Step)
  (FsVolume *Volume, PVOID Dir, PCWSTR Name, USHORT Length, PVOID Scratch, PVOID *Next);
  VOID (*Release)(PVOID Fcb);
};

// Walks from Dir (referenced by the caller, the reference passing to the
// walk) to the folder of the last component, which comes back referenced in
// *Parent with that component in *Name.
NTSTATUS FsWalkToParent(FsVolume *Volume, PVOID Dir, PCWSTR Path, USHORT Length,
                        const FsPathWalk *Walk, PVOID Scratch, PVOID *Parent, PCWSTR *Name,
                        USHORT *NameLength);
