// The functional bus device on the root-enumerated "Root\BWRD" device.
#include "bus/bus.h"
#include "kernel-support/ks_device.h"

namespace {

const UNICODE_STRING kPnpManager = RTL_CONSTANT_STRING(KS_WSTR("\\Driver\\PnpManager"));

BOOLEAN IsRootEnumerated(PDEVICE_OBJECT Pdo) {
  return Pdo && Pdo->DriverObject &&
         RtlEqualUnicodeString(&Pdo->DriverObject->DriverName, &kPnpManager, TRUE);
}

BusFdoExtension *FdoOf(PDEVICE_OBJECT Device) { return static_cast<BusFdoExtension *>(Device->DeviceExtension); }

}  // namespace

NTSTATUS BusAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  BusLock();
  NTSTATUS status = STATUS_SUCCESS;
  if (Bus.BusDevice) status = STATUS_INVALID_DEVICE_STATE;
  else if (!IsRootEnumerated(PhysicalDeviceObject)) status = STATUS_NO_SUCH_DEVICE;
  PDEVICE_OBJECT fdo = nullptr;
  if (NT_SUCCESS(status))
    status = KsCreateDevice(DriverObject, sizeof(BusFdoExtension), nullptr, FILE_DEVICE_CONTROLLER,
                            FILE_DEVICE_SECURE_OPEN, FALSE, KsDeviceUsersFullAccess, &fdo);
  if (NT_SUCCESS(status)) {
    BusFdoExtension *extension = FdoOf(fdo);
    RtlZeroMemory(extension, sizeof(*extension));
    extension->Header.Kind = BUS_KIND_BUS;
    extension->Self = fdo;
    extension->RootDevice = PhysicalDeviceObject;
    extension->LowerDevice = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (!extension->LowerDevice) {
      IoDeleteDevice(fdo);
      status = STATUS_NO_SUCH_DEVICE;
    } else {
      fdo->Flags |= DO_POWER_PAGABLE;
      fdo->Flags &= ~DO_DEVICE_INITIALIZING;
      Bus.BusDevice = fdo;
    }
  }
  BusUnlock();
  return status;
}

NTSTATUS BusFdoPassDown(PDEVICE_OBJECT Device, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(FdoOf(Device)->LowerDevice, Irp);
}

NTSTATUS BusFdoOpenClose(PDEVICE_OBJECT, PIRP Irp) { return BusCompleteRequest(Irp, STATUS_SUCCESS, 0); }

// Power requests go down unchanged.
NTSTATUS BusFdoPower(PDEVICE_OBJECT Device, PIRP Irp) { return BusFdoPassDown(Device, Irp); }

NTSTATUS BusFdoPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  BusFdoExtension *extension = FdoOf(Device);
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
      // The bus stays while the system runs.
      return BusCompleteRequest(Irp, STATUS_NOT_CAPABLE, 0);
    case IRP_MN_REMOVE_DEVICE: {
      Irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = BusFdoPassDown(Device, Irp);
      BusLock();
      Bus.BusDevice = nullptr;
      BusUnlock();
      IoDetachDevice(extension->LowerDevice);
      IoDeleteDevice(Device);
      return status;
    }
    default:
      return BusFdoPassDown(Device, Irp);
  }
}
