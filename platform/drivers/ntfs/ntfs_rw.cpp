// Reads and writes of files through the library (nothing cached here: each
// request reaches the volume device before it completes), of the volume
// itself (passed down), and flushes.
#include "platform/drivers/fscommon/fs_file_io.h"
#include "platform/drivers/ntfs/ntfs_volume.h"

namespace {

BOOLEAN IsDirectory(PVOID Fcb) { return static_cast<NtfsFcb *>(Fcb)->Directory; }

NTSTATUS Size(FsVolume *Volume, PVOID Fcb, LONGLONG *Size) {
  NtfsLibInfo info;
  auto *volume = static_cast<NtfsVolume *>(Volume);
  NTSTATUS status = NtfsStatus(NtfsLibStat(volume->Lib, static_cast<NtfsFcb *>(Fcb)->Inode, &info));
  if (NT_SUCCESS(status)) *Size = static_cast<LONGLONG>(info.Size);
  return status;
}

NTSTATUS Read(FsVolume *Volume, PVOID Fcb, LONGLONG Offset, PVOID Buffer, ULONG Length, ULONG_PTR *Done) {
  if (!Length) return STATUS_SUCCESS;
  uint32_t got = 0;
  NTSTATUS status = NtfsStatus(NtfsLibRead(static_cast<NtfsVolume *>(Volume)->Lib, static_cast<NtfsFcb *>(Fcb)->Inode,
                                           static_cast<ULONG64>(Offset), Buffer, Length, &got));
  if (NT_SUCCESS(status) && got == 0) status = STATUS_END_OF_FILE;
  *Done = got;
  return status;
}

NTSTATUS Write(FsVolume *Volume, PVOID Fcb, LONGLONG Offset, PVOID Buffer, ULONG Length, ULONG_PTR *Done) {
  NTSTATUS status = STATUS_SUCCESS;
  if (Length)
    status = NtfsStatus(NtfsLibWrite(static_cast<NtfsVolume *>(Volume)->Lib, static_cast<NtfsFcb *>(Fcb)->Inode,
                                     static_cast<ULONG64>(Offset), Buffer, Length));
  if (NT_SUCCESS(status)) *Done = Length;
  return status;
}

constexpr FsFileIo kIo{NtfsLibraryGone, IsDirectory, Size, Read, Write};

}  // namespace

NTSTATUS NtfsReadWrite(NtfsVolume *Volume, PIRP Irp) { return FsReadWrite(Volume, Irp, &kIo); }

// The library has written everything already; the device below is asked
// to flush what it keeps.
NTSTATUS NtfsFlush(NtfsVolume *Volume, PIRP Irp) {
  FsEnter(Volume);
  NTSTATUS status = Volume->Lib ? STATUS_SUCCESS : STATUS_VOLUME_DISMOUNTED;
  FsLeave(Volume);
  if (!NT_SUCCESS(status)) return FsComplete(Irp, status, 0);
  return FsFlushDown(Volume, Irp);
}
