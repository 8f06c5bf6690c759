// SaveImage: write a volume to its image file or to another one.
#include "control_request.h"
#include "engine_protocol.h"
#include "volume_table.h"

NTSTATUS HandleSaveImage(ControlRequest *Request) {
  // Without a path the record still carries its two trailing zero bytes.
  if (Request->InputLength < SaveImageRequestSize(0)) return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  SaveImageRequest input;
  ReadRecord(Request, &input);
  if (Request->InputLength != SaveImageRequestSize(input.TargetPathLength)) return STATUS_INVALID_BUFFER_SIZE;
  if (input.TargetPathLength == 1) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  VolumeBlock *volume;
  NTSTATUS status = VolumeReference(input.VolumeHandle, &volume);
  if (!NT_SUCCESS(status)) return status;
  // Image files are not built yet.
  VolumeRelease(&volume);
  return STATUS_NOT_IMPLEMENTED;
}
