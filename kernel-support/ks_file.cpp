#include "kernel-support/ks_file.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_object.h"
#include "kernel-support/ks_string.h"

namespace {

// Passes Irp to Device and waits for the completion that signals Event.
NTSTATUS CallAndWait(PDEVICE_OBJECT Device, PIRP Irp, PKEVENT Event, PIO_STATUS_BLOCK IoStatus) {
  NTSTATUS status = IoCallDriver(Device, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
    status = IoStatus->Status;
  }
  return status;
}

}  // namespace

NTSTATUS KsOpenFile(PHANDLE File, PCUNICODE_STRING Name, ACCESS_MASK Access, ULONG ShareAccess,
                    ULONG Disposition, ULONG Options) {
  if (!File || !Name) return STATUS_INVALID_PARAMETER;
  *File = nullptr;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(Name),
                             OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  IO_STATUS_BLOCK iosb;
  return ZwCreateFile(File, Access | SYNCHRONIZE, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                      ShareAccess, Disposition, Options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
}

NTSTATUS KsGetDeviceObject(PCUNICODE_STRING Name, ACCESS_MASK Access, PFILE_OBJECT *FileObject,
                           PDEVICE_OBJECT *Device) {
  if (!Name || !FileObject || !Device) return STATUS_INVALID_PARAMETER;
  *FileObject = nullptr;
  *Device = nullptr;
  return IoGetDeviceObjectPointer(const_cast<PUNICODE_STRING>(Name), Access, FileObject, Device);
}

NTSTATUS KsDeviceControl(PDEVICE_OBJECT Device, ULONG Code, PVOID Input, ULONG InputLength,
                         PVOID Output, ULONG OutputLength, BOOLEAN Internal,
                         PIO_STATUS_BLOCK IoStatus) {
  if (!Device || (InputLength && !Input) || (OutputLength && !Output)) return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Device);
  if (!top) return STATUS_INVALID_DEVICE_STATE;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  iosb.Status = STATUS_SUCCESS;
  iosb.Information = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(Code, top, Input, InputLength, Output, OutputLength,
                                           Internal, &event, &iosb);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (irp) {
    status = CallAndWait(top, irp, &event, &iosb);
    iosb.Status = status;
  } else {
    iosb.Status = status;
    iosb.Information = 0;
  }
  ObDereferenceObject(top);
  if (IoStatus) *IoStatus = iosb;
  return status;
}

NTSTATUS KsQueryFileName(PFILE_OBJECT FileObject, PUNICODE_STRING *Name) {
  if (!FileObject || !Name) return STATUS_INVALID_PARAMETER;
  *Name = nullptr;
  ULONG size = sizeof(OBJECT_NAME_INFORMATION) + 256 * sizeof(WCHAR);
  for (int attempt = 0; attempt < 4; ++attempt) {
    auto *info = static_cast<POBJECT_NAME_INFORMATION>(KsAllocate(size, KS_TAG_PATH, PagedPool));
    if (!info) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG needed = 0;
    NTSTATUS status = ObQueryNameString(FileObject, info, size, &needed);
    if (NT_SUCCESS(status)) status = KsDuplicateString(&info->Name, Name);
    KsFree(&info);
    if (status != STATUS_INFO_LENGTH_MISMATCH && status != STATUS_BUFFER_OVERFLOW &&
        status != STATUS_BUFFER_TOO_SMALL)
      return status;
    size = needed > size ? needed : size * 2;
  }
  return STATUS_BUFFER_OVERFLOW;
}

NTSTATUS KsFlushFile(HANDLE File) {
  if (!File) return STATUS_INVALID_PARAMETER;
  PFILE_OBJECT fileObject;
  NTSTATUS status = KsReferenceObjectByHandle(File, 0, *IoFileObjectType, KernelMode,
                                              reinterpret_cast<PVOID *>(&fileObject));
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT device = IoGetRelatedDeviceObject(fileObject);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, device, nullptr, 0, nullptr, &event,
                                          &iosb);
  if (!irp) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    IoGetNextIrpStackLocation(irp)->FileObject = fileObject;
    status = CallAndWait(device, irp, &event, &iosb);
  }
  KsReleaseObject(&fileObject);
  return status;
}
