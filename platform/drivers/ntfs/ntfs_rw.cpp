// Reads and writes of files through the library (nothing cached here: each
// request reaches the volume device before it completes), of the volume
// itself (passed down), and flushes.
#include "platform/drivers/ntfs/ntfs_volume.h"

NTSTATUS NtfsReadWrite(NtfsVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PFILE_OBJECT file = stack->FileObject;
  auto *fcb = static_cast<NtfsFcb *>(file->FsContext);
  // The volume's own bytes: its device answers, as for a raw volume.
  if (!fcb) return NtfsPassDown(Volume, Irp);
  BOOLEAN write = stack->MajorFunction == IRP_MJ_WRITE;
  if (fcb->Directory) return NtfsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  ULONG length = stack->Parameters.Read.Length;
  PVOID buffer = length ? NtfsRequestBuffer(Irp) : nullptr;
  if (length && !buffer) return NtfsComplete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  ULONG_PTR done = 0;
  NtfsEnter(Volume);
  LARGE_INTEGER at = stack->Parameters.Read.ByteOffset;
  NTSTATUS status = STATUS_SUCCESS;
  if (!Volume->Lib) {
    status = STATUS_VOLUME_DISMOUNTED;
  } else if (write && at.HighPart == -1 && at.LowPart == FILE_WRITE_TO_END_OF_FILE) {
    NtfsLibInfo info;
    status = NtfsStatus(NtfsLibStat(Volume->Lib, fcb->Inode, &info));
    at.QuadPart = static_cast<LONGLONG>(info.Size);
  }
  if (!NT_SUCCESS(status)) {
  } else if (at.QuadPart < 0) {
    status = STATUS_INVALID_PARAMETER;
  } else if (write) {
    if (length) status = NtfsStatus(NtfsLibWrite(Volume->Lib, fcb->Inode, static_cast<ULONG64>(at.QuadPart), buffer, length));
    if (NT_SUCCESS(status)) done = length;
  } else if (length) {
    uint32_t got = 0;
    status = NtfsStatus(NtfsLibRead(Volume->Lib, fcb->Inode, static_cast<ULONG64>(at.QuadPart), buffer, length, &got));
    if (NT_SUCCESS(status) && got == 0) status = STATUS_END_OF_FILE;
    done = got;
  }
  if (NT_SUCCESS(status) && (file->Flags & FO_SYNCHRONOUS_IO)) file->CurrentByteOffset.QuadPart = at.QuadPart + done;
  NtfsLeave(Volume);
  return NtfsComplete(Irp, status, done);
}

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

// The library has written everything already; the device below is asked
// to flush what it keeps.
NTSTATUS NtfsFlush(NtfsVolume *Volume, PIRP Irp) {
  NtfsEnter(Volume);
  NTSTATUS status = Volume->Lib ? STATUS_SUCCESS : STATUS_VOLUME_DISMOUNTED;
  NtfsLeave(Volume);
  if (!NT_SUCCESS(status)) return NtfsComplete(Irp, status, 0);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, FlushCompletion, nullptr, TRUE, TRUE, TRUE);
  status = IoCallDriver(Volume->Target, Irp);
  return status == STATUS_INVALID_DEVICE_REQUEST ? STATUS_SUCCESS : status;
}
