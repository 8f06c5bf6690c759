// Bringing up one automatic volume whose store the start-up created.
#pragma once

#include "engine/protocol/engine_protocol.h"
#include "kernel-support/kernel.h"

struct CipherBlock;
struct VolumeStore;

struct AutoVolumeStart {
  AutoVolumeDataParts Record;  // points into the list read at start
  CipherBlock *Cipher;
  VolumeStore *Store;
};

// Creates the volume over the store, formats a fresh one, sets its
// properties and letters, compresses its root, makes the initial folders
// and starts the autoflush. A failure up to the letters abandons the
// volume: it goes away with its memory wiped. Store and cipher are taken
// over either way.
VOID AutoVolumeBringUp(AutoVolumeStart *Start);
