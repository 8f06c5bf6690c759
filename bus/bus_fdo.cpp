// The functional bus device on the root-enumerated "Root\BWRD" device.
#include "bus/bus.h"
#include "kernel-support/ks_device.h"

namespace {

const UNICODE_STRING kPnpManager = RTL_CONSTANT_STRING(KS_WSTR("\\Driver\\PnpManager"));

BOOLEAN IsRootEnumerated(PDEVICE_OBJECT Pdo) {
  return Pdo && Pdo->DriverObject &&
         RtlEqualUnicodeString(&Pdo->DriverObject->DriverName, &kPnpManager, TRUE);
}

NTSTATUS SignalLowerDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down and waits until the drivers below completed it;
// the request stays ours to complete.
NTSTATUS ForwardAndWait(BusFdoExtension *Fdo, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalLowerDone, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Fdo->LowerDevice, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = Irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS StartBus(BusFdoExtension *Fdo, PIRP Irp) {
  NTSTATUS status = ForwardAndWait(Fdo, Irp);
  if (NT_SUCCESS(status)) {
    if (Fdo->InterfaceName.Buffer) {
      // A bus whose interface cannot be enabled still serves its children.
      IoSetDeviceInterfaceState(&Fdo->InterfaceName, TRUE);
    }
    BusSetPnpState(&Fdo->PnpState, &Fdo->PreviousPnpState, BUS_PNP_STARTED);
    KeSetEvent(&Fdo->StartedEvent, IO_NO_INCREMENT, FALSE);
  }
  return BusCompleteRequest(Irp, status, Irp->IoStatus.Information);
}

// The bus goes with its children: those Windows did not take away already
// are deleted here, and the bus is gone for new add-disk requests.
NTSTATUS RemoveBus(PDEVICE_OBJECT Device, BusFdoExtension *Fdo, PIRP Irp) {
  BusLock();
  Bus.BusDevice = nullptr;
  BusUnlock();
  BusFdoDeleteChildren(Fdo);
  if (Fdo->InterfaceName.Buffer) {
    IoSetDeviceInterfaceState(&Fdo->InterfaceName, FALSE);
    RtlFreeUnicodeString(&Fdo->InterfaceName);
  }
  if (Fdo->ShutdownRegistered) IoUnregisterShutdownNotification(Device);
  BusSetPnpState(&Fdo->PnpState, &Fdo->PreviousPnpState, BUS_PNP_DELETED);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoCallDriver(Fdo->LowerDevice, Irp);
  IoDetachDevice(Fdo->LowerDevice);
  IoDeleteDevice(Device);
  return status;
}

VOID InitializeFdo(PDEVICE_OBJECT Fdo, PDEVICE_OBJECT Pdo) {
  BusFdoExtension *extension = BusFdoOf(Fdo);
  RtlZeroMemory(extension, sizeof(*extension));
  extension->Header.Kind = BUS_KIND_BUS;
  extension->Self = Fdo;
  extension->RootDevice = Pdo;
  InitializeListHead(&extension->Children);
  KeInitializeEvent(&extension->StartedEvent, NotificationEvent, FALSE);
}

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
    InitializeFdo(fdo, PhysicalDeviceObject);
    BusFdoExtension *extension = BusFdoOf(fdo);
    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &BUS_INTERFACE_GUID, nullptr,
                                       &extension->InterfaceName);
    if (NT_SUCCESS(status)) status = IoRegisterShutdownNotification(fdo);
    extension->ShutdownRegistered = NT_SUCCESS(status);
    if (NT_SUCCESS(status)) {
      extension->LowerDevice = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
      if (!extension->LowerDevice) status = STATUS_NO_SUCH_DEVICE;
    }
    if (!NT_SUCCESS(status)) {
      if (extension->ShutdownRegistered) IoUnregisterShutdownNotification(fdo);
      if (extension->InterfaceName.Buffer) RtlFreeUnicodeString(&extension->InterfaceName);
      IoDeleteDevice(fdo);
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
  return IoCallDriver(BusFdoOf(Device)->LowerDevice, Irp);
}

NTSTATUS BusFdoOpenClose(PDEVICE_OBJECT, PIRP Irp) { return BusCompleteRequest(Irp, STATUS_SUCCESS, 0); }

// Power requests go down unchanged.
NTSTATUS BusFdoPower(PDEVICE_OBJECT Device, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(BusFdoOf(Device)->LowerDevice, Irp);
}

NTSTATUS BusFdoPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  BusFdoExtension *extension = BusFdoOf(Device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return StartBus(extension, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
      // The bus stays while the system runs.
      return BusCompleteRequest(Irp, STATUS_NOT_CAPABLE, 0);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations)
        return BusFdoQueryBusRelations(extension, Irp);
      return BusFdoPassDown(Device, Irp);
    case IRP_MN_REMOVE_DEVICE:
      return RemoveBus(Device, extension, Irp);
    default:
      return BusFdoPassDown(Device, Irp);
  }
}
