// Calls from the bus into the volume engine's registered routines.
#include "bus/bus.h"

namespace {

EngineInterface EngineSnapshot() {
  EngineInterface routines;
  KIRQL irql;
  KeAcquireSpinLock(&Bus.EngineLock, &irql);
  routines = Bus.EngineRoutines;
  if (!Bus.EngineRegistered) RtlZeroMemory(&routines, sizeof(routines));
  KeReleaseSpinLock(&Bus.EngineLock, irql);
  return routines;
}

// Only the event routine is checked at registration: a zero read, write or
// query routine means the engine cannot serve that call.
NTSTATUS Transfer(VirtualDisk *Disk, BOOLEAN Write, ULONG64 Offset, ULONG Length, PVOID Buffer,
                  PIO_STATUS_BLOCK IoStatus) {
  if (BusDiskRemoved(Disk)) return STATUS_DELETE_PENDING;
  EngineInterface routines = EngineSnapshot();
  uint64_t field = Write ? routines.WriteRoutine : routines.ReadRoutine;
  if (field == 0) return STATUS_DEVICE_NOT_READY;
  auto routine = BusRoutineFromField<BUS_ENGINE_READ_ROUTINE>(field);
  return routine(Disk->EngineContext, Offset, Length, Buffer, IoStatus);
}

}  // namespace

NTSTATUS BusEngineEvent(VirtualDisk *Disk, ULONG Code, ULONG64 Argument) {
  if (BusDiskRemoved(Disk)) return STATUS_DELETE_PENDING;
  EngineInterface routines = EngineSnapshot();
  if (routines.EventRoutine == 0) return STATUS_DEVICE_NOT_READY;
  EngineEventArgs args;
  args.EngineContext = Disk->EngineContext;
  args.DiskOrdinal = Disk->Ordinal;
  args.Argument = Argument;
  return BusRoutineFromField<BUS_ENGINE_EVENT_ROUTINE>(routines.EventRoutine)(Code, &args);
}

NTSTATUS BusEngineRead(VirtualDisk *Disk, ULONG64 Offset, ULONG Length, PVOID Buffer, PIO_STATUS_BLOCK IoStatus) {
  return Transfer(Disk, FALSE, Offset, Length, Buffer, IoStatus);
}

NTSTATUS BusEngineWrite(VirtualDisk *Disk, ULONG64 Offset, ULONG Length, PVOID Buffer, PIO_STATUS_BLOCK IoStatus) {
  return Transfer(Disk, TRUE, Offset, Length, Buffer, IoStatus);
}

NTSTATUS BusEngineQuery(VirtualDisk *Disk, ULONG Type, PVOID Reply) {
  if (BusDiskRemoved(Disk)) return STATUS_DELETE_PENDING;
  EngineInterface routines = EngineSnapshot();
  if (routines.QueryRoutine == 0) return STATUS_DEVICE_NOT_READY;
  return BusRoutineFromField<BUS_ENGINE_QUERY_ROUTINE>(routines.QueryRoutine)(Disk->EngineContext, Type, Reply);
}

BOOLEAN BusEngineDiskBusy(VirtualDisk *Disk) {
  DiskBusyInfo busy;
  RtlZeroMemory(&busy, sizeof(busy));
  NTSTATUS status = BusEngineQuery(Disk, BUS_QUERY_DISK_BUSY, &busy);
  return NT_SUCCESS(status) && busy.Idle == 0;
}
