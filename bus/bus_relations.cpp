// Bus relations and shutdown of the bus device: both go to every child the
// bus still presents.
#include "bus/bus.h"

NTSTATUS BusFdoQueryBusRelations(BusFdoExtension *Fdo, PIRP Irp) {
  PDEVICE_OBJECT *children = nullptr;
  ULONG count = 0;
  NTSTATUS status = BusSnapshotChildren(Fdo, &children, &count);
  auto *previous = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
  ULONG previousCount = previous ? previous->Count : 0;
  PDEVICE_RELATIONS relations = nullptr;
  if (NT_SUCCESS(status)) {
    ULONG total = previousCount + count;
    SIZE_T size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + sizeof(PDEVICE_OBJECT) * (total ? total : 1);
    relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, BUS_TAG_RELATIONS));
    if (!relations) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    BusFreeSnapshot(children, count);
    return BusCompleteRequest(Irp, status, Irp->IoStatus.Information);
  }
  relations->Count = previousCount + count;
  for (ULONG i = 0; i < previousCount; ++i) relations->Objects[i] = previous->Objects[i];
  // The snapshot's references go to the PnP manager with the list.
  for (ULONG i = 0; i < count; ++i) relations->Objects[previousCount + i] = children[i];
  if (children) ExFreePoolWithTag(children, BUS_TAG_SNAPSHOT);
  if (previous) ExFreePool(previous);
  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Fdo->LowerDevice, Irp);
}

NTSTATUS BusFdoShutdown(PDEVICE_OBJECT Device, PIRP Irp) {
  PDEVICE_OBJECT *children = nullptr;
  ULONG count = 0;
  BusSnapshotChildren(BusFdoOf(Device), &children, &count);
  for (ULONG i = 0; i < count; ++i) BusEngineEvent(BusDiskOf(children[i]), BUS_EVENT_SHUTDOWN, 0);
  BusFreeSnapshot(children, count);
  return BusCompleteRequest(Irp, STATUS_SUCCESS, 0);
}
