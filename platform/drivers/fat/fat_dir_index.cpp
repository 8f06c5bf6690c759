// Name indexes: an open-addressing table of (key, first slot) per indexed
// directory, in a short list ordered by last use.
#include "platform/drivers/fat/fat_dir_index.h"

namespace {

// Folders worked in at once: enough for a copy between two deep trees.
constexpr ULONG kKeptIndexes = 8;
constexpr ULONG kEmpty = 0xFFFFFFFF;
constexpr ULONG kRemoved = 0xFFFFFFFE;
constexpr ULONG kFirstCapacity = 64;

struct Key {
  ULONG Hash;
  ULONG Slot;  // first slot of the entry; kEmpty or kRemoved
};

}  // namespace

struct FatDirIndex {
  FatDirIndex *Next;
  ULONG Dir;
  ULONG Capacity;  // a power of two
  ULONG Used;      // live keys and removed marks
  ULONG Live;
  ULONG FreeHint;
  Key *Keys;
};

namespace {

Key *NewKeys(ULONG Capacity) {
  auto *keys = static_cast<Key *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, Capacity * sizeof(Key), kFatTag));
  if (keys)
    for (ULONG i = 0; i < Capacity; ++i) keys[i].Slot = kEmpty;
  return keys;
}

VOID Insert(Key *Keys, ULONG Capacity, ULONG Hash, ULONG Slot) {
  for (ULONG i = Hash & (Capacity - 1);; i = (i + 1) & (Capacity - 1)) {
    if (Keys[i].Slot == kEmpty) {
      Keys[i].Hash = Hash;
      Keys[i].Slot = Slot;
      return;
    }
  }
}

// Room for one more key with at most half the table in use; removed marks
// go when the table is made again.
BOOLEAN MakeRoom(FatDirIndex *Index) {
  if ((Index->Used + 1) * 2 <= Index->Capacity) return TRUE;
  ULONG capacity = Index->Capacity;
  while ((Index->Live + 1) * 4 > capacity) capacity *= 2;
  Key *keys = NewKeys(capacity);
  if (!keys) return FALSE;
  for (ULONG i = 0; i < Index->Capacity; ++i)
    if (Index->Keys[i].Slot < kRemoved) Insert(keys, capacity, Index->Keys[i].Hash, Index->Keys[i].Slot);
  ExFreePoolWithTag(Index->Keys, kFatTag);
  Index->Keys = keys;
  Index->Capacity = capacity;
  Index->Used = Index->Live;
  return TRUE;
}

VOID Free(FatDirIndex *Index) {
  ExFreePoolWithTag(Index->Keys, kFatTag);
  ExFreePoolWithTag(Index, kFatTag);
}

}  // namespace

ULONG FatNameKey(const WCHAR *Name, USHORT Length) {
  ULONG h = 2166136261u;
  for (USHORT i = 0; i < Length; ++i) h = (h ^ RtlUpcaseUnicodeChar(Name[i])) * 16777619u;
  return h;
}

FatDirIndex *FatIndexOf(FatVolumeCore *Core, ULONG Dir) {
  FatDirIndex **link = &Core->DirIndexes;
  for (FatDirIndex *index = *link; index; link = &index->Next, index = *link) {
    if (index->Dir != Dir) continue;
    *link = index->Next;
    index->Next = Core->DirIndexes;
    Core->DirIndexes = index;
    return index;
  }
  return nullptr;
}

FatDirIndex *FatIndexNew(FatVolumeCore *Core, ULONG Dir) {
  FatIndexDrop(Core, Dir);
  auto *index = static_cast<FatDirIndex *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(FatDirIndex), kFatTag));
  if (!index) return nullptr;
  RtlZeroMemory(index, sizeof *index);
  index->Keys = NewKeys(kFirstCapacity);
  if (!index->Keys) {
    ExFreePoolWithTag(index, kFatTag);
    return nullptr;
  }
  index->Dir = Dir;
  index->Capacity = kFirstCapacity;
  index->Next = Core->DirIndexes;
  Core->DirIndexes = index;
  // Only the most recently used are kept.
  ULONG kept = 1;
  for (FatDirIndex *at = index; at->Next; at = at->Next) {
    if (++kept > kKeptIndexes) {
      FatDirIndex *old = at->Next;
      at->Next = old->Next;
      Free(old);
      break;
    }
  }
  return index;
}

VOID FatIndexDrop(FatVolumeCore *Core, ULONG Dir) {
  for (FatDirIndex **link = &Core->DirIndexes; *link; link = &(*link)->Next) {
    if ((*link)->Dir != Dir) continue;
    FatDirIndex *gone = *link;
    *link = gone->Next;
    Free(gone);
    return;
  }
}

VOID FatIndexDropAll(FatVolumeCore *Core) {
  while (FatDirIndex *index = Core->DirIndexes) {
    Core->DirIndexes = index->Next;
    Free(index);
  }
}

BOOLEAN FatIndexAdd(FatDirIndex *Index, ULONG Key, ULONG FirstSlot) {
  if (!MakeRoom(Index)) return FALSE;
  Insert(Index->Keys, Index->Capacity, Key, FirstSlot);
  ++Index->Used;
  ++Index->Live;
  return TRUE;
}

VOID FatIndexRemove(FatDirIndex *Index, ULONG Key, ULONG FirstSlot) {
  for (ULONG i = Key & (Index->Capacity - 1);; i = (i + 1) & (Index->Capacity - 1)) {
    struct Key &k = Index->Keys[i];
    if (k.Slot == kEmpty) return;
    if (k.Slot == FirstSlot && k.Hash == Key) {
      k.Slot = kRemoved;
      --Index->Live;
      return;
    }
  }
}

ULONG FatIndexNext(const FatDirIndex *Index, ULONG Key, ULONG *Probe) {
  for (; *Probe < Index->Capacity; ++*Probe) {
    const struct Key &k = Index->Keys[(Key + *Probe) & (Index->Capacity - 1)];
    if (k.Slot == kEmpty) break;
    if (k.Slot != kRemoved && k.Hash == Key) {
      ++*Probe;
      return k.Slot;
    }
  }
  *Probe = Index->Capacity;
  return kFatIndexNone;
}

ULONG FatIndexFreeHint(const FatDirIndex *Index) { return Index->FreeHint; }
VOID FatIndexSetFreeHint(FatDirIndex *Index, ULONG Offset) { Index->FreeHint = Offset; }
