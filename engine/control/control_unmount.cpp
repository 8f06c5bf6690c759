// Unmount: take a volume out of service and have it removed.
#include "engine/control/control_volume.h"
#include "engine/volume/volume_parts.h"
#include "engine/volume/volume_reaper.h"

NTSTATUS ControlUnmount(ControlRequest *Request) {
  UnmountRequest input;
  VolumeBlock *volume;
  NTSTATUS status = ReferenceRequestVolume(Request, &input, &volume);
  if (!NT_SUCCESS(status)) return status;

  if (!input.Force && !NT_SUCCESS(VolumeLockFileSystem(volume))) {
    VolumeRelease(&volume);
    return STATUS_INVALID_DEVICE_STATE;
  }

  KIRQL irql;
  KeAcquireSpinLock(&volume->SpinLock, &irql);
  BOOLEAN paging = volume->PagingUseCount != 0;
  if (!paging) VolumeClearFlags(volume, VOLUME_IN_SERVICE);
  KeReleaseSpinLock(&volume->SpinLock, irql);
  if (paging) {
    VolumeRelease(&volume);
    return STATUS_INVALID_DEVICE_STATE;
  }

  if (!VolumeHasAnyFlag(volume, VOLUME_HAS_LETTER)) {
    volume->Force = input.Force;
    volume->Wipe = input.Wipe;
    status = VolumePostCommand(volume, VOLUME_COMMAND_TAKE_OFFLINE);
    BOOLEAN busy = VolumeHasAnyFlag(volume, VOLUME_REMOVAL_DEFERRED) ||
                   ReadAcquire(&volume->OpenCount) != 0 || !VolumeQueueIsEmpty(volume);
    if (input.Force || !busy) VolumeReaperWake();
  } else {
    // The removal runs when the letter goes (Link operation 2).
    volume->Force = 1;
    volume->Wipe = input.Wipe;
    status = STATUS_SUCCESS;
  }
  VolumeRelease(&volume);
  return status;
}
