// CreateMemoryVolume: a volume in memory, fresh or loaded from an image.
#include "engine/control/mount_result.h"

NTSTATUS ControlCreateMemoryVolume(ControlRequest *Request) {
  if (Request->OutputLength != sizeof(MountResult) ||
      Request->InputLength < CreateMemoryVolumeRequestSize(0, 0, 0))
    return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  CreateMemoryVolumeRequestParts input;
  if (CreateMemoryVolumeRequestParse(Request->Buffer, Request->InputLength, &input) != ENGINE_PARSE_OK)
    return STATUS_INVALID_USER_BUFFER;
  ULONG flags = input.Head.MountFlags;
  if (!(flags & ENGINE_MOUNT_MEMORY)) return STATUS_INVALID_PARAMETER;

  if (input.ImagePath.Length == 1)
    return ReplyMountResult(Request, STATUS_OBJECT_PATH_SYNTAX_BAD, 0, ENGINE_IMAGE_STATUS_OPEN_FAILED);
  BOOLEAN raw = (flags & ENGINE_MOUNT_RAW_IMAGE) != 0;
  if (!raw && input.ImagePath.Length == 0 && input.Head.AlgorithmId == ENGINE_ALGORITHM_NONE)
    return ReplyMountResult(Request, STATUS_INVALID_PARAMETER, 0, ENGINE_IMAGE_STATUS_UNKNOWN);
  // The memory store is not built yet.
  return ReplyMountResult(Request, STATUS_NOT_IMPLEMENTED, 0, ENGINE_IMAGE_STATUS_UNKNOWN);
}
