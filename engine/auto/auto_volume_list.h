// All recorded automatic volumes in transfer form: a u32 count and the
// records back to back, as GetAutoVolumes replies and the start-up reads.
#pragma once

#include "kernel-support/kernel.h"
#include "kernel-support/ks_alloc.h"

constexpr ULONG AUTO_VOLUME_LIST_TAG = KsTag("VVal");

// Reads every subkey named like a drive letter under AutoConfigMutex, in
// two passes: the first sizes and counts, the second fills. *List (freed
// with KsFree) receives the count and records, *Length its size (4 + the
// records). A broken subkey fails the whole read; one that appears
// between the passes gives STATUS_BUFFER_OVERFLOW.
NTSTATUS AutoVolumesRead(PVOID *List, PULONG Length);
