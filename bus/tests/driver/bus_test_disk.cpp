// A stand-in disk class driver for the bus's tests, loaded as service
// "disk": it attaches to each child the bus presents, announces the disk
// interface on it once started, numbers disks 0, 1, 2 ... and answers
// IOCTL_STORAGE_GET_DEVICE_NUMBER itself, as the real disk class driver
// does. Everything else goes down to the child unchanged.
#include <ntddk.h>
#include <ntddstor.h>

namespace {

struct TestDisk {
  PDEVICE_OBJECT Lower;
  UNICODE_STRING Interface;
  ULONG Number;
};

volatile LONG NextNumber;

TestDisk *DiskOf(PDEVICE_OBJECT Device) { return static_cast<TestDisk *>(Device->DeviceExtension); }

NTSTATUS Signal(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS PassDown(TestDisk *Disk, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Disk->Lower, Irp);
}

NTSTATUS Start(TestDisk *Disk, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, Signal, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(Disk->Lower, Irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = Irp->IoStatus.Status;
  if (NT_SUCCESS(status)) IoSetDeviceInterfaceState(&Disk->Interface, TRUE);
  return Complete(Irp, status, 0);
}

NTSTATUS Remove(PDEVICE_OBJECT Device, TestDisk *Disk, PIRP Irp) {
  if (Disk->Interface.Buffer) {
    IoSetDeviceInterfaceState(&Disk->Interface, FALSE);
    RtlFreeUnicodeString(&Disk->Interface);
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = PassDown(Disk, Irp);
  IoDetachDevice(Disk->Lower);
  IoDeleteDevice(Device);
  return status;
}

NTSTATUS Dispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  TestDisk *disk = DiskOf(Device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_START_DEVICE) return Start(disk, Irp);
  if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE)
    return Remove(Device, disk, Irp);
  if (stack->MajorFunction == IRP_MJ_POWER) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(disk->Lower, Irp);
  }
  if (stack->MajorFunction == IRP_MJ_DEVICE_CONTROL &&
      stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(STORAGE_DEVICE_NUMBER))
      return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
    auto *number = static_cast<PSTORAGE_DEVICE_NUMBER>(Irp->AssociatedIrp.SystemBuffer);
    number->DeviceType = FILE_DEVICE_DISK;
    number->DeviceNumber = disk->Number;
    number->PartitionNumber = 0;
    return Complete(Irp, STATUS_SUCCESS, sizeof(*number));
  }
  return PassDown(disk, Irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(Driver, sizeof(TestDisk), nullptr, FILE_DEVICE_DISK, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  TestDisk *disk = DiskOf(device);
  RtlZeroMemory(disk, sizeof(*disk));
  status = IoRegisterDeviceInterface(Pdo, &GUID_DEVINTERFACE_DISK, nullptr, &disk->Interface);
  if (NT_SUCCESS(status)) {
    disk->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
    if (!disk->Lower) status = STATUS_NO_SUCH_DEVICE;
  }
  if (!NT_SUCCESS(status)) {
    if (disk->Interface.Buffer) RtlFreeUnicodeString(&disk->Interface);
    IoDeleteDevice(device);
    return status;
  }
  disk->Number = static_cast<ULONG>(InterlockedIncrement(&NextNumber) - 1);
  device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {}

}  // namespace

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  NextNumber = 0;
  for (ULONG major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) Driver->MajorFunction[major] = Dispatch;
  Driver->DriverExtension->AddDevice = AddDevice;
  Driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}
