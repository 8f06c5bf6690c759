// Drive letters of a volume: its own device's letter, global or of one
// logon session, or the letters of an emulated disk's partitions.
#include "engine/control/notifications.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/system/drive_letters.h"
#include "engine/system/partition_letters.h"
#include "engine/volume/volume_parts.h"
#include "engine/volume/volume_reaper.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_string.h"

NTSTATUS VolumeAssignLetters(VolumeBlock *Volume, WCHAR Letter, const WCHAR *AdditionalLetters,
                             UCHAR AdditionalCount, BOOLEAN SessionLocal, LONG PartitionSelector, PIRP Irp) {
  // A disk's partitions get global letters whatever the request asks.
  NTSTATUS status = VolumeHasAnyFlag(Volume, VOLUME_DISK_EMULATION)
                        ? AssignPartitionLetters(Volume, Letter, AdditionalLetters, AdditionalCount,
                                                 PartitionSelector)
                        : AssignLetter(Volume, Letter, SessionLocal, Irp);
  if (NT_SUCCESS(status)) NotifyBroadcast(VolumeHandleOf(Volume), ENGINE_EVENT_LETTERS_CHANGED);
  return status;
}

NTSTATUS VolumeRemoveLetters(VolumeBlock *Volume, LONG PartitionSelector) {
  if (VolumeHasAnyFlag(Volume, VOLUME_DISK_EMULATION)) return RemovePartitionLetters(Volume, PartitionSelector, TRUE);
  return RemoveLetter(Volume, TRUE);
}

VOID VolumeFreeNames(VolumeBlock *Volume) {
  KsFreeString(&Volume->DeviceName);
  KsFreeString(&Volume->LetterLink);
  KsFreeString(&Volume->SuggestedLink);
  KsFree(&Volume->OwnerSid);
}

NTSTATUS VolumeRemoveIfUnmounted(VolumeBlock *Volume) {
  KIRQL irql;
  KeAcquireSpinLock(&Volume->SpinLock, &irql);
  BOOLEAN remove = !VolumeHasAnyFlag(Volume, VOLUME_IN_SERVICE | VOLUME_HAS_LETTER) &&
                   Volume->PagingUseCount == 0;
  KeReleaseSpinLock(&Volume->SpinLock, irql);
  if (!remove) return STATUS_SUCCESS;
  NTSTATUS status = VolumePostCommand(Volume, VOLUME_COMMAND_TAKE_OFFLINE);
  VolumeReaperWake();
  return status;
}
