// SetFlushState: autoflush period and flags of a volume.
#include "engine/control/control_volume.h"

NTSTATUS ControlSetFlushState(ControlRequest *Request) {
  FlushStateRequest input;
  VolumeBlock *volume;
  NTSTATUS status = ReferenceRequestVolume(Request, &input, &volume);
  if (!NT_SUCCESS(status)) return status;
  // Autoflush is not built yet.
  VolumeRelease(&volume);
  return STATUS_NOT_IMPLEMENTED;
}
