// Power requests of a child disk: the engine hears of sleep and
// hibernation; device states are recorded and told to the power manager.
#include "bus/bus.h"

namespace {

BOOLEAN IsSleepState(SYSTEM_POWER_STATE State) {
  return State >= PowerSystemSleeping1 && State <= PowerSystemHibernate;
}

VOID SetSystemState(VirtualDisk *Disk, SYSTEM_POWER_STATE State) {
  if (BusDiskRemoved(Disk)) return;
  if (IsSleepState(State) && !NT_SUCCESS(BusEngineEvent(Disk, BUS_EVENT_SLEEP, static_cast<ULONG64>(State))))
    return;
  Disk->SystemPowerState = static_cast<ULONG>(State);
}

VOID SetDeviceState(VirtualDisk *Disk, POWER_STATE State) {
  Disk->DevicePowerState = static_cast<ULONG>(State.DeviceState);
  PoSetPowerState(Disk->Self, DevicePowerState, State);
}

}  // namespace

NTSTATUS BusPdoPower(PDEVICE_OBJECT Device, PIRP Irp) {
  VirtualDisk *disk = BusDiskOf(Device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoAcquireRemoveLock(&disk->RemoveLock, Irp);
  BOOLEAN locked = NT_SUCCESS(status);
  if (locked) {
    switch (stack->MinorFunction) {
      case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
      case IRP_MN_SET_POWER:
        if (stack->Parameters.Power.Type == SystemPowerState)
          SetSystemState(disk, stack->Parameters.Power.State.SystemState);
        else
          SetDeviceState(disk, stack->Parameters.Power.State);
        status = STATUS_SUCCESS;
        break;
      default:
        status = Irp->IoStatus.Status;
        break;
    }
  }
  PoStartNextPowerIrp(Irp);
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (locked) IoReleaseRemoveLock(&disk->RemoveLock, Irp);
  return status;
}
