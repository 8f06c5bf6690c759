// Format an existing volume.
#include "engine/control/control_volume.h"
#include "kernel-support/ks_string.h"

NTSTATUS ControlFormatVolume(ControlRequest *Request) {
  FormatRequestParts input;
  VolumeBlock *volume;
  NTSTATUS status = ReferenceRequestVolume(Request, &input, &volume);
  if (!NT_SUCCESS(status)) return status;
  PANSI_STRING label = nullptr;
  status = KsAnsiStringFromBytes(static_cast<PCSTR>(input.Label.Data), input.Label.Length, &label);
  if (NT_SUCCESS(status) && input.Head.FileSystem > ENGINE_FS_LAST) status = STATUS_INVALID_PARAMETER;
  // Formatting a mounted volume comes with the volume device.
  if (NT_SUCCESS(status)) status = STATUS_NOT_IMPLEMENTED;
  KsFreeAnsiString(&label);
  VolumeRelease(&volume);
  return status;
}
