// Format an existing volume.
#include "engine/control/control_volume.h"
#include "engine/system/volume_reformat.h"
#include "kernel-support/ks_string.h"

NTSTATUS ControlFormatVolume(ControlRequest *Request) {
  FormatRequestParts input;
  VolumeBlock *volume;
  NTSTATUS status = ReferenceRequestVolume(Request, &input, &volume);
  if (!NT_SUCCESS(status)) return status;
  PANSI_STRING label = nullptr;
  status = KsAnsiStringFromBytes(static_cast<PCSTR>(input.Label.Data), input.Label.Length, &label);
  if (NT_SUCCESS(status) && input.Head.FileSystem > ENGINE_FS_LAST) status = STATUS_INVALID_PARAMETER;
  if (NT_SUCCESS(status))
    status = ReformatVolume(volume, input.Head.FileSystem, input.Head.FormatFlags,
                            label->Length ? label->Buffer : nullptr, input.Head.PartitionSelector);
  KsFreeAnsiString(&label);
  VolumeRelease(&volume);
  return status;
}
