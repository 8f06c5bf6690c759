// After a child started: waiting for the disk class driver's disk interface
// on it, then asking the top of its stack for its disk number.
#include "bus/bus.h"

#include <ntddstor.h>

namespace {

// How long the disk class driver may take to announce a started child.
constexpr LONGLONG kInterfaceWait = -10LL * 1000 * 1000 * 10;  // 10 s, relative

struct ArrivalWait {
  PDEVICE_OBJECT Child;
  KEVENT Matched;
};

// Whether the lowest device below the interface's device is Child.
BOOLEAN InterfaceBelongsTo(PUNICODE_STRING Link, PDEVICE_OBJECT Child) {
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT device = nullptr;
  if (!NT_SUCCESS(IoGetDeviceObjectPointer(Link, FILE_READ_ATTRIBUTES, &file, &device))) return FALSE;
  ObReferenceObject(device);
  for (PDEVICE_OBJECT lower = IoGetLowerDeviceObject(device); lower; lower = IoGetLowerDeviceObject(device)) {
    ObDereferenceObject(device);
    device = lower;
  }
  BOOLEAN match = device == Child;
  ObDereferenceObject(device);
  ObDereferenceObject(file);
  return match;
}

NTSTATUS OnDiskInterface(PVOID NotificationStructure, PVOID Context) {
  auto *notification = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(NotificationStructure);
  auto *wait = static_cast<ArrivalWait *>(Context);
  if (IsEqualGUID(notification->Event, GUID_DEVICE_INTERFACE_ARRIVAL) &&
      KeReadStateEvent(&wait->Matched) == 0 && InterfaceBelongsTo(notification->SymbolicLinkName, wait->Child))
    KeSetEvent(&wait->Matched, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

NTSTATUS WaitForDiskInterface(VirtualDisk *Disk) {
  ArrivalWait wait;
  wait.Child = Disk->Self;
  KeInitializeEvent(&wait.Matched, NotificationEvent, FALSE);
  PVOID entry = nullptr;
  NTSTATUS status = IoRegisterPlugPlayNotification(
      EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
      const_cast<GUID *>(&GUID_DEVINTERFACE_DISK), Disk->Self->DriverObject, OnDiskInterface, &wait, &entry);
  if (!NT_SUCCESS(status)) return status;
  LARGE_INTEGER timeout;
  timeout.QuadPart = kInterfaceWait;
  status = KeWaitForSingleObject(&wait.Matched, Executive, KernelMode, FALSE, &timeout);
  // The Ex form returns only once no callback runs any more: wait lives on
  // this stack.
  IoUnregisterPlugPlayNotificationEx(entry);
  return status == STATUS_SUCCESS ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

// The disk number as the top of the child's stack (the disk class driver)
// reports it.
NTSTATUS QueryDeviceNumber(VirtualDisk *Disk, STORAGE_DEVICE_NUMBER *Number) {
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Disk->Self);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb;
  iosb.Status = STATUS_SUCCESS;
  iosb.Information = 0;
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_STORAGE_GET_DEVICE_NUMBER, top, nullptr, 0, Number,
                                           sizeof(*Number), FALSE, &done, &iosb);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (irp) {
    status = IoCallDriver(top, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    if (NT_SUCCESS(status) && iosb.Information != sizeof(*Number)) status = STATUS_DEVICE_DATA_ERROR;
  }
  ObDereferenceObject(top);
  return status;
}

}  // namespace

NTSTATUS BusLearnDiskNumber(VirtualDisk *Disk) {
  NTSTATUS status = WaitForDiskInterface(Disk);
  STORAGE_DEVICE_NUMBER number;
  RtlZeroMemory(&number, sizeof(number));
  if (NT_SUCCESS(status)) status = QueryDeviceNumber(Disk, &number);
  if (NT_SUCCESS(status)) {
    Disk->DiskNumber = number.DeviceNumber;
    InterlockedOr(&Disk->StateFlags, BUS_DISK_STATE_NUMBER_KNOWN);
  }
  return status;
}
