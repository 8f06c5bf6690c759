// GetDeviceName: the kernel name of a volume's own device.
#include "engine/control/control_volume.h"

NTSTATUS ControlGetDeviceName(ControlRequest *Request) {
  VolumeHandleRequest input;
  VolumeBlock *volume;
  NTSTATUS status = ReferenceRequestVolume(Request, &input, &volume);
  if (!NT_SUCCESS(status)) return status;
  // An emulated disk's device belongs to the bus driver: nothing to name.
  if (VolumeHasAnyFlag(volume, VOLUME_DISK_EMULATION)) {
    Request->Information = 0;
    status = STATUS_SUCCESS;
  } else if (!volume->DeviceName) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else {
    status = ReplyCountedName(Request, volume->DeviceName);
  }
  VolumeRelease(&volume);
  return status;
}
