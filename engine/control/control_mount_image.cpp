// MountImage: mount an image file directly as a volume.
#include "engine/control/mount_result.h"
#include "engine/volume/volume_mount.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_string.h"

NTSTATUS ControlMountImage(ControlRequest *Request) {
  if (Request->OutputLength != sizeof(MountResult) || Request->InputLength < MountImageRequestSize(0, 0))
    return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_PARAMETER;
  MountImageRequest input;
  ReadRecord(Request, &input);
  if (Request->InputLength != MountImageRequestSize(input.ImagePathLength, input.PasswordLength) ||
      (input.MountFlags & ENGINE_MOUNT_MEMORY))
    return STATUS_INVALID_PARAMETER;
  if (input.ImagePathLength < sizeof(WCHAR) || input.ImagePathLength % sizeof(WCHAR))
    return ReplyMountResult(Request, STATUS_OBJECT_PATH_SYNTAX_BAD, 0, ENGINE_IMAGE_STATUS_OPEN_FAILED);

  const UCHAR *pathBytes = RequestBytes(Request) + sizeof(MountImageRequest);
  const UCHAR *keyBytes = pathBytes + input.ImagePathLength;
  ULONG outcome = ENGINE_IMAGE_STATUS_UNKNOWN;
  PUNICODE_STRING path = nullptr;
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  PWSTR text = static_cast<PWSTR>(KsAllocate(input.ImagePathLength, KS_TAG_PATH, PagedPool));
  if (text) {
    RtlCopyMemory(text, pathBytes, input.ImagePathLength);
    status = KsStringFromWide(text, input.ImagePathLength, &path);
    KsFree(&text);
  }
  ULONG64 handle = 0;
  if (NT_SUCCESS(status)) {
    VolumeMountParameters parameters = {};
    parameters.MountFlags = input.MountFlags;
    parameters.ImagePath = path;
    parameters.Key = keyBytes;
    parameters.KeyLength = input.PasswordLength;
    parameters.Label = "";
    status = VolumeMount(&parameters, &handle, &outcome);
  }
  KsFreeString(&path);
  return ReplyMountResult(Request, status, NT_SUCCESS(status) ? handle : 0, outcome);
}
