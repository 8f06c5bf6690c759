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
  bool ownsVpb = false;  // a device that can hold a volume: its current VPB is freed with it
  LONG openCount = 0;
  void *devNode = nullptr;  // the PnP manager's node of a PDO
  DEVICE_POWER_STATE devicePower = PowerDeviceD0;  // what PoSetPowerState last recorded
  SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
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

// Volumes (io_mount.cpp). Devices of these types get a VPB at creation.
bool DeviceTypeHasVpb(DEVICE_TYPE type);
PVPB AllocateVpb(PDEVICE_OBJECT device);
// For an open that is not a direct device open: the device's volume,
// mounted now if it is not, with one more reference for the file object
// about to be created (null when no file system is registered at all).
// A locked volume refuses with STATUS_ACCESS_DENIED.
NTSTATUS ReferenceMountedVolume(PDEVICE_OBJECT device, PVPB *vpb);
void DereferenceVolume(PVPB vpb);
// The top of the stack a file's requests go to: the volume device of the
// file system it was opened through, else the device's own stack.
PDEVICE_OBJECT RelatedDeviceReference(PFILE_OBJECT file);
// A file-system control request (IRP_MJ_FILE_SYSTEM_CONTROL, user request)
// with the buffering of the code's method.
NTSTATUS FileFsControl(PFILE_OBJECT file, KPROCESSOR_MODE mode, ULONG code, PVOID input,
                       ULONG inputLength, PVOID output, ULONG outputLength,
                       PIO_STATUS_BLOCK iosb);

// IRP bookkeeping for the checker.
size_t OutstandingIrps();
// Returns once no work item queued through one of Driver's devices runs.
void WaitForDriverWorkItems(PDRIVER_OBJECT Driver);
void ShutdownNotifyAll();
void DeviceStatesShutdown();

}  // namespace bw
