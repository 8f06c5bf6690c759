// Engine-wide pseudo-random values: disk signatures and volume GUIDs.
#pragma once

#include "kernel-support/kernel.h"

constexpr ULONG KS_RANDOM_STATE_SIZE = 64;

// Mixes the system time into the shared state and draws the next value.
// Callable at PASSIVE_LEVEL from any thread.
ULONG NewRandom32();
// Fills the GUID with four successive NewRandom32 values.
VOID NewRandomGuid(GUID *Guid);

// One step on a caller-owned state with a given system time: the state
// becomes the SHA-512 digest of time XOR state bytes 0, 8, ... 56, and the
// result is RtlRandomEx over the state's first 32-bit word (updated in
// place). NewRandom32 is this step on the shared state.
ULONG KsRandomStep(UCHAR State[KS_RANDOM_STATE_SIZE], ULONGLONG SystemTime);
