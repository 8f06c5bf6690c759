// Reads and writes of files (always straight to the volume: nothing is
// cached), of the volume itself (passed down), and flushes.
#include "platform/drivers/fat/fat_volume.h"
#include "platform/drivers/fscommon/fs_file_io.h"

namespace {

NTSTATUS ReadFile(FatVolume *Volume, FatFcb *Fcb, LONGLONG Offset, PVOID Buffer, ULONG Length, ULONG_PTR *Done) {
  ULONG size = Fcb->Entry.Dirent.FileSize;
  if (Length == 0) return STATUS_SUCCESS;
  if (Offset >= size) return STATUS_END_OF_FILE;
  ULONG count = static_cast<ULONG>(size - Offset) < Length ? static_cast<ULONG>(size - Offset) : Length;
  NTSTATUS status = FatReadData(&Volume->Core, FatDirentCluster(&Fcb->Entry.Dirent), Offset, Buffer, count);
  if (NT_SUCCESS(status)) *Done = count;
  return status;
}

NTSTATUS WriteFile(FatVolume *Volume, FatFcb *Fcb, LONGLONG Offset, PVOID Buffer, ULONG Length, ULONG_PTR *Done) {
  FatDirent *d = &Fcb->Entry.Dirent;
  if (Length == 0) return STATUS_SUCCESS;
  ULONG64 end = static_cast<ULONG64>(Offset) + Length;
  // A FAT file ends before 4 GiB, however much room the volume has.
  if (end > kFatMaxFileSize) return STATUS_FILE_TOO_LARGE;
  ULONG first = FatDirentCluster(d);
  ULONG oldSize = d->FileSize;
  NTSTATUS status = STATUS_SUCCESS;
  if (end > oldSize) {
    // The room first: a volume without it is left as it was. Only a gap
    // before the write is zeroed; the write fills the rest.
    status = FatResize(&Volume->Core, &first, oldSize, end, static_cast<ULONG64>(Offset));
    if (!NT_SUCCESS(status)) {
      FatFlushTable(&Volume->Core);
      return status;
    }
    FatSetDirentCluster(d, first);
    d->FileSize = static_cast<ULONG>(end);
  }
  status = FatWriteData(&Volume->Core, first, Offset, Buffer, Length);
  if (!NT_SUCCESS(status) && d->FileSize != oldSize) {
    // The file does not grow over what was never written: old clusters'
    // bytes must not show through.
    FatResize(&Volume->Core, &first, d->FileSize, oldSize);
    FatSetDirentCluster(d, first);
    d->FileSize = oldSize;
  }
  d->Attributes |= kFatAttrArchive;
  FatStampNow(d, FALSE);
  NTSTATUS saved = FatSaveFcb(Fcb);
  if (NT_SUCCESS(status)) status = saved;
  if (NT_SUCCESS(status)) *Done = Length;
  return status;
}

NTSTATUS Read(FsVolume *Volume, PVOID Fcb, LONGLONG Offset, PVOID Buffer, ULONG Length, ULONG_PTR *Done) {
  return ReadFile(static_cast<FatVolume *>(Volume), static_cast<FatFcb *>(Fcb), Offset, Buffer, Length, Done);
}

NTSTATUS Write(FsVolume *Volume, PVOID Fcb, LONGLONG Offset, PVOID Buffer, ULONG Length, ULONG_PTR *Done) {
  return WriteFile(static_cast<FatVolume *>(Volume), static_cast<FatFcb *>(Fcb), Offset, Buffer, Length, Done);
}

BOOLEAN IsDirectory(PVOID Fcb) { return FatFcbIsDirectory(static_cast<FatFcb *>(Fcb)); }

NTSTATUS Size(FsVolume *, PVOID Fcb, LONGLONG *Size) {
  *Size = static_cast<FatFcb *>(Fcb)->Entry.Dirent.FileSize;
  return STATUS_SUCCESS;
}

constexpr FsFileIo kIo{nullptr, IsDirectory, Size, Read, Write};

}  // namespace

NTSTATUS FatReadWrite(FatVolume *Volume, PIRP Irp) { return FsReadWrite(Volume, Irp, &kIo); }

NTSTATUS FatFlush(FatVolume *Volume, PIRP Irp) {
  FsEnter(Volume);
  NTSTATUS status = FatFlushTable(&Volume->Core);
  FsLeave(Volume);
  if (!NT_SUCCESS(status)) return FsComplete(Irp, status, 0);
  return FsFlushDown(Volume, Irp);
}
