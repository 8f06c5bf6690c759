// Files and devices: opening by name, synchronous requests to a device stack.
#pragma once

#include "kernel-support/kernel.h"

// Opens (or creates, per Disposition) a file or device as a kernel handle
// for synchronous I/O.
NTSTATUS KsOpenFile(PHANDLE File, PCUNICODE_STRING Name, ACCESS_MASK Access, ULONG ShareAccess,
                    ULONG Disposition, ULONG Options);
// The device object behind Name and the referenced file object that keeps it;
// release with KsReleaseObject(&FileObject).
NTSTATUS KsGetDeviceObject(PCUNICODE_STRING Name, ACCESS_MASK Access, PFILE_OBJECT *FileObject,
                           PDEVICE_OBJECT *Device);
// Sends a control request to the top of Device's stack and waits for it.
// Returns the request's status; IoStatus (optional) receives status and
// byte count. A stack that cannot be referenced gives STATUS_INVALID_DEVICE_STATE.
NTSTATUS KsDeviceControl(PDEVICE_OBJECT Device, ULONG Code, PVOID Input, ULONG InputLength,
                         PVOID Output, ULONG OutputLength, BOOLEAN Internal,
                         PIO_STATUS_BLOCK IoStatus);
// The object name of a file object ("\Device\...\path"), freed with KsFreeString.
NTSTATUS KsQueryFileName(PFILE_OBJECT FileObject, PUNICODE_STRING *Name);
// Writes a file's cached data through to its device.
NTSTATUS KsFlushFile(HANDLE File);
