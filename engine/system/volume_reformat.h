// Formatting a volume that is live: the file system on it is locked out and
// dismounted around the formatter, as the system's own format does.
#pragma once

#include "engine/volume/volume_block.h"

// Passive level, in the requesting thread. FileSystem is an ENGINE_FS_ value,
// Options the request's format options, Label 8-bit text or null.
// On an emulated disk PartitionSelector names the partition to format, or
// -1 for every one.
NTSTATUS ReformatVolume(VolumeBlock *Volume, ULONG FileSystem, ULONG Options, PCSTR Label, LONG PartitionSelector);
