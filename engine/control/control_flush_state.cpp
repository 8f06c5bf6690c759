// SetFlushState: autoflush period and flags of a volume.
#include "engine/control/control_request.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/volume/volume_device.h"
#include "engine/volume/volume_table.h"

NTSTATUS ControlSetFlushState(ControlRequest *Request) {
  if (Request->InputLength != sizeof(FlushStateRequest)) return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  FlushStateRequest input;
  ReadRecord(Request, &input);
  VolumeBlock *volume;
  NTSTATUS status = VolumeReference(input.VolumeHandle, &volume);
  if (!NT_SUCCESS(status)) return status;
  status = VolumeSetFlushState(volume, input.AutoflushPeriod, input.AutoflushFlags);
  VolumeRelease(&volume);
  return status;
}
