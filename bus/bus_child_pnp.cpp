// Plug and Play requests of a child disk.
#include "bus/bus.h"

namespace {

VOID SetState(VirtualDisk *Disk, UCHAR State) { BusSetPnpState(&Disk->PnpState, &Disk->PreviousPnpState, State); }
VOID RestoreState(VirtualDisk *Disk) { Disk->PnpState = Disk->PreviousPnpState; }

NTSTATUS Start(VirtualDisk *Disk) {
  SetState(Disk, BUS_PNP_STARTED);
  KeSetEvent(&Disk->StartedEvent, IO_NO_INCREMENT, FALSE);
  return BusEngineEvent(Disk, BUS_EVENT_STARTED, 0);
}

NTSTATUS Stop(VirtualDisk *Disk) {
  if (NT_SUCCESS(BusEngineEvent(Disk, BUS_EVENT_STOPPED, 0))) SetState(Disk, BUS_PNP_STOPPED);
  return STATUS_SUCCESS;
}

NTSTATUS QueryStop(VirtualDisk *Disk) {
  if (BusEngineDiskBusy(Disk)) return STATUS_INVALID_DEVICE_STATE;
  SetState(Disk, BUS_PNP_STOP_PENDING);
  return STATUS_SUCCESS;
}

NTSTATUS QueryRemove(VirtualDisk *Disk) {
  if (!BusDiskRemoved(Disk) && BusEngineDiskBusy(Disk)) return STATUS_INVALID_DEVICE_STATE;
  SetState(Disk, BUS_PNP_REMOVE_PENDING);
  return STATUS_SUCCESS;
}

// Only a child gone from the bus is deleted; one still present stays for
// Windows to start again. Takes the request's hold on the remove lock.
NTSTATUS Remove(VirtualDisk *Disk, PIRP Irp) {
  BusLock();
  BOOLEAN gone = BusDiskRemoved(Disk);
  if (gone) {
    IoReleaseRemoveLockAndWait(&Disk->RemoveLock, Irp);
    SetState(Disk, BUS_PNP_DELETED);
    RemoveEntryList(&Disk->Link);
  }
  BusUnlock();
  if (gone) {
    IoDeleteDevice(Disk->Self);
  } else {
    SetState(Disk, BUS_PNP_NOT_STARTED);
    KeClearEvent(&Disk->StartedEvent);
    IoReleaseRemoveLock(&Disk->RemoveLock, Irp);
  }
  return STATUS_SUCCESS;
}

NTSTATUS DeviceState(VirtualDisk *Disk, PIRP Irp) {
  ULONG_PTR state = Irp->IoStatus.Information;
  if (BusDiskRemoved(Disk)) state |= PNP_DEVICE_REMOVED;
  if (Disk->DiskFlags & BUS_DISK_HIDDEN) state |= PNP_DEVICE_DONT_DISPLAY_IN_UI;
  if (BusEngineDiskBusy(Disk)) state |= PNP_DEVICE_NOT_DISABLEABLE;
  Irp->IoStatus.Information = state;
  return STATUS_SUCCESS;
}

NTSTATUS UsageNotification(VirtualDisk *Disk, PIO_STACK_LOCATION Stack) {
  PagingUsage usage;
  usage.InPath = Stack->Parameters.UsageNotification.InPath ? 1 : 0;
  usage.UsageType = static_cast<uint32_t>(Stack->Parameters.UsageNotification.Type);
  NTSTATUS status = BusEngineEvent(Disk, BUS_EVENT_DEVICE_USAGE, reinterpret_cast<uintptr_t>(&usage));
  if (NT_SUCCESS(status)) IoInvalidateDeviceState(Disk->Self);
  return status;
}

NTSTATUS Relations(VirtualDisk *Disk, PIRP Irp, PIO_STACK_LOCATION Stack) {
  if (Stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) return Irp->IoStatus.Status;
  return BusPdoQueryTargetRelation(Disk, Irp);
}

}  // namespace

NTSTATUS BusPdoPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  VirtualDisk *disk = BusDiskOf(Device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoAcquireRemoveLock(&disk->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) return BusCompleteRequest(Irp, status, 0);
  BOOLEAN released = FALSE;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = Start(disk);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      status = QueryStop(disk);
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      if (disk->PnpState == BUS_PNP_STOP_PENDING) RestoreState(disk);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_STOP_DEVICE:
      status = Stop(disk);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      status = QueryRemove(disk);
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      if (disk->PnpState == BUS_PNP_REMOVE_PENDING || disk->PnpState == BUS_PNP_SURPRISE_REMOVED)
        RestoreState(disk);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      SetState(disk, BUS_PNP_SURPRISE_REMOVED);
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      status = Remove(disk, Irp);
      released = TRUE;
      break;
    case IRP_MN_EJECT:
      status = BusEngineEvent(disk, BUS_EVENT_EJECT, 0);
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      status = BusPdoQueryCapabilities(disk, stack);
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      status = Relations(disk, Irp, stack);
      break;
    case IRP_MN_QUERY_ID:
      status = BusPdoQueryId(disk, Irp, stack);
      break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      status = BusPdoQueryDeviceText(Irp, stack);
      break;
    case IRP_MN_QUERY_BUS_INFORMATION:
      status = BusPdoQueryBusInformation(Irp);
      break;
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      status = DeviceState(disk, Irp);
      break;
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
      status = UsageNotification(disk, stack);
      break;
    default:
      status = Irp->IoStatus.Status;
      break;
  }
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (!released) IoReleaseRemoveLock(&disk->RemoveLock, Irp);
  return status;
}
