// SetProperties: set, then clear, bits of a volume's properties word.
#include "engine/control/control_volume.h"
#include "engine/volume/volume_parts.h"

NTSTATUS ControlSetProperties(ControlRequest *Request) {
  PropertiesRequest input;
  VolumeBlock *volume;
  NTSTATUS status = ReferenceRequestVolume(Request, &input, &volume);
  if (!NT_SUCCESS(status)) return status;
  volatile LONG *word = reinterpret_cast<volatile LONG *>(&volume->Properties);
  InterlockedOr(word, static_cast<LONG>(input.SetBits));
  ULONG properties = static_cast<ULONG>(InterlockedAnd(word, static_cast<LONG>(~input.ClearBits))) & ~input.ClearBits;
  if (volume->Store) VolumeStoreSetProperties(volume->Store, properties);
  VolumeRelease(&volume);
  return STATUS_SUCCESS;
}
