// SetFlushState: autoflush period and flags of a volume.
#include "engine/control/control_volume.h"
#include "engine/volume/volume_device.h"

NTSTATUS ControlSetFlushState(ControlRequest *Request) {
  FlushStateRequest input;
  VolumeBlock *volume;
  NTSTATUS status = ReferenceRequestVolume(Request, &input, &volume);
  if (!NT_SUCCESS(status)) return status;
  status = VolumeSetFlushState(volume, input.AutoflushPeriod, input.AutoflushFlags);
  VolumeRelease(&volume);
  return status;
}
