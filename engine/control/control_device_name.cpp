// GetDeviceName: the kernel name of a volume's own device.
#include "engine/control/control_request.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/volume/volume_table.h"

NTSTATUS ControlGetDeviceName(ControlRequest *Request) {
  if (Request->InputLength != sizeof(VolumeHandleRequest)) return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  VolumeHandleRequest input;
  ReadRecord(Request, &input);
  VolumeBlock *volume;
  NTSTATUS status = VolumeReference(input.VolumeHandle, &volume);
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
