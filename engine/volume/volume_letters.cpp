// Drive letters of a volume: its own device's letter, global or of one
// logon session. The partitions of emulated disks get theirs once the bus
// driver presents them.
#include "engine/control/notifications.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/system/drive_letters.h"
#include "engine/volume/volume_parts.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_string.h"

NTSTATUS VolumeAssignLetters(VolumeBlock *Volume, WCHAR Letter, const WCHAR *, UCHAR, BOOLEAN SessionLocal,
                             LONG, PIRP Irp) {
  if (VolumeHasAnyFlag(Volume, VOLUME_DISK_EMULATION)) return STATUS_NOT_SUPPORTED;
  NTSTATUS status = AssignLetter(Volume, Letter, SessionLocal, Irp);
  if (NT_SUCCESS(status)) NotifyBroadcast(VolumeHandleOf(Volume), ENGINE_EVENT_LETTERS_CHANGED);
  return status;
}

NTSTATUS VolumeRemoveLetters(VolumeBlock *Volume, LONG) {
  if (VolumeHasAnyFlag(Volume, VOLUME_DISK_EMULATION)) return STATUS_NOT_SUPPORTED;
  return RemoveLetter(Volume, TRUE);
}

VOID VolumeFreeNames(VolumeBlock *Volume) {
  KsFreeString(&Volume->DeviceName);
  KsFreeString(&Volume->LetterLink);
  KsFreeString(&Volume->SuggestedLink);
  KsFree(&Volume->OwnerSid);
}
