// What the dispatch needs of a volume's store, cipher, worker, device and
// drive letters. The volume pieces themselves (memory store, image files,
// cipher, volume device, letters) fill these in; until they exist no volume
// can be created and the routines answer as for a volume without them.
#pragma once

#include "engine/volume/volume_block.h"

// Store.
ULONG64 VolumeStoreSize(VolumeStore *Store);
// The open image file's name, else the image path recorded at creation, as
// a new counted string; STATUS_OBJECT_NAME_NOT_FOUND when there is neither.
NTSTATUS VolumeStoreQueryImageName(VolumeStore *Store, PUNICODE_STRING *Name);
// Writes the properties word into the store's image header copy.
VOID VolumeStoreSetProperties(VolumeStore *Store, ULONG Properties);
// Releases the store, clearing its memory first when Wipe is set.
VOID VolumeStoreRelease(VolumeStore **Store, BOOLEAN Wipe);

// Cipher.
ULONG CipherAlgorithmId(CipherBlock *Cipher);
ULONG CipherKeyLength(CipherBlock *Cipher);
ULONG CipherBlockSize(CipherBlock *Cipher);
VOID CipherFree(CipherBlock **Cipher);

// Worker: posts a command and waits for its result.
NTSTATUS VolumePostCommand(VolumeBlock *Volume, ULONG Command);
BOOLEAN VolumeQueueIsEmpty(VolumeBlock *Volume);

// File system on the volume (every partition of an emulated disk).
NTSTATUS VolumeLockFileSystem(VolumeBlock *Volume);

// Drive letters.
// Irp is the Link request: its requester owns a session-local letter.
// Both tell the listeners (event 3) when the letters changed.
NTSTATUS VolumeAssignLetters(VolumeBlock *Volume, WCHAR Letter, const WCHAR *AdditionalLetters,
                             UCHAR AdditionalCount, BOOLEAN SessionLocal, LONG PartitionSelector,
                             PIRP Irp);
NTSTATUS VolumeRemoveLetters(VolumeBlock *Volume, LONG PartitionSelector);
// An unmount that waited for the last letter to go takes the volume
// offline now; nothing happens while it is in service or has a letter.
NTSTATUS VolumeRemoveIfUnmounted(VolumeBlock *Volume);
// Frees the names, letter records and owner SID of a volume being destroyed.
VOID VolumeFreeNames(VolumeBlock *Volume);

// Volume device requests (the engine's dispatch routines hand over every
// request that is not for the control device).
DRIVER_DISPATCH VolumeDispatchCreate;
DRIVER_DISPATCH VolumeDispatchClose;
DRIVER_DISPATCH VolumeDispatchReadWrite;
DRIVER_DISPATCH VolumeDispatchDeviceControl;
DRIVER_DISPATCH VolumeDispatchShutdown;
DRIVER_DISPATCH VolumeDispatchPnp;
