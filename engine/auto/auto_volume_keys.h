// The subkeys of Options\Auto, one per automatic volume, named "X:", and
// their values.
#pragma once

#include "engine/protocol/engine_protocol.h"
#include "kernel-support/kernel.h"

// A subkey name an automatic volume may have: a letter and a colon.
BOOLEAN IsAutoVolumeKeyName(PCUNICODE_STRING Name);

// The checks a record passes before it is written; upper-cases its letters.
NTSTATUS AutoVolumeCheck(AutoVolumeDataParts *Record);

// Writes the record as the subkey of its letter, replacing the one there.
// The head's letters must already be checked and upper-cased. When a value
// cannot be written the new subkey is deleted; the status is that write's.
NTSTATUS AutoVolumeWriteKey(const AutoVolumeDataParts *Record);

// One subkey read back: the head with every value and the three strings,
// each in its own buffer (null when empty).
struct AutoVolumeRecord {
  VV_AUTO_VOLUME_DATA Head;
  PVOID Label;    // 8-bit characters
  PVOID Path;     // UTF-16
  PVOID Folders;  // the InitialFolders block
};

// Reads the subkey Name of Options\Auto. A required value missing, or a
// value of the wrong type or size, fails the read.
NTSTATUS AutoVolumeReadKey(PCUNICODE_STRING Name, AutoVolumeRecord *Record);
VOID AutoVolumeRecordFree(AutoVolumeRecord *Record);
// The record in transfer form: its length, and the parts to pack it from.
ULONG AutoVolumeRecordLength(const AutoVolumeRecord *Record);
AutoVolumeDataParts AutoVolumeRecordParts(const AutoVolumeRecord *Record);
