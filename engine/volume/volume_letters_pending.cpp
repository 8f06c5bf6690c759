// Drive letters of a volume. The letter links themselves (mount manager,
// session links) are still to come: until then a volume never gets one.
#include "kernel-support/ks_string.h"
#include "engine/volume/volume_parts.h"

NTSTATUS VolumeAssignLetters(VolumeBlock *, WCHAR, const WCHAR *, UCHAR, BOOLEAN, LUID, ULONG, LONG, PIRP) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS VolumeRemoveLetters(VolumeBlock *Volume, LONG) {
  KsFreeString(&Volume->LetterLink);
  KsFreeString(&Volume->SuggestedLink);
  Volume->DriveLetter = 0;
  Volume->AdditionalLetterCount = 0;
  Volume->SessionLocal = 0;
  VolumeClearFlags(Volume, VOLUME_HAS_LETTER);
  return STATUS_SUCCESS;
}

VOID VolumeFreeNames(VolumeBlock *Volume) {
  KsFreeString(&Volume->DeviceName);
  KsFreeString(&Volume->LetterLink);
  KsFreeString(&Volume->SuggestedLink);
  KsFree(&Volume->OwnerSid);
}
