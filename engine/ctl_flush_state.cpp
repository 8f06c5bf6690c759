// SetFlushState: autoflush period and flags of a volume.
#include "control_request.h"
#include "engine_protocol.h"
#include "volume_table.h"

NTSTATUS HandleSetFlushState(ControlRequest *Request) {
  if (Request->InputLength != sizeof(FlushStateRequest)) return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  FlushStateRequest input;
  ReadRecord(Request, &input);
  VolumeBlock *volume;
  NTSTATUS status = VolumeReference(input.VolumeHandle, &volume);
  if (!NT_SUCCESS(status)) return status;
  // Autoflush is not built yet.
  VolumeRelease(&volume);
  return STATUS_NOT_IMPLEMENTED;
}
