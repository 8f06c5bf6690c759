// I/O manager internals shared by its source files.
#pragma once

#include <wdm.h>
#include "ob/object.h"

#include <mutex>
#include <string>

namespace bw {

// Host-private state of a device object (DeviceObjectExtension).
struct DeviceState {
  bool deleted = false;
  bool shutdownRegistered = false;
  bool exclusiveOpen = false;
  LONG openCount = 0;
};
DeviceState *StateOf(PDEVICE_OBJECT device);

// Host-private state of a file object, kept in its FsContext-free tail.
struct FileState {
  ACCESS_MASK grantedAccess = 0;
  KPROCESSOR_MODE openMode = KernelMode;
  bool createSent = false;  // IRP_MJ_CREATE succeeded: cleanup and close follow
  // A synchronous file object takes one user request at a time, in order.
  std::mutex synchronousLock;
};
FileState *FileStateOf(PFILE_OBJECT file);

// Opens a device (or a name below it) and sends IRP_MJ_CREATE down its
// stack. On success *file holds one reference.
NTSTATUS OpenFileObject(std::u16string_view path, ACCESS_MASK access, ULONG shareAccess,
                        ULONG disposition, ULONG options, KPROCESSOR_MODE mode,
                        PFILE_OBJECT *file, ULONG_PTR *information);

// Requests through a file object as the Nt services send them, waiting
// for their completion (io_transfer.cpp). A UserMode caller's buffers must
// lie in user space; they are described as the device asks.
//
// A device-control request with the buffering of the code's method;
// `output` receives what the request returned.
NTSTATUS FileDeviceIoControl(PFILE_OBJECT file, KPROCESSOR_MODE mode, bool internal, ULONG code,
                             PVOID input, ULONG inputLength, PVOID output, ULONG outputLength,
                             PIO_STATUS_BLOCK iosb);
// A read or write at `byteOffset`; null (or FILE_USE_FILE_POINTER_POSITION)
// is the position of a synchronous file object, which moves on by what was
// transferred.
NTSTATUS FileReadWrite(PFILE_OBJECT file, KPROCESSOR_MODE mode, bool write, PVOID buffer,
                       ULONG length, const LARGE_INTEGER *byteOffset, PIO_STATUS_BLOCK iosb);
NTSTATUS FileFlushBuffers(PFILE_OBJECT file, KPROCESSOR_MODE mode, PIO_STATUS_BLOCK iosb);

// An IRP for `device` that completes into `iosb` and `event` and is freed
// by its completion, as the requests the I/O manager builds for a caller.
PIRP AllocateCallerIrp(PDEVICE_OBJECT device, PKEVENT event, PIO_STATUS_BLOCK iosb);

// Waits for a request built on `event` and returns its final status.
NTSTATUS CallAndWait(PDEVICE_OBJECT device, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb);

// IRP bookkeeping for the checker.
size_t OutstandingIrps();
// Returns once no work item queued through one of Driver's devices runs.
void WaitForDriverWorkItems(PDRIVER_OBJECT Driver);
void ShutdownNotifyAll();
void DeviceStatesShutdown();

}  // namespace bw
