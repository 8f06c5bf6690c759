// Reads and writes of files (always straight to the volume: nothing is
// cached), of the volume itself (passed down), and flushes.
#include "platform/drivers/fat/fat_volume.h"

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

}  // namespace

NTSTATUS FatReadWrite(FatVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  auto *fcb = static_cast<FatFcb *>(file->FsContext);
  // The volume's own bytes: its device answers, as for a raw volume.
  if (!fcb) return FatPassDown(Volume, Irp);
  BOOLEAN write = stack->MajorFunction == IRP_MJ_WRITE;
  if (FatFcbIsDirectory(fcb)) return FatComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  ULONG length = stack->Parameters.Read.Length;
  PVOID buffer = length ? FatRequestBuffer(Irp) : nullptr;
  if (length && !buffer) return FatComplete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  ULONG_PTR done = 0;
  FatEnter(Volume);
  LARGE_INTEGER at = stack->Parameters.Read.ByteOffset;
  if (write && at.HighPart == -1 && at.LowPart == FILE_WRITE_TO_END_OF_FILE) at.QuadPart = fcb->Entry.Dirent.FileSize;
  NTSTATUS status;
  if (at.QuadPart < 0)
    status = STATUS_INVALID_PARAMETER;
  else if (write)
    status = WriteFile(Volume, fcb, at.QuadPart, buffer, length, &done);
  else
    status = ReadFile(Volume, fcb, at.QuadPart, buffer, length, &done);
  if (NT_SUCCESS(status) && (file->Flags & FO_SYNCHRONOUS_IO)) file->CurrentByteOffset.QuadPart = at.QuadPart + done;
  FatLeave(Volume);
  return FatComplete(Irp, status, done);
}

namespace {

// A device that knows no flush has nothing to flush.
IO_COMPLETION_ROUTINE FlushCompletion;
NTSTATUS FlushCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID) {
  if (Irp->PendingReturned) IoMarkIrpPending(Irp);
  if (Irp->IoStatus.Status == STATUS_INVALID_DEVICE_REQUEST) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
  }
  return STATUS_CONTINUE_COMPLETION;
}

}  // namespace

NTSTATUS FatFlush(FatVolume *Volume, PIRP Irp) {
  FatEnter(Volume);
  NTSTATUS status = FatFlushTable(&Volume->Core);
  FatLeave(Volume);
  if (!NT_SUCCESS(status)) return FatComplete(Irp, status, 0);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, FlushCompletion, nullptr, TRUE, TRUE, TRUE);
  status = IoCallDriver(Volume->Target, Irp);
  return status == STATUS_INVALID_DEVICE_REQUEST ? STATUS_SUCCESS : status;
}
