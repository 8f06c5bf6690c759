// Operations on a volume through a handle and through its device stack:
// what the system does around a re-format or a removal.
#pragma once

#include "kernel-support/kernel.h"

// Opens the volume by its device name with FILE_ALL_ACCESS and ShareAccess.
NTSTATUS KsOpenVolume(PCUNICODE_STRING DeviceName, ULONG ShareAccess, PHANDLE Volume);
// FSCTL_LOCK_VOLUME, FSCTL_UNLOCK_VOLUME, FSCTL_DISMOUNT_VOLUME.
NTSTATUS KsLockVolume(HANDLE Volume);
NTSTATUS KsUnlockVolume(HANDLE Volume);
NTSTATUS KsDismountVolume(HANDLE Volume);
// IOCTL_VOLUME_ONLINE or IOCTL_VOLUME_OFFLINE to the top of the device's stack.
NTSTATUS KsSetVolumeOnline(PDEVICE_OBJECT Device, BOOLEAN Online);
