// SaveImage: write a volume to its image file or to another one.
#include "engine/control/control_volume.h"
#include "engine/image/image_requests.h"
#include "kernel-support/ks_file.h"
#include "kernel-support/ks_string.h"

namespace {

// Flushes what the file system on the volume's own device holds back.
NTSTATUS FlushVolumeFileSystem(VolumeBlock *Volume) {
  // The partitions of an emulated disk are reached through the bus driver's
  // disk; until that walk exists they are not flushed here.
  if (VolumeHasFlags(Volume, VOLUME_DISK_EMULATION) || !Volume->DeviceName) return STATUS_SUCCESS;
  HANDLE device;
  NTSTATUS status = KsOpenFile(&device, Volume->DeviceName, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0);
  if (!NT_SUCCESS(status)) return status;
  status = KsFlushFile(device);
  ZwClose(device);
  return status;
}

}  // namespace

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
    status = FlushVolumeFileSystem(volume);
  }
  if (NT_SUCCESS(status)) status = ImageSave(volume->Store, flags, path);
  KsFreeString(&path);
  VolumeRelease(&volume);
  return status;
}
