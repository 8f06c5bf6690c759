// SaveImage: write a volume to its image file or to another one.
#include "engine/control/control_volume.h"
#include "engine/image/image_requests.h"
#include "engine/volume/volume_device.h"
#include "kernel-support/ks_string.h"


NTSTATUS ControlSaveImage(ControlRequest *Request) {
  SaveImageRequestParts input;
  VolumeBlock *volume;
  NTSTATUS status = ReferenceRequestVolume(Request, &input, &volume, {}, [](const SaveImageRequestParts &In) {
    return In.TargetPath.Length % sizeof(WCHAR) ? STATUS_OBJECT_PATH_SYNTAX_BAD : STATUS_SUCCESS;
  });
  if (!NT_SUCCESS(status)) return status;

  PUNICODE_STRING path = nullptr;
  if (!volume->Store) status = STATUS_INVALID_DEVICE_STATE;
  if (NT_SUCCESS(status) && input.TargetPath.Length) status = RequestPathString(input.TargetPath, &path);
  ULONG flags = input.Head.SaveFlags;
  if (NT_SUCCESS(status) && (flags & ENGINE_SAVE_FLUSH_FIRST) && !VolumeHasFlags(volume, VOLUME_READ_ONLY)) {
    status = VolumeFlushFileSystem(volume);
  }
  if (NT_SUCCESS(status)) status = ImageSave(volume->Store, flags, path);
  KsFreeString(&path);
  VolumeRelease(&volume);
  return status;
}
