// Driver start and unload of the virtual disk bus.
#include "bus/bus.h"
#include "kernel-support/ks_device.h"
#include "kernel-support/ks_init.h"

BusState Bus;

namespace {

NTSTATUS BusFdoDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP:
      return BusFdoPnp(Device, Irp);
    case IRP_MJ_POWER:
      return BusFdoPower(Device, Irp);
    case IRP_MJ_SHUTDOWN:
      return BusFdoShutdown(Device, Irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return BusFdoOpenClose(Device, Irp);
    case IRP_MJ_SYSTEM_CONTROL:
      return BusFdoPassDown(Device, Irp);
    default:
      return BusCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS BusPdoDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP:
      return BusPdoPnp(Device, Irp);
    case IRP_MJ_POWER:
      return BusPdoPower(Device, Irp);
    case IRP_MJ_CREATE:
      return BusPdoCreate(Device, Irp);
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      return BusPdoReadWrite(Device, Irp);
    case IRP_MJ_FLUSH_BUFFERS:
      return BusPdoFlush(Device, Irp);
    case IRP_MJ_DEVICE_CONTROL:
      return BusPdoDeviceControl(Device, Irp);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return BusPdoScsi(Device, Irp);
    case IRP_MJ_SYSTEM_CONTROL:
      return BusPdoSystemControl(Device, Irp);
    default:
      // Shutdown is registered for the bus device only.
      return BusCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

// One routine per major function; the device's kind picks the handler.
NTSTATUS BusDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  BusDeviceHeader *header = BusHeaderOf(Device);
  if (header->Flags & BUS_DEVICE_FLAG_CONTROL) return BusControlDispatch(Device, Irp);
  if (header->Kind == BUS_KIND_BUS) return BusFdoDispatch(Device, Irp);
  if (header->Kind == BUS_KIND_DISK) return BusPdoDispatch(Device, Irp);
  return BusCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, BUS_CONTROL_DEVICE_NAME);
  NTSTATUS status = KsCreateDevice(DriverObject, sizeof(BusControlExtension), &name, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, KsDeviceUsersFullAccess, &Bus.ControlDevice);
  if (!NT_SUCCESS(status)) return status;
  auto *extension = static_cast<BusControlExtension *>(Bus.ControlDevice->DeviceExtension);
  RtlZeroMemory(extension, sizeof(*extension));
  extension->Header.Kind = BUS_KIND_CONTROL;
  extension->Header.Flags = BUS_DEVICE_FLAG_CONTROL;
  Bus.ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS BusStart(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  RtlZeroMemory(&Bus, sizeof(Bus));
  ExInitializeFastMutex(&Bus.Mutex);
  KeInitializeSpinLock(&Bus.EngineLock);
  NTSTATUS status = KsInitialize(DriverObject, RegistryPath);
  if (!KsInitializeSucceeded(status)) {
    KsUninitialize();
    return status;
  }
  status = CreateControlDevice(DriverObject);
  if (!NT_SUCCESS(status)) {
    KsUninitialize();
    return status;
  }
  const UCHAR majors[] = {IRP_MJ_CREATE,         IRP_MJ_CLOSE,          IRP_MJ_CLEANUP,
                          IRP_MJ_READ,           IRP_MJ_WRITE,          IRP_MJ_FLUSH_BUFFERS,
                          IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL,
                          IRP_MJ_SHUTDOWN,       IRP_MJ_POWER,          IRP_MJ_SYSTEM_CONTROL,
                          IRP_MJ_PNP};
  for (UCHAR major : majors) DriverObject->MajorFunction[major] = BusDispatch;
  DriverObject->DriverExtension->AddDevice = BusAddDevice;
  DriverObject->DriverUnload = BusUnload;
  return STATUS_SUCCESS;
}

VOID BusUnload(PDRIVER_OBJECT) {
  if (Bus.ControlDevice) {
    IoDeleteDevice(Bus.ControlDevice);
    Bus.ControlDevice = nullptr;
  }
  KsUninitialize();
}
