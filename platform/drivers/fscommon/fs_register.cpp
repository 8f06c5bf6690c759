// A file system's own device: created at load, registered, and gone at
// unload.
#include "platform/drivers/fscommon/fs_volume.h"

NTSTATUS FsRegisterFileSystem(PDRIVER_OBJECT Driver, PCWSTR Name, PDRIVER_DISPATCH Dispatch,
                              PDRIVER_UNLOAD Unload, PDEVICE_OBJECT *Device) {
  for (PDRIVER_DISPATCH &dispatch : Driver->MajorFunction) dispatch = Dispatch;
  Driver->DriverUnload = Unload;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  NTSTATUS status =
      IoCreateDevice(Driver, 0, &name, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, Device);
  if (!NT_SUCCESS(status)) return status;
  IoRegisterFileSystem(*Device);
  return STATUS_SUCCESS;
}

VOID FsUnregisterFileSystem(PDEVICE_OBJECT *Device) {
  IoUnregisterFileSystem(*Device);
  IoDeleteDevice(*Device);
  *Device = nullptr;
}
