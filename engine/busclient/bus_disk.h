// Disks the bus driver presents for the engine's disk-emulated volumes.
// Passive level.
#pragma once

#include "engine/volume/volume_block.h"

// Asks the bus for the volume's disk, then writes a fresh partition table
// on it (mount flag 0x80000) or reads the one it has, and waits until the
// partition's volume is there. A failure removes the disk again.
NTSTATUS BusAddVolumeDisk(VolumeBlock *Volume, ULONG MountFlags);
// The volume is listed in VolumeTable (or its creation failed): the entry
// points find it there from now on. Every BusAddVolumeDisk is ended so.
VOID BusEndVolumeHandoff(VolumeBlock *Volume);
// Asks the bus to remove the volume's disk and waits until the system has
// taken the disk and its partitions down.
NTSTATUS BusRemoveVolumeDisk(VolumeBlock *Volume);
