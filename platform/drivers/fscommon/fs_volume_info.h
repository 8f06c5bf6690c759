// Volume information requests on a volume of FAT or NTFS: the file system
// gathers what it knows of the volume, the answers are laid out alike.
#pragma once

#include "platform/drivers/fscommon/fs_volume.h"

struct FsVolumeFacts {
  ULONG Serial;
  PCWSTR Label;       // only asked for FileFsVolumeInformation
  ULONG LabelLength;  // characters
  ULONG64 TotalClusters;
  ULONG64 FreeClusters;
  ULONG SectorsPerCluster;
  ULONG BytesPerSector;
  ULONG Attributes;    // FILE_* file-system attributes
  ULONG MaxComponent;  // characters of a name
  PCWSTR Name;
  ULONG NameLength;  // characters
};

// Answers one volume information class; a label or name cut short keeps
// its length with STATUS_BUFFER_OVERFLOW.
NTSTATUS FsAnswerVolumeInformation(FsVolume *Volume, FS_INFORMATION_CLASS Class,
                                   const FsVolumeFacts *Facts, PVOID Buffer, ULONG Length,
                                   ULONG_PTR *Information);

// Answers one class for the volume; the volume's lock is held.
using FsQueryVolume = NTSTATUS (*)(FsVolume *Volume, FS_INFORMATION_CLASS Class, PVOID Buffer,
                                   ULONG Length, ULONG_PTR *Information);
// Sets the volume's label from a whole FILE_FS_LABEL_INFORMATION of Length
// characters; the volume's lock is held.
using FsSetLabel = NTSTATUS (*)(FsVolume *Volume, PCWSTR Label, ULONG Length);

// The query and set volume information requests (only the label can be
// set); a volume whose contents are gone (ContentsGone, optional) answers
// STATUS_VOLUME_DISMOUNTED.
NTSTATUS FsQueryVolumeInformation(FsVolume *Volume, PIRP Irp, FsQueryVolume Query,
                                  BOOLEAN (*ContentsGone)(FsVolume *Volume));
NTSTATUS FsSetVolumeInformation(FsVolume *Volume, PIRP Irp, FsSetLabel SetLabel,
                                BOOLEAN (*ContentsGone)(FsVolume *Volume));
// Shows a new label in the volume's VPB.
VOID FsSetVpbLabel(FsVolume *Volume, PCWSTR Label, ULONG Length);
