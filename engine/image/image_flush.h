// The periodic flush of a memory volume into its image: header copy 1, the
// changed sectors, and the file cut after the data.
#pragma once

#include "kernel-support/kernel.h"

struct VolumeStore;

// Writes copy 1 of the header and the sectors the change map marks into the
// store's open image (else its image path, opened or created), clears the
// map and sets the file's end behind the data: the second header copy goes.
// STATUS_INVALID_DEVICE_STATE for a store without memory or image.
NTSTATUS ImageFlush(VolumeStore *Store);
