// File-system controls on an NTFS volume: the volume lock, dismount and the
// mounted check as every volume has them, the library flushed before a lock
// and let go at dismount; and the compression of files and folders.
#include "platform/drivers/ntfs/ntfs_volume.h"

namespace {

NTSTATUS FlushLibrary(FsVolume *Volume) { return NtfsStatus(NtfsLibFlush(static_cast<NtfsVolume *>(Volume)->Lib)); }

// The library lets the volume go, everything written.
VOID ReleaseLibrary(FsVolume *Volume) { NtfsReleaseLibrary(static_cast<NtfsVolume *>(Volume)); }

constexpr FsVolumeHooks kHooks{FlushLibrary, ReleaseLibrary};

NTSTATUS SetCompression(NtfsVolume *Volume, PIO_STACK_LOCATION Stack, PVOID Buffer) {
  auto *fcb = static_cast<NtfsFcb *>(Stack->FileObject->FsContext);
  if (!fcb) return STATUS_INVALID_PARAMETER;
  if (Stack->Parameters.FileSystemControl.InputBufferLength < sizeof(USHORT) || !Buffer)
    return STATUS_INVALID_PARAMETER;
  USHORT format = *static_cast<PUSHORT>(Buffer);
  if (format != COMPRESSION_FORMAT_NONE && format != COMPRESSION_FORMAT_DEFAULT && format != COMPRESSION_FORMAT_LZNT1)
    return STATUS_INVALID_PARAMETER;
  FsEnter(Volume);
  NTSTATUS status = NtfsStatus(NtfsLibSetCompression(Volume->Lib, fcb->Inode, format != COMPRESSION_FORMAT_NONE));
  FsLeave(Volume);
  return status;
}

NTSTATUS GetCompression(NtfsVolume *Volume, PIO_STACK_LOCATION Stack, PVOID Buffer, ULONG_PTR *Information) {
  auto *fcb = static_cast<NtfsFcb *>(Stack->FileObject->FsContext);
  if (!fcb) return STATUS_INVALID_PARAMETER;
  if (Stack->Parameters.FileSystemControl.OutputBufferLength < sizeof(USHORT) || !Buffer)
    return STATUS_BUFFER_TOO_SMALL;
  FsEnter(Volume);
  NtfsLibInfo info;
  NTSTATUS status = NtfsStatus(NtfsLibStat(Volume->Lib, fcb->Inode, &info));
  FsLeave(Volume);
  if (!NT_SUCCESS(status)) return status;
  *static_cast<PUSHORT>(Buffer) =
      (info.Attributes & FILE_ATTRIBUTE_COMPRESSED) ? COMPRESSION_FORMAT_LZNT1 : COMPRESSION_FORMAT_NONE;
  *Information = sizeof(USHORT);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NtfsFileSystemControl(NtfsVolume *Volume, PIRP Irp) {
  NTSTATUS status;
  if (FsVolumeControl(Volume, Irp, &kHooks, &status)) return status;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG_PTR information = 0;
  switch (stack->Parameters.FileSystemControl.FsControlCode) {
    case FSCTL_SET_COMPRESSION:
      return FsComplete(Irp, SetCompression(Volume, stack, Irp->AssociatedIrp.SystemBuffer), 0);
    case FSCTL_GET_COMPRESSION:
      status = GetCompression(Volume, stack, Irp->AssociatedIrp.SystemBuffer, &information);
      return FsComplete(Irp, status, information);
    default:
      return FsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}
