// Format an existing volume.
#include "engine/control/control_request.h"
#include "engine/protocol/engine_protocol.h"
#include "kernel-support/ks_string.h"
#include "engine/volume/volume_table.h"

NTSTATUS ControlFormatVolume(ControlRequest *Request) {
  if (Request->InputLength < sizeof(FormatRequest)) return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  FormatRequest input;
  ReadRecord(Request, &input);
  if (Request->InputLength != FormatRequestSize(input.LabelLength)) return STATUS_INVALID_BUFFER_SIZE;
  VolumeBlock *volume;
  NTSTATUS status = VolumeReference(input.VolumeHandle, &volume);
  if (!NT_SUCCESS(status)) return status;
  PANSI_STRING label = nullptr;
  status = KsAnsiStringFromBytes(reinterpret_cast<PCSTR>(RequestBytes(Request) + sizeof(FormatRequest)),
                                 input.LabelLength, &label);
  if (NT_SUCCESS(status) && input.FileSystem > ENGINE_FS_LAST) status = STATUS_INVALID_PARAMETER;
  // Formatting a mounted volume comes with the volume device.
  if (NT_SUCCESS(status)) status = STATUS_NOT_IMPLEMENTED;
  KsFreeAnsiString(&label);
  VolumeRelease(&volume);
  return status;
}
