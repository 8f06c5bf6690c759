// Name indexes of recently used directories: where in a directory an entry
// of a given name may start, so that a lookup or a create in a folder of
// thousands of entries reads a few slots instead of the whole folder. An
// index only narrows the search: every hit is read and compared on the
// volume, so a stale key costs a read, never a wrong answer. What must
// hold is that every live entry has its keys, so each change of a
// directory's names goes through fat_entries.cpp, which keeps the index
// in step or drops it.
#pragma once

#include "platform/drivers/fat/fat_core.h"

constexpr ULONG kFatIndexNone = 0xFFFFFFFF;

// The key of a name: its case-folded hash, as FatNamesEqual compares.
ULONG FatNameKey(const WCHAR *Name, USHORT Length);

// The index of directory Dir, or null when it has none; a found one
// becomes the most recently used.
FatDirIndex *FatIndexOf(FatVolumeCore *Core, ULONG Dir);
// A fresh, empty index for Dir (the least recently used one goes when too
// many are kept); null without memory.
FatDirIndex *FatIndexNew(FatVolumeCore *Core, ULONG Dir);
VOID FatIndexDrop(FatVolumeCore *Core, ULONG Dir);
VOID FatIndexDropAll(FatVolumeCore *Core);

// FALSE without memory: the caller drops the index.
BOOLEAN FatIndexAdd(FatDirIndex *Index, ULONG Key, ULONG FirstSlot);
VOID FatIndexRemove(FatDirIndex *Index, ULONG Key, ULONG FirstSlot);
// The first slots of entries that may carry Key, one per call: *Probe
// starts at 0; kFatIndexNone when there are no more.
ULONG FatIndexNext(const FatDirIndex *Index, ULONG Key, ULONG *Probe);

// The lowest offset at which the directory may have a free slot.
ULONG FatIndexFreeHint(const FatDirIndex *Index);
VOID FatIndexSetFreeHint(FatDirIndex *Index, ULONG Offset);
