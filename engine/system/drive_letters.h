// Drive letters of volumes: global letters owned by the mount manager and
// recorded in MountedDevices, and letters that live in one logon session's
// DosDevices directory only. Passive level, in the requesting thread.
#pragma once

#include "engine/volume/volume_block.h"

// Gives the volume Letter (A..Z, either case). SessionLocal: the letter lives
// in the requester's logon session and belongs to the requester's user. Irp
// names the requester (its thread and process); null is the current thread,
// a kernel-mode requester. Every failure leaves neither a link nor a
// MountedDevices value of this attempt behind.
NTSTATUS AssignLetter(VolumeBlock *Volume, WCHAR Letter, BOOLEAN SessionLocal, PIRP Irp);

// Takes the volume's letter away; links and entries already gone count as
// removed. Notify: tell the listeners (event 3).
NTSTATUS RemoveLetter(VolumeBlock *Volume, BOOLEAN Notify);

// Forgets the volume's active letter link and letters (caller holds
// LetterMutex; the links themselves are already gone).
VOID ForgetVolumeLetter(VolumeBlock *Volume);
// A volume that goes takes its mount-manager names (its "\??\Volume{...}"
// link and database value) with it, so that no name outlives the device.
VOID ForgetVolumeNames(VolumeBlock *Volume);

// Whether the symbolic link Link names DeviceName (case-insensitively).
BOOLEAN LinkPointsTo(PCUNICODE_STRING Link, PCUNICODE_STRING DeviceName);

// Mount-manager letters of any volume device (the partitions of an emulated
// disk): the upper-case letter whose letter link belongs to the device, or 0.
WCHAR FindLetterOfDevice(PCUNICODE_STRING DeviceName);
// Gives the device the global letter through the mount manager, replacing
// the letter it has.
NTSTATUS SetMountManagerLetter(PCUNICODE_STRING DeviceName, WCHAR Letter);
// Takes away the letter the device has, and the device's database entries.
NTSTATUS RemoveAutomaticLetter(PCUNICODE_STRING DeviceName);

// The letter upper-cased when it is a..z; any other character as it is.
WCHAR UpcaseDriveLetter(WCHAR Letter);
// "\DosDevices\X:" for the upper-cased letter.
NTSTATUS MakeLetterLink(WCHAR Letter, PUNICODE_STRING *Link);
// "\Sessions\0\DosDevices\HHHHHHHH-LLLLLLLL\X:", the letter's link in the
// logon session's DosDevices directory (every one lies under session 0).
NTSTATUS MakeSessionLetterLink(LUID LogonId, WCHAR Letter, PUNICODE_STRING *Link);

// A path the user gave, as the requesting user would write it with a
// drive letter ("\??\C:\x" → "C:\x"; a device path under one of the
// user's letters → that letter's path). Freed with KsFreeString.
NTSTATUS ToDriveLetterPath(PCUNICODE_STRING Path, PUNICODE_STRING *Result);
