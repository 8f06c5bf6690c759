// The control device "\Device\BrimwellDisk": the engine's door to the bus.
#include "bus/bus.h"

namespace {

// Kept in one copy until the driver unloads; a later registration replaces it.
NTSTATUS RegisterEngine(PIRP Irp, PIO_STACK_LOCATION Stack) {
  if (Stack->Parameters.DeviceIoControl.InputBufferLength != sizeof(EngineInterface))
    return STATUS_INVALID_BUFFER_SIZE;
  if (!Irp->AssociatedIrp.SystemBuffer) return STATUS_INVALID_USER_BUFFER;
  EngineInterface routines;
  RtlCopyMemory(&routines, Irp->AssociatedIrp.SystemBuffer, sizeof(routines));
  if (routines.EventRoutine == 0) return STATUS_INVALID_USER_BUFFER;
  KIRQL irql;
  KeAcquireSpinLock(&Bus.EngineLock, &irql);
  Bus.EngineRoutines = routines;
  Bus.EngineRegistered = TRUE;
  KeReleaseSpinLock(&Bus.EngineLock, irql);
  return STATUS_SUCCESS;
}

// Engine requests arrive as internal device control only: they carry kernel
// routine addresses, which no user-mode caller may hand us.
// Add, remove and query complete the request themselves (add-disk replies
// with the child even when it fails).
NTSTATUS InternalControl(PIRP Irp, PIO_STACK_LOCATION Stack) {
  NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
  if (Irp->RequestorMode == KernelMode) {
    switch (Stack->Parameters.DeviceIoControl.IoControlCode) {
      case IOCTL_BUS_REGISTER_ENGINE:
        status = RegisterEngine(Irp, Stack);
        break;
      case IOCTL_BUS_ADD_DISK:
        return BusAddDisk(Irp, Stack);
      case IOCTL_BUS_REMOVE_DISK:
        return BusRemoveDisk(Irp, Stack);
      case IOCTL_BUS_QUERY_DISK:
        return BusQueryDisk(Irp, Stack);
      default:
        break;
    }
  }
  return BusCompleteRequest(Irp, status, 0);
}

}  // namespace

NTSTATUS BusCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS BusControlDispatch(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
      return BusCompleteRequest(Irp, STATUS_SUCCESS, FILE_OPENED);
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
      return InternalControl(Irp, stack);
    default:
      return BusCompleteRequest(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}
