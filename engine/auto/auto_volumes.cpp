#include "engine/auto/auto_volumes.h"

#include "engine/start/engine.h"

// The automatic-volume records are not read yet: there is nothing to convert.
NTSTATUS ConvertLegacyAutoVolumes() { return STATUS_SUCCESS; }

NTSTATUS QueueAutoVolumeCreation() {
  PIO_WORKITEM item = IoAllocateWorkItem(Engine.ControlDevice);
  if (!item) return STATUS_INSUFFICIENT_RESOURCES;
  Engine.AutoVolumesQueued = TRUE;
  IoQueueWorkItem(item, CreateAutoVolumes, DelayedWorkQueue, item);
  return STATUS_SUCCESS;
}

VOID WaitForAutoVolumeCreation() {
  if (!Engine.AutoVolumesQueued) return;
  KeWaitForSingleObject(&Engine.AutoVolumesWorkDone, Executive, KernelMode, FALSE, nullptr);
  Engine.AutoVolumesQueued = FALSE;
}

// Without automatic volumes to create, the processes held back for them may
// go on at once.
VOID CreateAutoVolumes(PDEVICE_OBJECT, PVOID Context) {
  KeSetEvent(&Engine.AutoVolumesEvent, IO_NO_INCREMENT, FALSE);
  IoFreeWorkItem(static_cast<PIO_WORKITEM>(Context));
  KeSetEvent(&Engine.AutoVolumesWorkDone, IO_NO_INCREMENT, FALSE);
}
