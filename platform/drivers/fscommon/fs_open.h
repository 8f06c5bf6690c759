// Opens, cleanups and closes on a volume of FAT or NTFS: what they decide
// the same way whatever the volume holds. The file system finds files and
// keeps its FCBs; this keeps the file object's context, the volume's open
// and handle counts, share access and the rules of the create dispositions.
#pragma once

#include "platform/drivers/fscommon/fs_volume.h"

// The file object's context (FsContext2) begins with this.
struct FsCcb {
  BOOLEAN VolumeOpen;
  BOOLEAN DeleteOnClose;
  BOOLEAN QueryStarted;
  PWCHAR Pattern;  // of a folder listing, freed with the context
};

// An open as the create request asks for it.
struct FsOpen {
  PFILE_OBJECT File;
  ULONG Options;      // FILE_* create options
  ULONG Disposition;  // FILE_OPEN, FILE_CREATE, ...
  ACCESS_MASK Access;
  USHORT ShareAccess;
  BOOLEAN WantDirectory;
  BOOLEAN WantFile;
  BOOLEAN TargetDirectory;  // the folder a rename puts the last name in
  PCWSTR Path;
  USHORT Length;  // characters, without a trailing backslash
};

// What a file system hands the shared open, cleanup and close.
struct FsFileSystem {
  ULONG Tag;       // of the contexts it allocates
  SIZE_T CcbSize;  // its context, which begins with FsCcb
  // Optional: whether the volume's contents are gone while it is not yet
  // marked dismounted.
  BOOLEAN (*ContentsGone)(FsVolume *Volume);
  // Opens a file or folder by path; the volume's lock is held.
  NTSTATUS (*OpenPath)(FsVolume *Volume, PIRP Irp, ULONG_PTR *Information);
  // The cleanup of a file object on a file or folder; the lock is held.
  VOID (*CleanupFile)(FsVolume *Volume, PFILE_OBJECT File, FsCcb *Ccb);
  // Lets go of the file object's FCB at close; the lock is held.
  VOID (*ReleaseFcb)(PVOID Fcb);
  // Deletes the volume when nothing holds its VPB any more.
  VOID (*CheckForDismount)(FsVolume *Volume, BOOLEAN Creating);
};

// fs_open.cpp: the create request's parameters, checked as far as they go
// without the volume: the disposition, folder against file, and where the
// name starts (the related file object's folder, RelatedFolder, when
// Related, else the root).
NTSTATUS FsReadOpen(PIO_STACK_LOCATION Stack, FsOpen *Open);
NTSTATUS FsCheckOpenName(FsOpen *Open, BOOLEAN Related, BOOLEAN RelatedFolder);
// Whether the open names the root, or the related folder itself.
BOOLEAN FsOpensStartFolder(const FsOpen *Open, BOOLEAN Related);
// The open of the root or the related folder itself.
NTSTATUS FsCheckStartFolderOpen(const FsOpen *Open);
// The open of a file or folder that exists.
NTSTATUS FsCheckExistingOpen(const FsOpen *Open, BOOLEAN Directory, BOOLEAN ReadOnly,
                             BOOLEAN DeletePending);
BOOLEAN FsOverwrites(ULONG Disposition);
// The open of the folder a name goes in: the file object keeps the last
// component as its name, which a rename takes as the new name.
VOID FsKeepLastName(PFILE_OBJECT File, PCWSTR Name, USHORT Length);
// An open FCB's share access (Handles open on it), or the first open's.
NTSTATUS FsTakeShare(const FsOpen *Open, ULONG Handles, PSHARE_ACCESS Share);
// Gives the file object its context for an FCB it opened (share access
// taken) and counts the handle; on failure the share access is given back
// and the caller still holds its reference to the FCB.
NTSTATUS FsAttachOpen(const FsOpen *Open, const FsFileSystem *Fs, PVOID Fcb, BOOLEAN IsRoot,
                      ULONG *Handles, PSHARE_ACCESS Share);

// fs_open_volume.cpp: the create, cleanup and close requests.
NTSTATUS FsCreate(FsVolume *Volume, PIRP Irp, const FsFileSystem *Fs);
NTSTATUS FsCleanup(FsVolume *Volume, PIRP Irp, const FsFileSystem *Fs);
NTSTATUS FsClose(FsVolume *Volume, PIRP Irp, const FsFileSystem *Fs);
