// The partitions of an emulated disk, as the system's storage stack
// presents them: volume devices whose disk is the bus driver's disk of the
// volume. Passive level.
#pragma once

#include "engine/volume/volume_block.h"

struct PartitionVolume {
  PDEVICE_OBJECT Device;        // the named volume device (it carries the VPB)
  PUNICODE_STRING DeviceName;   // its kernel name
  PUNICODE_STRING MountPoint;   // its first mount point, or null
  ULONG PartitionNumber;
};

// Called for each partition in enumeration order; a failure ends the walk
// with that status. Everything in Partition lives for the call only.
typedef NTSTATUS PARTITION_ACTION(VolumeBlock *Volume, const PartitionVolume *Partition, PVOID Context);

// Walks the partitions of the disk-emulated Volume.
NTSTATUS WalkPartitions(VolumeBlock *Volume, PARTITION_ACTION *Action, PVOID Context);

// The number of partitions the storage stack presents for the volume.
ULONG CountPartitions(VolumeBlock *Volume);
