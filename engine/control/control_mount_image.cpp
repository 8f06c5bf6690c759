// MountImage: mount an image file directly as a volume.
#include "engine/control/mount_result.h"

NTSTATUS ControlMountImage(ControlRequest *Request) {
  if (Request->OutputLength != sizeof(MountResult) || Request->InputLength < MountImageRequestSize(0, 0))
    return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_PARAMETER;
  MountImageRequestParts input;
  if (MountImageRequestParse(Request->Buffer, Request->InputLength, &input) != ENGINE_PARSE_OK ||
      (input.Head.MountFlags & ENGINE_MOUNT_MEMORY))
    return STATUS_INVALID_PARAMETER;
  if (input.ImagePath.Length < sizeof(WCHAR))
    return ReplyMountResult(Request, STATUS_OBJECT_PATH_SYNTAX_BAD, 0, ENGINE_IMAGE_STATUS_OPEN_FAILED);
  // Image files are not built yet.
  return ReplyMountResult(Request, STATUS_NOT_IMPLEMENTED, 0, ENGINE_IMAGE_STATUS_UNKNOWN);
}
