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
// stack. On success *file holds one reference. `createFlags` go to the
// create's stack location (SL_OPEN_TARGET_DIRECTORY), `fileAttributes` are
// those of a file the open creates.
NTSTATUS OpenFileObject(std::u16string_view path, ACCESS_MASK access, ULONG shareAccess,
                        ULONG disposition, ULONG options, KPROCESSOR_MODE mode,
                        PFILE_OBJECT *file, ULONG_PTR *information, UCHAR createFlags = 0,
                        USHORT fileAttributes = 0);

// Information, volume, directory and security requests on a referenced
// file object, as the Nt services send them. `mode` is the caller's: a
// UserMode caller's buffers must lie in user space, and a rename target is
// opened with its access checked. The handle's access is the caller's to
// check first (RequiredAccess below).
NTSTATUS FileQueryInformation(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID buffer,
                              ULONG length, FILE_INFORMATION_CLASS infoClass,
                              PIO_STATUS_BLOCK iosb);
NTSTATUS FileSetInformation(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID buffer, ULONG length,
                            FILE_INFORMATION_CLASS infoClass, PIO_STATUS_BLOCK iosb);
NTSTATUS FileQueryVolume(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID buffer, ULONG length,
                         FS_INFORMATION_CLASS infoClass, PIO_STATUS_BLOCK iosb);
NTSTATUS FileSetVolume(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID buffer, ULONG length,
                       FS_INFORMATION_CLASS infoClass, PIO_STATUS_BLOCK iosb);
NTSTATUS FileQueryDirectory(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID buffer, ULONG length,
                            FILE_INFORMATION_CLASS infoClass, bool singleEntry,
                            PUNICODE_STRING fileName, bool restartScan, PIO_STATUS_BLOCK iosb);
// *needed: the descriptor's length, when the buffer is too small for it.
NTSTATUS FileQuerySecurity(PFILE_OBJECT file, KPROCESSOR_MODE mode, SECURITY_INFORMATION which,
                           PVOID buffer, ULONG length, ULONG *needed);
NTSTATUS FileSetSecurity(PFILE_OBJECT file, KPROCESSOR_MODE mode, SECURITY_INFORMATION which,
                         PSECURITY_DESCRIPTOR descriptor);
// Renames and links whose FileName is a path: the target's folder opened
// with SL_OPEN_TARGET_DIRECTORY, then IRP_MJ_SET_INFORMATION naming it
// (io_rename.cpp).
NTSTATUS FileRenameOrLink(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID buffer, ULONG length,
                          FILE_INFORMATION_CLASS infoClass, PIO_STATUS_BLOCK iosb);

// The handle access a user caller needs for each request.
enum class InfoRequest { Query, Set, QueryVolume, SetVolume, Directory };
ACCESS_MASK RequiredAccess(InfoRequest request, ULONG infoClass);
ACCESS_MASK QuerySecurityAccess(SECURITY_INFORMATION which);
ACCESS_MASK SetSecurityAccess(SECURITY_INFORMATION which);

// Sends a request of `shape` (major, minor, flags and parameters) for `file`
// and waits for it. Its buffer: a copy in a system buffer (`output`: the
// driver fills it and the caller's buffer receives what it returned), or,
// with `userBuffer`, the caller's own in Irp->UserBuffer. A `captured`
// buffer is the I/O manager's own copy, not probed as the caller's.
NTSTATUS SendFileInformationRequest(PFILE_OBJECT file, KPROCESSOR_MODE mode,
                                    const IO_STACK_LOCATION &shape, PVOID buffer, ULONG length,
                                    bool output, bool userBuffer, PIO_STATUS_BLOCK iosb,
                                    bool captured = false);
// A user caller's buffer lies wholly below MmUserProbeAddress.
bool UserBufferValid(KPROCESSOR_MODE mode, const void *buffer, ULONG length);

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
// Device objects of the driver that still exist, those deleted but still
// referenced (by an open file, say) included: while there are any, the
// driver's image must stay, since their last requests go to it.
size_t LiveDeviceObjects(PDRIVER_OBJECT Driver);
void ShutdownNotifyAll();
void DeviceStatesShutdown();

}  // namespace bw
