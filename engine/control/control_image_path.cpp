// GetImageFilePath: the image file behind a volume.
#include "engine/control/control_volume.h"
#include "engine/volume/volume_parts.h"
#include "kernel-support/ks_string.h"

NTSTATUS ControlGetImageFilePath(ControlRequest *Request) {
  VolumeHandleRequest input;
  VolumeBlock *volume;
  NTSTATUS status = ReferenceRequestVolume(Request, &input, &volume);
  if (!NT_SUCCESS(status)) return status;
  if (!volume->Store) {
    VolumeRelease(&volume);
    return STATUS_INVALID_PARAMETER;
  }
  PUNICODE_STRING name = nullptr;
  status = VolumeStoreQueryImageName(volume->Store, &name);
  if (NT_SUCCESS(status)) {
    status = ReplyCountedName(Request, name);
    KsFreeString(&name);
  } else if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
    // A memory volume without an image has no path to report.
    if (VolumeHasAnyFlag(volume, VOLUME_MEMORY)) {
      Request->Information = 0;
      status = STATUS_SUCCESS;
    } else {
      status = STATUS_INVALID_DEVICE_STATE;
    }
  }
  VolumeRelease(&volume);
  return status;
}
