// MountImage: mount an image file directly as a volume.
#include "engine/control/mount_result.h"

NTSTATUS ControlMountImage(ControlRequest *Request) {
  if (Request->OutputLength != sizeof(MountResult) || Request->InputLength < MountImageRequestSize(0, 0))
    return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_PARAMETER;
  MountImageRequest input;
  ReadRecord(Request, &input);
  if (Request->InputLength != MountImageRequestSize(input.ImagePathLength, input.PasswordLength) ||
      (input.MountFlags & ENGINE_MOUNT_MEMORY))
    return STATUS_INVALID_PARAMETER;
  if (input.ImagePathLength < sizeof(WCHAR))
    return ReplyMountResult(Request, STATUS_OBJECT_PATH_SYNTAX_BAD, 0, ENGINE_IMAGE_STATUS_OPEN_FAILED);
  // Image files are not built yet.
  return ReplyMountResult(Request, STATUS_NOT_IMPLEMENTED, 0, ENGINE_IMAGE_STATUS_UNKNOWN);
}
