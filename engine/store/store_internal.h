// Pieces of the store shared by its source files.
#pragma once

#include "engine/store/volume_store.h"

// Attaches to the system process for the life of the object: its user space
// holds the pieces and views that did not fit into system space.
class StoreSystemAttach {
 public:
  explicit StoreSystemAttach(BOOLEAN Attach = TRUE);
  StoreSystemAttach(const StoreSystemAttach &) = delete;
  StoreSystemAttach &operator=(const StoreSystemAttach &) = delete;
  ~StoreSystemAttach();

 private:
  KAPC_STATE State;
  BOOLEAN Attached;
};

// The piece that holds byte MemoryOffset of the store's memory, or null.
StorePiece *StoreFindPiece(VolumeStore *Store, ULONGLONG MemoryOffset);
// Unmaps and frees every piece and chunk.
VOID StoreFreeMemory(VolumeStore *Store);
