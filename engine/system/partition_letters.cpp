// Letters per partition of an emulated disk, through the partition walk.
#include "engine/system/partition_letters.h"

#include "engine/control/notifications.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/system/drive_letters.h"
#include "engine/system/partition_walk.h"
#include "kernel-support/ks_string.h"

namespace {

struct LetterPlan {
  WCHAR Letters[1 + VOLUME_MAX_ADDITIONAL_LETTERS];
  ULONG Count;
  ULONG Next;
  LONG Selector;
  BOOLEAN ListedOnly;
  ULONG Given;
};

NTSTATUS GiveNextLetter(VolumeBlock *, const PartitionVolume *Partition, PVOID Context) {
  auto *plan = static_cast<LetterPlan *>(Context);
  BOOLEAN chosen = plan->Selector < 0 || Partition->PartitionNumber == static_cast<ULONG>(plan->Selector);
  if (chosen && plan->Next < plan->Count) {
    NTSTATUS status = SetMountManagerLetter(Partition->DeviceName, plan->Letters[plan->Next]);
    if (!NT_SUCCESS(status)) return status;
    ++plan->Next;
    ++plan->Given;
    return STATUS_SUCCESS;
  }
  if (plan->ListedOnly) return RemoveAutomaticLetter(Partition->DeviceName);
  return STATUS_SUCCESS;
}

struct RemovalPlan {
  LONG Selector;
};

NTSTATUS TakeLetter(VolumeBlock *, const PartitionVolume *Partition, PVOID Context) {
  auto *plan = static_cast<RemovalPlan *>(Context);
  if (plan->Selector >= 0 && Partition->PartitionNumber != static_cast<ULONG>(plan->Selector))
    return STATUS_SUCCESS;
  return RemoveAutomaticLetter(Partition->DeviceName);
}

}  // namespace

NTSTATUS AssignPartitionLetters(VolumeBlock *Volume, WCHAR Letter, const WCHAR *Additional, UCHAR AdditionalCount,
                                LONG Selector) {
  LetterPlan plan;
  RtlZeroMemory(&plan, sizeof(plan));
  plan.Letters[plan.Count++] = UpcaseDriveLetter(Letter);
  if (AdditionalCount > VOLUME_MAX_ADDITIONAL_LETTERS) return STATUS_INVALID_PARAMETER;
  // One partition takes one letter: the additional ones go to the partitions
  // that follow the first.
  if (Selector < 0)
    for (UCHAR i = 0; i < AdditionalCount; ++i) plan.Letters[plan.Count++] = UpcaseDriveLetter(Additional[i]);
  for (ULONG i = 0; i < plan.Count; ++i)
    if (plan.Letters[i] < 'A' || plan.Letters[i] > 'Z') return STATUS_OBJECT_NAME_INVALID;
  plan.Selector = Selector;
  plan.ListedOnly = VolumeHasAnyFlag(Volume, VOLUME_LISTED_PARTITION_LETTERS);

  PUNICODE_STRING link = nullptr;
  NTSTATUS status = MakeLetterLink(plan.Letters[0], &link);
  if (!NT_SUCCESS(status)) return status;
  VolumeLockLetters(Volume);
  status = WalkPartitions(Volume, GiveNextLetter, &plan);
  if (NT_SUCCESS(status) && plan.Given == 0) status = STATUS_NOT_FOUND;
  if (NT_SUCCESS(status)) {
    VolumeLockNames(Volume);
    KsFreeString(&Volume->LetterLink);
    Volume->LetterLink = link;
    link = nullptr;
    VolumeUnlockNames(Volume);
    KIRQL irql;
    KeAcquireSpinLock(&Volume->SpinLock, &irql);
    Volume->DriveLetter = plan.Letters[0];
    Volume->SessionLocal = 0;
    Volume->SessionId = 0;
    Volume->AdditionalLetterCount = Selector < 0 ? AdditionalCount : 0;
    for (UCHAR i = 0; i < Volume->AdditionalLetterCount; ++i) Volume->AdditionalLetters[i] = plan.Letters[1 + i];
    KeReleaseSpinLock(&Volume->SpinLock, irql);
    VolumeSetFlags(Volume, VOLUME_HAS_LETTER);
  }
  VolumeUnlockLetters(Volume);
  KsFreeString(&link);
  return status;
}

NTSTATUS RemovePartitionLetters(VolumeBlock *Volume, LONG Selector, BOOLEAN Notify) {
  RemovalPlan plan = {Selector};
  VolumeLockLetters(Volume);
  NTSTATUS status = WalkPartitions(Volume, TakeLetter, &plan);
  if (NT_SUCCESS(status)) ForgetVolumeLetter(Volume);
  VolumeUnlockLetters(Volume);
  if (NT_SUCCESS(status) && Notify) NotifyBroadcast(VolumeHandleOf(Volume), ENGINE_EVENT_LETTERS_CHANGED);
  return status;
}

NTSTATUS RemoveAutomaticPartitionLetters(VolumeBlock *Volume) {
  RemovalPlan plan = {-1};
  return WalkPartitions(Volume, TakeLetter, &plan);
}
