// The bus's list of children: snapshots for work done outside the bus mutex,
// and deleting what is left when the bus device goes.
#include "bus/bus.h"

namespace {

// Called with the bus mutex held.
ULONG CountPresent(BusFdoExtension *Fdo) {
  ULONG count = 0;
  for (PLIST_ENTRY entry = Fdo->Children.Flink; entry != &Fdo->Children; entry = entry->Flink)
    if (!BusDiskRemoved(CONTAINING_RECORD(entry, VirtualDisk, Link))) ++count;
  return count;
}

}  // namespace

NTSTATUS BusSnapshotChildren(BusFdoExtension *Fdo, PDEVICE_OBJECT **Children, ULONG *Count) {
  *Children = nullptr;
  *Count = 0;
  NTSTATUS status = STATUS_SUCCESS;
  BusLock();
  ULONG count = CountPresent(Fdo);
  if (count) {
    auto *array = static_cast<PDEVICE_OBJECT *>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PDEVICE_OBJECT) * count, BUS_TAG_SNAPSHOT));
    if (!array) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      ULONG index = 0;
      for (PLIST_ENTRY entry = Fdo->Children.Flink; entry != &Fdo->Children; entry = entry->Flink) {
        VirtualDisk *disk = CONTAINING_RECORD(entry, VirtualDisk, Link);
        if (BusDiskRemoved(disk)) continue;
        ObReferenceObject(disk->Self);
        array[index++] = disk->Self;
      }
      *Children = array;
      *Count = count;
    }
  }
  BusUnlock();
  return status;
}

VOID BusFreeSnapshot(PDEVICE_OBJECT *Children, ULONG Count) {
  if (!Children) return;
  for (ULONG i = 0; i < Count; ++i) ObDereferenceObject(Children[i]);
  ExFreePoolWithTag(Children, BUS_TAG_SNAPSHOT);
}

VOID BusFdoDeleteChildren(BusFdoExtension *Fdo) {
  BusLock();
  while (!IsListEmpty(&Fdo->Children)) {
    VirtualDisk *disk = CONTAINING_RECORD(RemoveHeadList(&Fdo->Children), VirtualDisk, Link);
    InterlockedOr(&disk->StateFlags, BUS_DISK_STATE_REMOVED);
    // Requests still in progress finish before the device goes.
    if (NT_SUCCESS(IoAcquireRemoveLock(&disk->RemoveLock, Fdo)))
      IoReleaseRemoveLockAndWait(&disk->RemoveLock, Fdo);
    BusSetPnpState(&disk->PnpState, &disk->PreviousPnpState, BUS_PNP_DELETED);
    IoDeleteDevice(disk->Self);
  }
  BusUnlock();
}
