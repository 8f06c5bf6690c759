// The queue of device-control requests a volume's worker answers. Requests
// in it can be cancelled; the queue's spin lock decides between the worker
// taking a request and its cancel routine.
#include "engine/volume/volume_device.h"

namespace {

struct RequestQueue {
  KSPIN_LOCK Lock;
  LIST_ENTRY Requests;
};

RequestQueue *QueueOf(VolumeBlock *Volume) { return static_cast<RequestQueue *>(Volume->RequestQueue); }

// Called with the cancel spin lock held, at dispatch level.
DRIVER_CANCEL CancelQueuedRequest;
VOID CancelQueuedRequest(PDEVICE_OBJECT Device, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  RequestQueue *queue = QueueOf(VolumeOfDevice(Device));
  KIRQL irql;
  KeAcquireSpinLock(&queue->Lock, &irql);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  InitializeListHead(&Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&queue->Lock, irql);
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

}  // namespace

NTSTATUS VolumeQueueCreate(VolumeBlock *Volume) {
  auto *queue = static_cast<RequestQueue *>(KsAllocate(sizeof(RequestQueue), VOLUME_QUEUE_TAG));
  if (!queue) return STATUS_INSUFFICIENT_RESOURCES;
  KeInitializeSpinLock(&queue->Lock);
  InitializeListHead(&queue->Requests);
  Volume->RequestQueue = queue;
  return STATUS_SUCCESS;
}

VOID VolumeQueueFree(VolumeBlock *Volume) { KsFree(&Volume->RequestQueue); }

BOOLEAN VolumeQueueIsEmpty(VolumeBlock *Volume) {
  RequestQueue *queue = QueueOf(Volume);
  if (!queue) return TRUE;
  KIRQL irql;
  KeAcquireSpinLock(&queue->Lock, &irql);
  BOOLEAN empty = IsListEmpty(&queue->Requests);
  KeReleaseSpinLock(&queue->Lock, irql);
  return empty;
}

// Any IRQL up to dispatch level.
NTSTATUS VolumeQueueInsert(VolumeBlock *Volume, PIRP Irp) {
  RequestQueue *queue = QueueOf(Volume);
  KIRQL irql;
  KeAcquireSpinLock(&queue->Lock, &irql);
  IoSetCancelRoutine(Irp, CancelQueuedRequest);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr)) {
    // Cancelled before it was queued, and the cancel routine will not run.
    KeReleaseSpinLock(&queue->Lock, irql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(Irp);
  InsertTailList(&queue->Requests, &Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&queue->Lock, irql);
  KeSetEvent(&Volume->WakeEvent, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

PIRP VolumeQueueRemove(VolumeBlock *Volume) {
  RequestQueue *queue = QueueOf(Volume);
  KIRQL irql;
  KeAcquireSpinLock(&queue->Lock, &irql);
  PIRP found = nullptr;
  while (!found && !IsListEmpty(&queue->Requests)) {
    PLIST_ENTRY entry = RemoveHeadList(&queue->Requests);
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    InitializeListHead(entry);
    // A request whose cancel routine already runs belongs to that routine.
    if (IoSetCancelRoutine(irp, nullptr)) found = irp;
  }
  KeReleaseSpinLock(&queue->Lock, irql);
  return found;
}
