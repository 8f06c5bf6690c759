// SetProperties: set, then clear, bits of a volume's properties word.
#include "engine/control/control_request.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/volume/volume_parts.h"
#include "engine/volume/volume_table.h"

NTSTATUS ControlSetProperties(ControlRequest *Request) {
  if (Request->InputLength != sizeof(PropertiesRequest)) return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  PropertiesRequest input;
  ReadRecord(Request, &input);
  VolumeBlock *volume;
  NTSTATUS status = VolumeReference(input.VolumeHandle, &volume);
  if (!NT_SUCCESS(status)) return status;
  volatile LONG *word = reinterpret_cast<volatile LONG *>(&volume->Properties);
  InterlockedOr(word, static_cast<LONG>(input.SetBits));
  ULONG properties = static_cast<ULONG>(InterlockedAnd(word, static_cast<LONG>(~input.ClearBits))) & ~input.ClearBits;
  if (volume->Store) VolumeStoreSetProperties(volume->Store, properties);
  VolumeRelease(&volume);
  return STATUS_SUCCESS;
}
