// Autoflush: the one-shot timer the worker waits on, the flush work item
// with events 6 and 7, and the save when the system shuts down.
#include "engine/control/notifications.h"
#include "engine/image/image_flush.h"
#include "engine/image/image_requests.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/start/engine.h"
#include "engine/store/volume_store.h"
#include "engine/volume/volume_device.h"
#include "engine/volume/volume_table.h"

namespace {

constexpr ULONG FLUSH_ITEM_TAG = KsTag("VVfl");
constexpr ULONGLONG kLongestDelayMs = 2147483647;

struct FlushItem {
  PIO_WORKITEM WorkItem;
  VolumeBlock *Volume;
};

// System delayed-work thread, passive level. Holds the reference taken at
// expiry, so the volume cannot be destroyed underneath.
IO_WORKITEM_ROUTINE FlushWorkItem;
VOID FlushWorkItem(PDEVICE_OBJECT, PVOID Context) {
  auto *item = static_cast<FlushItem *>(Context);
  VolumeBlock *volume = item->Volume;
  PIO_WORKITEM workItem = item->WorkItem;
  KsFree(&item);
  ULONG64 handle = VolumeHandleOf(volume);
  NotifyBroadcast(handle, ENGINE_EVENT_AUTOFLUSH_STARTED);
  // A failed flush is tried again at the next expiry; nobody else is told.
  VolumeFlush(volume);
  NotifyBroadcast(handle, ENGINE_EVENT_AUTOFLUSH_FINISHED);
  EngineLock(&volume->TimerMutex);
  VolumeArmAutoflushTimer(volume);
  EngineUnlock(&volume->TimerMutex);
  VolumeRelease(&volume);
  IoFreeWorkItem(workItem);
  // Last: an unload waiting for this item may free everything from here on.
  VolumeWorkGateLeave();
}

BOOLEAN TakeReference(VolumeBlock *Volume) {
  KIRQL irql;
  KeAcquireSpinLock(&Volume->SpinLock, &irql);
  BOOLEAN taken = Volume->ReferenceCount > 0 && !VolumeHasAnyFlag(Volume, VOLUME_DELETED);
  if (taken) ++Volume->ReferenceCount;
  KeReleaseSpinLock(&Volume->SpinLock, irql);
  return taken;
}

}  // namespace

// Counts a work item about to be queued for a volume; FALSE once unload has
// closed the gate.
BOOLEAN VolumeWorkGateEnter() {
  InterlockedIncrement(&Engine.FlushItems);
  if (!ReadAcquire(&Engine.FlushGateClosed)) return TRUE;
  if (InterlockedDecrement(&Engine.FlushItems) == 0)
    KeSetEvent(&Engine.FlushItemsDone, IO_NO_INCREMENT, FALSE);
  return FALSE;
}

VOID VolumeWorkGateLeave() {
  if (InterlockedDecrement(&Engine.FlushItems) == 0)
    KeSetEvent(&Engine.FlushItemsDone, IO_NO_INCREMENT, FALSE);
}

// Caller holds TimerMutex. Periods whose milliseconds exceed the longest
// delay the timer takes are kept but never fire.
VOID VolumeArmAutoflushTimer(VolumeBlock *Volume) {
  ULONGLONG period = Volume->AutoflushPeriod;
  if (period == 0 || period * 1000 > kLongestDelayMs) return;
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(period) * 10000000LL;
  KeSetTimer(&Volume->AutoflushTimer, due, nullptr);
}

// Passive level.
NTSTATUS VolumeSetFlushState(VolumeBlock *Volume, ULONG Period, ULONG Flags) {
  VolumeStore *store = Volume->Store;
  if (!store) return STATUS_INVALID_PARAMETER;
  if (!VolumeHasAnyFlag(Volume, VOLUME_MEMORY) || (!store->ImageFile && !store->ImagePath))
    return STATUS_INVALID_DEVICE_STATE;
  EngineLock(&Volume->TimerMutex);
  Volume->AutoflushFlags = Flags;
  if (Period) {
    Volume->AutoflushPeriod = Period;
    VolumeArmAutoflushTimer(Volume);
  } else {
    KeCancelTimer(&Volume->AutoflushTimer);
    Volume->AutoflushPeriod = 0;
  }
  EngineUnlock(&Volume->TimerMutex);
  return STATUS_SUCCESS;
}

// In the volume's worker. The reference goes with the queued item; an item
// that cannot be had leaves the timer set for the next period.
VOID VolumeAutoflushExpired(VolumeBlock *Volume) {
  EngineLock(&Volume->TimerMutex);
  auto *item = static_cast<FlushItem *>(KsAllocate(sizeof(FlushItem), FLUSH_ITEM_TAG));
  PIO_WORKITEM workItem = item ? IoAllocateWorkItem(Engine.ControlDevice) : nullptr;
  BOOLEAN entered = workItem && VolumeWorkGateEnter();
  if (entered && TakeReference(Volume)) {
    KeCancelTimer(&Volume->AutoflushTimer);
    item->WorkItem = workItem;
    item->Volume = Volume;
    IoQueueWorkItem(workItem, FlushWorkItem, DelayedWorkQueue, item);
  } else {
    if (entered) VolumeWorkGateLeave();
    if (workItem) IoFreeWorkItem(workItem);
    KsFree(&item);
    VolumeArmAutoflushTimer(Volume);
  }
  EngineUnlock(&Volume->TimerMutex);
}

VOID VolumeFlushGateOpen() {
  KeInitializeEvent(&Engine.FlushItemsDone, NotificationEvent, FALSE);
  WriteRelease(&Engine.FlushGateClosed, 0);
  WriteRelease(&Engine.FlushItems, 1);
}

// Passive level, at unload. Timers that fire afterwards find the gate closed
// and only set themselves again, until the volume's teardown cancels them.
VOID VolumeFlushGateCloseAndWait() {
  if (InterlockedExchange(&Engine.FlushGateClosed, 1)) return;
  VolumeWorkGateLeave();
  KeWaitForSingleObject(&Engine.FlushItemsDone, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS VolumeFlush(VolumeBlock *Volume) {
  if (!Volume->Store) return STATUS_INVALID_DEVICE_STATE;
  if (Volume->AutoflushFlags & ENGINE_SAVE_FLUSH_FIRST) {
    NTSTATUS status = VolumeFlushFileSystem(Volume);
    if (!NT_SUCCESS(status)) return status;
  }
  return ImageFlush(Volume->Store);
}

// The system's shutdown thread. What fails does not hold the shutdown up.
VOID VolumeShutdownSave(VolumeBlock *Volume) {
  if (!(Volume->Properties & ENGINE_PROPERTY_SAVE_AT_SHUTDOWN) || !Volume->Store) return;
  EngineLock(&Volume->TimerMutex);
  // The file systems (each partition's on an emulated disk) write out what
  // they hold before the image is saved.
  Volume->AutoflushFlags |= ENGINE_SAVE_FLUSH_FIRST;
  ULONG flags = Volume->AutoflushFlags;
  EngineUnlock(&Volume->TimerMutex);
  if ((flags & ENGINE_SAVE_FLUSH_FIRST) && !VolumeHasAnyFlag(Volume, VOLUME_READ_ONLY) &&
      !NT_SUCCESS(VolumeFlushFileSystem(Volume)))
    return;
  ImageSave(Volume->Store, flags, nullptr);
}
