// CreateMemoryVolume: a volume in memory, fresh or loaded from an image.
#include "engine/control/mount_result.h"
#include "engine/volume/volume_mount.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_string.h"

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

  // Half a character is no path either.
  if (input.ImagePath.Length % sizeof(WCHAR))
    return ReplyMountResult(Request, STATUS_OBJECT_PATH_SYNTAX_BAD, 0, ENGINE_IMAGE_STATUS_OPEN_FAILED);

  ULONG outcome = ENGINE_IMAGE_STATUS_UNKNOWN;
  NTSTATUS status = STATUS_SUCCESS;
  PUNICODE_STRING path = nullptr;
  if (input.ImagePath.Length) status = RequestPathString(input.ImagePath, &path);
  // The label counts only for a volume that gets a file system.
  PSTR label = static_cast<PSTR>(KsAllocate(input.Label.Length + 1, KS_TAG_BUFFER, PagedPool));
  if (NT_SUCCESS(status) && !label) {
    status = STATUS_INSUFFICIENT_RESOURCES;
    outcome = ENGINE_IMAGE_STATUS_NOT_FORMATTED;
  }
  ULONG64 handle = 0;
  if (NT_SUCCESS(status)) {
    ULONG labelLength = (input.Label.Length && input.Head.FileSystem) ? input.Label.Length : 0;
    RtlCopyMemory(label, input.Label.Data, labelLength);
    label[labelLength] = '\0';
    VolumeMountParameters parameters = {};
    parameters.MountFlags = input.Head.MountFlags;
    parameters.NumaNode = input.Head.NumaNodeIndex;
    parameters.Size = input.Head.VolumeSize;
    parameters.ImagePath = path;
    parameters.AlgorithmId = input.Head.AlgorithmId;
    parameters.Key = static_cast<const UCHAR *>(input.Password.Data);
    parameters.KeyLength = input.Password.Length;
    parameters.FileSystem = input.Head.FileSystem;
    parameters.FormatFlags = input.Head.FormatFlags;
    parameters.Label = label;
    status = VolumeMount(&parameters, &handle, &outcome);
  }
  KsFreeString(&path);
  KsFree(&label);
  return ReplyMountResult(Request, status, NT_SUCCESS(status) ? handle : 0, outcome);
}
