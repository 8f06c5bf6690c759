// How a caller's read, write, flush or device-control request on a file
// object becomes an IRP, as the Nt services build them: the access the
// handle was opened with, a user caller's buffers probed, the position of
// synchronous file objects, and the buffers described as the device asks:
// a system buffer for DO_BUFFERED_IO, an MDL over the caller's own pages
// for DO_DIRECT_IO, the caller's address otherwise; for device control,
// the method of the code.
#include "internal.h"
#include "io/io_internal.h"

#include <cstring>

namespace bw {

namespace {

constexpr ULONG kIoTag = 0x20206F49;  // "Io  "
constexpr ACCESS_MASK kWriteData = FILE_WRITE_DATA | FILE_APPEND_DATA;

// ProbeForRead/ProbeForWrite: a user caller's buffer lies wholly in user
// space. The real probe raises an access violation, which the service
// returns as its status.
bool InUserSpace(const void *buffer, ULONG length) {
  if (length == 0) return true;
  auto start = reinterpret_cast<ULONG_PTR>(buffer);
  return start != 0 && start + length > start && start + length <= MmUserProbeAddress;
}

// The I/O manager takes requests on a synchronous file object one at a
// time, so that each sees the position the one before left.
class SynchronousRequest {
 public:
  SynchronousRequest(PFILE_OBJECT file, KPROCESSOR_MODE mode)
      : lock_((mode == UserMode && (file->Flags & FO_SYNCHRONOUS_IO))
                  ? &FileStateOf(file)->synchronousLock
                  : nullptr) {
    if (lock_) lock_->lock();
  }
  ~SynchronousRequest() {
    if (lock_) lock_->unlock();
  }
  SynchronousRequest(const SynchronousRequest &) = delete;
  SynchronousRequest &operator=(const SynchronousRequest &) = delete;

 private:
  std::mutex *lock_;
};

// A file opened without intermediate buffering transfers whole sectors
// from buffers the device can reach directly; the service checks this for
// user callers before anything is sent.
bool UnbufferedTransferAligned(PDEVICE_OBJECT device, const void *buffer, ULONG length,
                               const LARGE_INTEGER *byteOffset) {
  ULONG sector = device->SectorSize;
  if (sector && length % sector) return false;
  if (reinterpret_cast<ULONG_PTR>(buffer) & device->AlignmentRequirement) return false;
  return !(byteOffset && sector && static_cast<ULONGLONG>(byteOffset->QuadPart) % sector);
}

// Where a read or write starts: the offset given, "end of file" for writes
// (left to the file system), else the position of a synchronous file.
NTSTATUS ResolveOffset(PFILE_OBJECT file, bool write, const LARGE_INTEGER *byteOffset,
                       LARGE_INTEGER *at) {
  if (!byteOffset ||
      (byteOffset->HighPart == -1 && byteOffset->LowPart == FILE_USE_FILE_POINTER_POSITION)) {
    if (!(file->Flags & FO_SYNCHRONOUS_IO)) return STATUS_INVALID_PARAMETER;
    at->QuadPart = __atomic_load_n(&file->CurrentByteOffset.QuadPart, __ATOMIC_RELAXED);
    return STATUS_SUCCESS;
  }
  *at = *byteOffset;
  if (write && byteOffset->HighPart == -1 && byteOffset->LowPart == FILE_WRITE_TO_END_OF_FILE)
    return STATUS_SUCCESS;
  return byteOffset->QuadPart < 0 ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

// Gives a read or write IRP its buffer the way the device takes it.
NTSTATUS DescribeTransferBuffer(PDEVICE_OBJECT device, PIRP irp, bool write, PVOID buffer,
                                ULONG length, KPROCESSOR_MODE mode) {
  irp->UserBuffer = buffer;
  if (length == 0) return STATUS_SUCCESS;
  if (device->Flags & DO_BUFFERED_IO) {
    irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, length, kIoTag);
    if (!irp->AssociatedIrp.SystemBuffer) return STATUS_INSUFFICIENT_RESOURCES;
    if (write) memcpy(irp->AssociatedIrp.SystemBuffer, buffer, length);
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (write ? 0 : IRP_INPUT_OPERATION);
  } else if (device->Flags & DO_DIRECT_IO) {
    // The pages the caller's buffer lies in, locked; the driver maps them.
    PMDL mdl = IoAllocateMdl(buffer, length, FALSE, TRUE, irp);
    if (!mdl) return STATUS_INSUFFICIENT_RESOURCES;
    MmProbeAndLockPages(mdl, mode, write ? IoReadAccess : IoWriteAccess);
  }
  return STATUS_SUCCESS;
}

// What a user caller must have been granted for a device-control code,
// and whether its buffers are its own.
NTSTATUS CheckUserControl(PFILE_OBJECT file, ULONG code, PVOID input, ULONG inputLength,
                          PVOID output, ULONG outputLength) {
  ULONG needed = (code >> 14) & 3;
  ACCESS_MASK granted = FileStateOf(file)->grantedAccess;
  if (((needed & FILE_READ_ACCESS) && !(granted & FILE_READ_DATA)) ||
      ((needed & FILE_WRITE_ACCESS) && !(granted & FILE_WRITE_DATA)))
    return STATUS_ACCESS_DENIED;
  // METHOD_NEITHER hands the addresses over unprobed: the driver probes them.
  if (METHOD_FROM_CTL_CODE(code) != METHOD_NEITHER &&
      (!InUserSpace(input, inputLength) || !InUserSpace(output, outputLength)))
    return STATUS_ACCESS_VIOLATION;
  return STATUS_SUCCESS;
}

}  // namespace

namespace {

// A device-control or file-system-control request through `file`.
NTSTATUS FileControl(PFILE_OBJECT file, KPROCESSOR_MODE mode, UCHAR major, bool internal,
                     ULONG code, PVOID input, ULONG inputLength, PVOID output,
                     ULONG outputLength, PIO_STATUS_BLOCK iosb) {
  if (mode == UserMode) {
    NTSTATUS status = CheckUserControl(file, code, input, inputLength, output, outputLength);
    if (!NT_SUCCESS(status)) return status;
  }
  SynchronousRequest serial(file, mode);
  PDEVICE_OBJECT top = RelatedDeviceReference(file);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  // The builder gives the request the buffering of the code's method.
  PIRP irp = IoBuildDeviceIoControlRequest(code, top, input, inputLength, output, outputLength,
                                           internal, &event, iosb);
  if (!irp) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->RequestorMode = mode;
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->FileObject = file;
  if (major == IRP_MJ_FILE_SYSTEM_CONTROL) {
    next->MajorFunction = IRP_MJ_FILE_SYSTEM_CONTROL;
    next->MinorFunction = IRP_MN_USER_FS_REQUEST;
  }
  NTSTATUS status = CallAndWait(top, irp, &event, iosb);
  iosb->Status = status;
  ObfDereferenceObject(top);
  return status;
}

}  // namespace

NTSTATUS FileDeviceIoControl(PFILE_OBJECT file, KPROCESSOR_MODE mode, bool internal, ULONG code,
                             PVOID input, ULONG inputLength, PVOID output, ULONG outputLength,
                             PIO_STATUS_BLOCK iosb) {
  // A user program's DeviceIoControl sends the file system's own codes as
  // file-system controls, as kernel32 chooses NtFsControlFile for them.
  UCHAR major = mode == UserMode && !internal &&
                        DEVICE_TYPE_FROM_CTL_CODE(code) == FILE_DEVICE_FILE_SYSTEM
                    ? IRP_MJ_FILE_SYSTEM_CONTROL
                    : IRP_MJ_DEVICE_CONTROL;
  return FileControl(file, mode, major, internal, code, input, inputLength, output, outputLength,
                     iosb);
}

NTSTATUS FileFsControl(PFILE_OBJECT file, KPROCESSOR_MODE mode, ULONG code, PVOID input,
                       ULONG inputLength, PVOID output, ULONG outputLength,
                       PIO_STATUS_BLOCK iosb) {
  return FileControl(file, mode, IRP_MJ_FILE_SYSTEM_CONTROL, false, code, input, inputLength,
                     output, outputLength, iosb);
}

NTSTATUS FileReadWrite(PFILE_OBJECT file, KPROCESSOR_MODE mode, bool write, PVOID buffer,
                       ULONG length, const LARGE_INTEGER *byteOffset, PIO_STATUS_BLOCK iosb) {
  if (mode == UserMode) {
    if (!(FileStateOf(file)->grantedAccess & (write ? kWriteData : FILE_READ_DATA)))
      return STATUS_ACCESS_DENIED;
    if (!InUserSpace(buffer, length)) return STATUS_ACCESS_VIOLATION;
  }
  PDEVICE_OBJECT top = RelatedDeviceReference(file);
  if (mode == UserMode && (file->Flags & FO_NO_INTERMEDIATE_BUFFERING) &&
      !UnbufferedTransferAligned(top, buffer, length, byteOffset)) {
    ObfDereferenceObject(top);
    return STATUS_INVALID_PARAMETER;
  }
  SynchronousRequest serial(file, mode);
  LARGE_INTEGER at;
  NTSTATUS status = ResolveOffset(file, write, byteOffset, &at);
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(top);
    return status;
  }
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = AllocateCallerIrp(top, &event, iosb);
  if (!irp) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->RequestorMode = mode;
  irp->Tail.Overlay.OriginalFileObject = file;
  if (file->Flags & FO_NO_INTERMEDIATE_BUFFERING) irp->Flags |= IRP_NOCACHE;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = write ? IRP_MJ_WRITE : IRP_MJ_READ;
  next->FileObject = file;
  next->Parameters.Read.Length = length;
  next->Parameters.Read.Key = 0;
  next->Parameters.Read.ByteOffset = at;
  status = DescribeTransferBuffer(top, irp, write, buffer, length, mode);
  if (!NT_SUCCESS(status)) {
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) ExFreePool(irp->AssociatedIrp.SystemBuffer);
    IoFreeIrp(irp);
    ObfDereferenceObject(top);
    return status;
  }
  status = CallAndWait(top, irp, &event, iosb);
  iosb->Status = status;
  ObfDereferenceObject(top);
  // Synchronous file objects move on by what was transferred (the file
  // system places writes at the end of file itself).
  if (NT_SUCCESS(status) && (file->Flags & FO_SYNCHRONOUS_IO) && at.QuadPart >= 0)
    // Kernel callers' requests on one file object do not take turns here, so
    // the position moves as one word.
    __atomic_store_n(&file->CurrentByteOffset.QuadPart, at.QuadPart + static_cast<LONGLONG>(iosb->Information),
                     __ATOMIC_RELAXED);
  return status;
}

NTSTATUS FileFlushBuffers(PFILE_OBJECT file, KPROCESSOR_MODE mode, PIO_STATUS_BLOCK iosb) {
  // Flushing is writing: a handle that may not write may not flush.
  if (mode == UserMode && !(FileStateOf(file)->grantedAccess & kWriteData))
    return STATUS_ACCESS_DENIED;
  SynchronousRequest serial(file, mode);
  PDEVICE_OBJECT top = RelatedDeviceReference(file);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = AllocateCallerIrp(top, &event, iosb);
  if (!irp) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->RequestorMode = mode;
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  next->FileObject = file;
  NTSTATUS status = CallAndWait(top, irp, &event, iosb);
  iosb->Status = status;
  ObfDereferenceObject(top);
  return status;
}

}  // namespace bw
