// The VolumeWorker: one thread per volume that answers its queued storage
// requests, runs its commands and notices its autoflush timer.
#include "engine/start/engine.h"
#include "engine/volume/volume_device.h"
#include "engine/volume/volume_parts.h"
#include "kernel-support/ks_thread.h"

namespace {

constexpr ULONG TAKE_OFFLINE_TAG = KsTag("VVto");

struct TakeOfflineItem {
  PIO_WORKITEM WorkItem;
  VolumeBlock *Volume;
};

// System worker thread, passive level. The poster of the command waits, so
// the volume outlives this item.
IO_WORKITEM_ROUTINE TakeOfflineWorkItem;
VOID TakeOfflineWorkItem(PDEVICE_OBJECT, PVOID Context) {
  auto *item = static_cast<TakeOfflineItem *>(Context);
  VolumeBlock *volume = item->Volume;
  PIO_WORKITEM workItem = item->WorkItem;
  KsFree(&item);
  volume->CommandResult = VolumeTakeOffline(volume);
  KeSetEvent(&volume->CommandDoneEvent, IO_NO_INCREMENT, FALSE);
  IoFreeWorkItem(workItem);
}

// The take-offline command leaves the worker free: dismounting makes the
// file system send requests that the worker must answer meanwhile.
VOID StartTakeOffline(VolumeBlock *Volume) {
  auto *item = static_cast<TakeOfflineItem *>(KsAllocate(sizeof(TakeOfflineItem), TAKE_OFFLINE_TAG));
  PIO_WORKITEM workItem = item ? IoAllocateWorkItem(Engine.ControlDevice) : nullptr;
  if (!workItem) {
    KsFree(&item);
    Volume->CommandResult = STATUS_INSUFFICIENT_RESOURCES;
    KeSetEvent(&Volume->CommandDoneEvent, IO_NO_INCREMENT, FALSE);
    return;
  }
  item->WorkItem = workItem;
  item->Volume = Volume;
  IoQueueWorkItem(workItem, TakeOfflineWorkItem, DelayedWorkQueue, item);
}

// Passive level, priority 16; waits on the wake event and the autoflush timer.
NTSTATUS VolumeWorker(PVOID Context) {
  auto *volume = static_cast<VolumeBlock *>(Context);
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  PVOID objects[2] = {&volume->WakeEvent, &volume->AutoflushTimer};
  KWAIT_BLOCK waitBlocks[2];
  for (;;) {
    NTSTATUS status =
        KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, waitBlocks);
    if (status == STATUS_WAIT_1) {
      VolumeAutoflushExpired(volume);
      continue;
    }
    // Cleared before the queue is drained: a request queued after this
    // sets it again.
    KeClearEvent(&volume->WakeEvent);
    while (PIRP irp = VolumeQueueRemove(volume)) VolumeServeRequest(volume, irp);
    if (!VolumeHasAnyFlag(volume, VOLUME_COMMAND_PENDING)) continue;
    VolumeClearFlags(volume, VOLUME_COMMAND_PENDING);
    if (volume->Command == VOLUME_COMMAND_TAKE_OFFLINE) {
      StartTakeOffline(volume);
      continue;
    }
    if (volume->Command == VOLUME_COMMAND_STOP) break;
  }
  volume->CommandResult = STATUS_SUCCESS;
  VolumeClearFlags(volume, VOLUME_WORKER_RUNNING);
  KeSetEvent(&volume->CommandDoneEvent, IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS VolumeWorkerStart(VolumeBlock *Volume) {
  EngineLock(&Volume->CommandMutex);
  VolumeSetFlags(Volume, VOLUME_WORKER_RUNNING);
  NTSTATUS status = KsStartThread(VolumeWorker, Volume, &Volume->WorkerThread);
  if (!NT_SUCCESS(status)) VolumeClearFlags(Volume, VOLUME_WORKER_RUNNING);
  EngineUnlock(&Volume->CommandMutex);
  return status;
}

// Passive level, never from the worker itself; one command at a time.
NTSTATUS VolumePostCommand(VolumeBlock *Volume, ULONG Command) {
  EngineLock(&Volume->CommandMutex);
  NTSTATUS status;
  if (!VolumeHasAnyFlag(Volume, VOLUME_WORKER_RUNNING)) {
    // Without a worker there is nobody to defer to.
    status = Command == VOLUME_COMMAND_TAKE_OFFLINE ? VolumeTakeOffline(Volume) : STATUS_SUCCESS;
  } else {
    KeClearEvent(&Volume->CommandDoneEvent);
    Volume->Command = Command;
    Volume->CommandResult = STATUS_SUCCESS;
    VolumeSetFlags(Volume, VOLUME_COMMAND_PENDING);
    KeSetEvent(&Volume->WakeEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&Volume->CommandDoneEvent, Executive, KernelMode, FALSE, nullptr);
    status = Volume->CommandResult;
  }
  if (Command == VOLUME_COMMAND_STOP && Volume->WorkerThread) KsWaitForThread(&Volume->WorkerThread);
  EngineUnlock(&Volume->CommandMutex);
  return status;
}
