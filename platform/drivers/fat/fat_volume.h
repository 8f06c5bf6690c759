// The FAT file system's IRP side: a volume device per mounted volume, a
// file control block (FCB) per file or folder that is open, and a context
// (CCB) per file object.
//
// A volume lives while file objects are open on it, as a raw volume does:
// the close of the last one, when the VPB holds no other reference, deletes
// the volume device and leaves the device unmounted. Everything is written
// through to the volume device before a request completes, so nothing is
// lost with the volume. One lock per volume keeps its requests apart.
#pragma once

#include "platform/drivers/fat/fat_core.h"
#include "platform/drivers/fscommon/fs_open.h"

#include <ntdddisk.h>

struct FatVolume;

struct FatFcb {
  LIST_ENTRY Links;  // in the volume's list
  FatVolume *Volume;
  FatFcb *Parent;    // referenced; none for the root
  ULONG References;  // file objects and child FCBs
  ULONG Handles;     // file objects between create and cleanup
  BOOLEAN IsRoot;
  BOOLEAN DeletePending;
  BOOLEAN Deleted;
  ULONG Dir;         // first cluster of the folder holding the entry
  FatEntry Entry;
  SHARE_ACCESS Share;
};

struct FatCcb : FsCcb {
  ULONG QueryOffset;
  USHORT PatternLength;  // characters
};

struct FatVolume : FsVolume {
  FatVolumeCore Core;
  LIST_ENTRY Fcbs;
  FatFcb *Root;
};

// fat_mount.cpp
NTSTATUS FatMountVolume(PDRIVER_OBJECT Driver, PIRP Irp);
NTSTATUS FatVerifyVolume(PIRP Irp);
// Deletes the volume when no file object and no open on its way holds its VPB.
VOID FatCheckForDismount(FatVolume *Volume, BOOLEAN Creating);

// fat_fcb.cpp
FatFcb *FatNewFcb(FatVolume *Volume, FatFcb *Parent, const FatEntry *Entry);
FatFcb *FatFindFcb(FatVolume *Volume, FatFcb *Parent, ULONG Offset);
VOID FatReleaseFcb(FatFcb *Fcb);
ULONG FatFcbCluster(const FatFcb *Fcb);
BOOLEAN FatFcbIsDirectory(const FatFcb *Fcb);
// Writes the FCB's entry back and the table after it.
NTSTATUS FatSaveFcb(FatFcb *Fcb);
// The FCB of an entry in Parent, an existing one or a new one (referenced).
NTSTATUS FatFcbForEntry(FatVolume *Volume, FatFcb *Parent, const FatEntry *Entry, FatFcb **Fcb);
// Removes the file or folder from its folder and frees its clusters.
NTSTATUS FatDeleteFcb(FatFcb *Fcb);
// Walks "\a\b" from the root (or from Start) to the folder of the last
// component, which it leaves in *Name. The folder comes referenced.
NTSTATUS FatWalkToParent(FatVolume *Volume, FatFcb *Start, PCWSTR Path, USHORT Length, FatFcb **Parent,
                         PCWSTR *Name, USHORT *NameLength);

// Request handlers, one file each.
NTSTATUS FatCreate(FatVolume *Volume, PIRP Irp);
NTSTATUS FatCleanup(FatVolume *Volume, PIRP Irp);
NTSTATUS FatClose(FatVolume *Volume, PIRP Irp);
NTSTATUS FatReadWrite(FatVolume *Volume, PIRP Irp);
NTSTATUS FatFlush(FatVolume *Volume, PIRP Irp);
NTSTATUS FatQueryInformation(FatVolume *Volume, PIRP Irp);
NTSTATUS FatSetInformation(FatVolume *Volume, PIRP Irp);
NTSTATUS FatDirectoryControl(FatVolume *Volume, PIRP Irp);
NTSTATUS FatQueryVolumeInformation(FatVolume *Volume, PIRP Irp);
NTSTATUS FatSetVolumeInformation(FatVolume *Volume, PIRP Irp);
NTSTATUS FatFileSystemControl(FatVolume *Volume, PIRP Irp);

// fat_info.cpp: the basic fields of an FCB, shared with directory listings.
VOID FatFillTimes(const FatDirent *Dirent, PLARGE_INTEGER Creation, PLARGE_INTEGER Access, PLARGE_INTEGER Write);
ULONG FatAttributesOf(const FatDirent *Dirent);
ULONG64 FatAllocationOf(FatVolume *Volume, const FatDirent *Dirent);
