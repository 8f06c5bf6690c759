// CreateMemoryVolume: a volume in memory, fresh or loaded from an image.
#include "engine/control/mount_result.h"
#include "engine/volume/volume_mount.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_string.h"

namespace {

// A counted string of UTF-16 bytes that lie unaligned inside the request.
NTSTATUS CopyRequestPath(const UCHAR *Bytes, ULONG Length, PUNICODE_STRING *Path) {
  PWSTR text = static_cast<PWSTR>(KsAllocate(Length, KS_TAG_PATH, PagedPool));
  if (!text) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(text, Bytes, Length);
  NTSTATUS status = KsStringFromWide(text, Length, Path);
  KsFree(&text);
  return status;
}

}  // namespace

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

  // Half a character is no path either.
  if (input.ImagePathLength % sizeof(WCHAR))
    return ReplyMountResult(Request, STATUS_OBJECT_PATH_SYNTAX_BAD, 0, ENGINE_IMAGE_STATUS_OPEN_FAILED);
  const UCHAR *pathBytes = RequestBytes(Request) + sizeof(CreateMemoryVolumeRequest);
  const UCHAR *keyBytes = pathBytes + input.ImagePathLength;
  const UCHAR *labelBytes = keyBytes + input.PasswordLength;

  ULONG outcome = ENGINE_IMAGE_STATUS_UNKNOWN;
  NTSTATUS status = STATUS_SUCCESS;
  PUNICODE_STRING path = nullptr;
  if (input.ImagePathLength) status = CopyRequestPath(pathBytes, input.ImagePathLength, &path);
  // The label counts only for a volume that gets a file system.
  PSTR label = static_cast<PSTR>(KsAllocate(input.LabelLength + 1, KS_TAG_BUFFER, PagedPool));
  if (NT_SUCCESS(status) && !label) {
    status = STATUS_INSUFFICIENT_RESOURCES;
    outcome = ENGINE_IMAGE_STATUS_NOT_FORMATTED;
  }
  ULONG64 handle = 0;
  if (NT_SUCCESS(status)) {
    ULONG labelLength = (input.LabelLength && input.FileSystem) ? input.LabelLength : 0;
    RtlCopyMemory(label, labelBytes, labelLength);
    label[labelLength] = '\0';
    VolumeMountParameters parameters = {};
    parameters.MountFlags = input.MountFlags;
    parameters.NumaNode = input.NumaNodeIndex;
    parameters.Size = input.VolumeSize;
    parameters.ImagePath = path;
    parameters.AlgorithmId = input.AlgorithmId;
    parameters.Key = keyBytes;
    parameters.KeyLength = input.PasswordLength;
    parameters.FileSystem = input.FileSystem;
    parameters.FormatFlags = input.FormatFlags;
    parameters.Label = label;
    status = VolumeMount(&parameters, &handle, &outcome);
  }
  KsFreeString(&path);
  KsFree(&label);
  return ReplyMountResult(Request, status, NT_SUCCESS(status) ? handle : 0, outcome);
}
