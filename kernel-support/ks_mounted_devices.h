// The mount manager's database, "\Registry\Machine\System\MountedDevices":
// values named by link ("\DosDevices\X:", "\??\Volume{...}") whose REG_BINARY
// data is the unique id of the volume they name.
#pragma once

#include "kernel-support/kernel.h"

NTSTATUS KsMountedDevicesSet(PCUNICODE_STRING Link, const VOID *UniqueId, ULONG Length);
// The value's data in a pool buffer ("Xbuf", KsFree); STATUS_OBJECT_NAME_NOT_FOUND when absent.
NTSTATUS KsMountedDevicesRead(PCUNICODE_STRING Link, PVOID *Data, PULONG Length);
// A missing value or database counts as deleted.
NTSTATUS KsMountedDevicesDeleteByName(PCUNICODE_STRING Link);
// Deletes every REG_BINARY value whose data is exactly the unique id.
NTSTATUS KsMountedDevicesDeleteByData(const VOID *UniqueId, ULONG Length);
