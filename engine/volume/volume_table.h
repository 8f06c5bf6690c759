// VolumeTable: the live volumes, keyed by handle (hashed with CRC-32 of the
// handle's bytes). Every lookup takes a reference that the caller releases.
#pragma once

#include "engine/volume/volume_block.h"

NTSTATUS VolumeTableCreate();
// Tears down the volumes still listed and frees the table (driver unload).
VOID VolumeTableDestroy();

NTSTATUS VolumeTableInsert(VolumeBlock *Volume);
// Takes a volume whose creation failed out of the table again.
VOID VolumeTableRemove(VolumeBlock *Volume);
ULONG VolumeTableCount();

// A live volume (listed, not deleted) with one more reference; otherwise
// STATUS_INVALID_HANDLE.
NTSTATUS VolumeReference(ULONG64 Handle, VolumeBlock **Volume);
// The same for a volume found under TableMutex, which the caller holds;
// FALSE when it is deleted or being destroyed.
BOOLEAN VolumeReferenceLocked(VolumeBlock *Volume);
// Drops a reference taken by VolumeReference and nulls *Volume. The holder
// of the last reference destroys the volume, with its two broadcasts.
VOID VolumeRelease(VolumeBlock **Volume);

// Destroys a volume that is out of service: STATUS_DELETE_PENDING when it
// is already being destroyed, STATUS_INVALID_DEVICE_STATE while in service.
NTSTATUS DestroyVolume(VolumeBlock *Volume);
// Destroys a volume whose last reference is gone: events 2 and 5 around it.
VOID VolumeFinalize(VolumeBlock *Volume);
