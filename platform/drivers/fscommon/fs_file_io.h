// Reads, writes and flushes on a volume of FAT or NTFS: the request's
// checks, its offset and the file position are the same on both; the file
// system moves the bytes.
#pragma once

#include "platform/drivers/fscommon/fs_volume.h"

struct FsFileIo {
  // Optional: whether the volume's contents are gone while it is not yet
  // marked dismounted.
  BOOLEAN (*ContentsGone)(FsVolume *Volume);
  BOOLEAN (*IsDirectory)(PVOID Fcb);
  // The file's size, where a write to the end of the file goes.
  NTSTATUS (*Size)(FsVolume *Volume, PVOID Fcb, LONGLONG *Size);
  // Both run with the volume's lock held; Offset is not negative.
  NTSTATUS (*Read)
  (FsVolume *Volume, PVOID Fcb, LONGLONG Offset, PVOID Buffer, ULONG Length, ULONG_PTR *Done);
  NTSTATUS (*Write)
  (FsVolume *Volume, PVOID Fcb, LONGLONG Offset, PVOID Buffer, ULONG Length, ULONG_PTR *Done);
};

// A read or write of a file; those of the volume itself go to its device.
NTSTATUS FsReadWrite(FsVolume *Volume, PIRP Irp, const FsFileIo *Io);
// The flush goes down to the volume's device; one the device does not know
// succeeds, as there is nothing it keeps.
NTSTATUS FsFlushDown(FsVolume *Volume, PIRP Irp);
