// The unique id the mount manager keys a volume by: SHA-512 over the
// SHA-512 of the volume's name followed by the control name digest.
#include "engine/start/engine.h"
#include "engine/volume/volume_device.h"
#include "kernel-support/ks_checksum.h"

// The name is the suggested link ("\DosDevices\X:") while the volume has a
// letter, else its device name. Called again whenever the letter changes.
// The caller holds NameMutex or owns the volume alone (creation).
NTSTATUS VolumeComputeUniqueId(VolumeBlock *Volume) {
  PUNICODE_STRING name = Volume->SuggestedLink ? Volume->SuggestedLink : Volume->DeviceName;
  if (!name) return STATUS_INVALID_DEVICE_STATE;
  UCHAR input[2 * KS_SHA512_DIGEST_SIZE];
  NTSTATUS status = KsSha512(name->Buffer, name->Length, input);
  if (!NT_SUCCESS(status)) return status;
  RtlCopyMemory(input + KS_SHA512_DIGEST_SIZE, Engine.ControlNameDigest, KS_SHA512_DIGEST_SIZE);
  UCHAR id[sizeof(Volume->UniqueId)];
  status = KsSha512(input, sizeof(input), id);
  if (NT_SUCCESS(status)) RtlCopyMemory(Volume->UniqueId, id, sizeof(id));
  return status;
}
