// CreateMemoryVolume: a volume in memory, fresh or loaded from an image.
#include "engine/control/mount_result.h"

NTSTATUS ControlCreateMemoryVolume(ControlRequest *Request) {
  if (Request->OutputLength != sizeof(MountResult) ||
      Request->InputLength < CreateMemoryVolumeRequestSize(0, 0, 0))
    return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  CreateMemoryVolumeRequest input;
  ReadRecord(Request, &input);
  if (Request->InputLength !=
      CreateMemoryVolumeRequestSize(input.ImagePathLength, input.PasswordLength, input.LabelLength))
    return STATUS_INVALID_USER_BUFFER;
  if (!(input.MountFlags & ENGINE_MOUNT_MEMORY)) return STATUS_INVALID_PARAMETER;

  if (input.ImagePathLength == 1)
    return ReplyMountResult(Request, STATUS_OBJECT_PATH_SYNTAX_BAD, 0, ENGINE_IMAGE_STATUS_OPEN_FAILED);
  BOOLEAN raw = (input.MountFlags & ENGINE_MOUNT_RAW_IMAGE) != 0;
  if (!raw && input.ImagePathLength == 0 && input.AlgorithmId == ENGINE_ALGORITHM_NONE)
    return ReplyMountResult(Request, STATUS_INVALID_PARAMETER, 0, ENGINE_IMAGE_STATUS_UNKNOWN);
  // The memory store is not built yet.
  return ReplyMountResult(Request, STATUS_NOT_IMPLEMENTED, 0, ENGINE_IMAGE_STATUS_UNKNOWN);
}
