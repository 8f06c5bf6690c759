// Reads and writes of files, and flushes passed down.
#include "platform/drivers/fscommon/fs_file_io.h"

namespace {

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

NTSTATUS FsReadWrite(FsVolume *Volume, PIRP Irp, const FsFileIo *Io) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  PVOID fcb = file->FsContext;
  // The volume's own bytes: its device answers, as for a raw volume.
  if (!fcb) return FsPassDown(Volume, Irp);
  BOOLEAN write = stack->MajorFunction == IRP_MJ_WRITE;
  if (Io->IsDirectory(fcb)) return FsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  ULONG length = stack->Parameters.Read.Length;
  PVOID buffer = length ? FsRequestBuffer(Irp) : nullptr;
  if (length && !buffer) return FsComplete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  ULONG_PTR done = 0;
  FsEnter(Volume);
  LARGE_INTEGER at = stack->Parameters.Read.ByteOffset;
  NTSTATUS status = STATUS_SUCCESS;
  if (Io->ContentsGone && Io->ContentsGone(Volume))
    status = STATUS_VOLUME_DISMOUNTED;
  else if (write && at.HighPart == -1 && at.LowPart == FILE_WRITE_TO_END_OF_FILE)
    status = Io->Size(Volume, fcb, &at.QuadPart);
  if (!NT_SUCCESS(status)) {
  } else if (at.QuadPart < 0) {
    status = STATUS_INVALID_PARAMETER;
  } else if (write) {
    status = Io->Write(Volume, fcb, at.QuadPart, buffer, length, &done);
  } else {
    status = Io->Read(Volume, fcb, at.QuadPart, buffer, length, &done);
  }
  if (NT_SUCCESS(status) && (file->Flags & FO_SYNCHRONOUS_IO))
    file->CurrentByteOffset.QuadPart = at.QuadPart + done;
  FsLeave(Volume);
  return FsComplete(Irp, status, done);
}

NTSTATUS FsFlushDown(FsVolume *Volume, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, FlushCompletion, nullptr, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Volume->Target, Irp);
  return status == STATUS_INVALID_DEVICE_REQUEST ? STATUS_SUCCESS : status;
}
