// MountImage: mount an image file directly as a volume.
#include "engine/control/mount_result.h"
#include "engine/volume/volume_mount.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_string.h"

NTSTATUS ControlMountImage(ControlRequest *Request) {
  if (Request->OutputLength != sizeof(MountResult) || Request->InputLength < MountImageRequestSize(0, 0))
    return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_PARAMETER;
  MountImageRequestParts input;
  if (MountImageRequestParse(Request->Buffer, Request->InputLength, &input) != ENGINE_PARSE_OK ||
      (input.Head.MountFlags & ENGINE_MOUNT_MEMORY))
    return STATUS_INVALID_PARAMETER;
  if (input.ImagePath.Length < sizeof(WCHAR) || input.ImagePath.Length % sizeof(WCHAR))
    return ReplyMountResult(Request, STATUS_OBJECT_PATH_SYNTAX_BAD, 0, ENGINE_IMAGE_STATUS_OPEN_FAILED);

  ULONG outcome = ENGINE_IMAGE_STATUS_UNKNOWN;
  PUNICODE_STRING path = nullptr;
  NTSTATUS status = RequestPathString(input.ImagePath, &path);
  ULONG64 handle = 0;
  if (NT_SUCCESS(status)) {
    VolumeMountParameters parameters = {};
    parameters.MountFlags = input.Head.MountFlags;
    parameters.ImagePath = path;
    parameters.Key = input.Password.Data;
    parameters.KeyLength = input.Password.Length;
    parameters.Label = "";
    status = VolumeMount(&parameters, &handle, &outcome);
  }
  KsFreeString(&path);
  return ReplyMountResult(Request, status, NT_SUCCESS(status) ? handle : 0, outcome);
}
