// The NTFS file system's IRP side: a volume device per mounted volume, a
// file control block (FCB) per file or folder that is open, found by its
// MFT record number, and a context (CCB) per file object. The on-disk work
// is libntfs-3g's, behind ntfs_lib.h.
//
// A volume lives while file objects are open on it, as a FAT volume does:
// the close of the last one, when the VPB holds no other reference,
// unmounts the library's volume and deletes the volume device. The library
// writes everything through to the volume device before a request
// completes. It is not thread-safe: one lock per volume is held across
// every call into it, at passive level.
#pragma once

#include "platform/drivers/fscommon/fs_open.h"
#include "platform/drivers/ntfs/ntfs_lib.h"

constexpr ULONG kNtfsTag = 0x7366744E;     // "Ntfs"

struct NtfsVolume;

struct NtfsFcb {
  LIST_ENTRY Links;  // in the volume's list
  NtfsVolume *Volume;
  NtfsFcb *Parent;   // referenced; none for the root
  ULONG References;  // file objects and child FCBs
  ULONG Handles;     // file objects between create and cleanup
  ULONG64 Inode;
  BOOLEAN IsRoot;
  BOOLEAN Directory;
  BOOLEAN DeletePending;
  BOOLEAN Deleted;
  USHORT NameLength;  // characters, the name as kept in the parent
  WCHAR Name[kNtfsMaxName];
  SHARE_ACCESS Share;
};

// The listing's pattern is kept in upper case.
struct NtfsCcb : FsCcb {
  BOOLEAN QueryDone;
  LONG64 QueryPosition;
  USHORT PatternLength;  // bytes
};

// The volume's lock keeps one request at a time in the library.
struct NtfsVolume : FsVolume {
  NtfsLibVolume *Lib;     // none once dismounted
  ULONG Serial;
  ULONG SectorSize;
  LIST_ENTRY Fcbs;
  NtfsFcb *Root;
};

// ntfs_status.cpp: the status Windows gives for a library error.
NTSTATUS NtfsStatus(int Error);

// ntfs_mount.cpp
NTSTATUS NtfsMountVolume(PDRIVER_OBJECT Driver, PIRP Irp);
NTSTATUS NtfsVerifyVolume(PIRP Irp);
VOID NtfsCheckForDismount(NtfsVolume *Volume, BOOLEAN Creating);
// Lets the library's volume go (everything written); the volume answers
// STATUS_VOLUME_DISMOUNTED from then on. Called with the lock held.
VOID NtfsReleaseLibrary(NtfsVolume *Volume);
// Whether the library's volume is gone (the shared requests ask it).
BOOLEAN NtfsLibraryGone(FsVolume *Volume);

// ntfs_fcb.cpp
NtfsFcb *NtfsNewFcb(NtfsVolume *Volume, NtfsFcb *Parent, ULONG64 Inode, BOOLEAN Directory, PCWSTR Name,
                    USHORT Length);
VOID NtfsReleaseFcb(NtfsFcb *Fcb);
// The FCB of an entry of Parent, an existing one or a new one (referenced).
NTSTATUS NtfsFcbFor(NtfsVolume *Volume, NtfsFcb *Parent, ULONG64 Inode, BOOLEAN Directory, PCWSTR Name,
                    USHORT Length, NtfsFcb **Fcb);
NtfsFcb *NtfsFindFcb(NtfsVolume *Volume, ULONG64 Inode);
// Walks "\a\b" from the root (or Start) to the folder of the last
// component, which it leaves in *Name. The folder comes referenced.
NTSTATUS NtfsWalkToParent(NtfsVolume *Volume, NtfsFcb *Start, PCWSTR Path, USHORT Length, NtfsFcb **Parent,
                          PCWSTR *Name, USHORT *NameLength);
// Whether an open FCB lies below Dir.
BOOLEAN NtfsHasOpenChildren(NtfsVolume *Volume, NtfsFcb *Dir);

// Request handlers.
NTSTATUS NtfsCreate(NtfsVolume *Volume, PIRP Irp);
NTSTATUS NtfsCleanup(NtfsVolume *Volume, PIRP Irp);
NTSTATUS NtfsClose(NtfsVolume *Volume, PIRP Irp);
NTSTATUS NtfsReadWrite(NtfsVolume *Volume, PIRP Irp);
NTSTATUS NtfsFlush(NtfsVolume *Volume, PIRP Irp);
NTSTATUS NtfsQueryInformation(NtfsVolume *Volume, PIRP Irp);
NTSTATUS NtfsSetInformation(NtfsVolume *Volume, PIRP Irp);
NTSTATUS NtfsDirectoryControl(NtfsVolume *Volume, PIRP Irp);
NTSTATUS NtfsQueryVolumeInformation(NtfsVolume *Volume, PIRP Irp);
NTSTATUS NtfsSetVolumeInformation(NtfsVolume *Volume, PIRP Irp);
NTSTATUS NtfsFileSystemControl(NtfsVolume *Volume, PIRP Irp);
NTSTATUS NtfsQuerySecurity(NtfsVolume *Volume, PIRP Irp);
NTSTATUS NtfsSetSecurity(NtfsVolume *Volume, PIRP Irp);
