// File information requests on a volume of FAT or NTFS: the parts that do
// not depend on what the file system keeps about a file.
#pragma once

#include "platform/drivers/fscommon/fs_volume.h"

// Answers one information class for an FCB; the volume's lock is held.
using FsQueryFile = NTSTATUS (*)(FsVolume *Volume, PFILE_OBJECT File, PVOID Fcb,
                                 FILE_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length,
                                 ULONG_PTR *Information);

// A query of a file's information: those of the volume itself go to its
// device; a volume whose contents are gone (ContentsGone, optional) answers
// STATUS_VOLUME_DISMOUNTED. A name cut short keeps its length with
// STATUS_BUFFER_OVERFLOW.
NTSTATUS FsQueryInformation(FsVolume *Volume, PIRP Irp, FsQueryFile Query,
                            BOOLEAN (*ContentsGone)(FsVolume *Volume));
// FilePositionInformation, the file object's own.
NTSTATUS FsQueryPosition(PFILE_OBJECT File, PVOID Buffer, ULONG Length, ULONG_PTR *Information);
NTSTATUS FsSetPosition(PFILE_OBJECT File, PVOID Buffer, ULONG Length);
// Whether a rename's information holds the whole of the name it says it
// has, in whole characters.
BOOLEAN FsRenameInformationIsWhole(const FILE_RENAME_INFORMATION *Info, ULONG Length);
// A new name for a rename within the same folder: no path in it.
BOOLEAN FsIsPlainName(PCWSTR Name, USHORT Length);

// IRP_MN_QUERY_DIRECTORY, listed by Query with the volume's lock held (the
// other minor functions are refused); a volume whose contents are gone
// (ContentsGone, optional) answers STATUS_VOLUME_DISMOUNTED. A record cut
// short keeps its length with STATUS_BUFFER_OVERFLOW.
NTSTATUS FsDirectoryControl(FsVolume *Volume, PIRP Irp,
                            NTSTATUS (*Query)(FsVolume *Volume, PIRP Irp, ULONG_PTR *Information),
                            BOOLEAN (*ContentsGone)(FsVolume *Volume));
