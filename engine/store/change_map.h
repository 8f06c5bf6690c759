// One bit per 512-byte sector of a memory volume: set by writes, cleared by
// a successful save. Guarded by its own lock, so that writers and the saver
// need no other.
#pragma once

#include "kernel-support/kernel.h"

// The kernel's bitmaps count their bits in a ULONG: a map of more bits is a
// chain of bitmaps of CHANGE_MAP_SEGMENT_BITS bits each (1 TiB of sectors).
constexpr ULONGLONG CHANGE_MAP_SEGMENT_BITS = 0x80000000ull;

struct ChangeMap {
  ULONGLONG BitCount;
  ULONG SegmentCount;
  PULONG Bits;            // the bits of every segment, one block
  PRTL_BITMAP Segments;   // SegmentCount headers over Bits, after this record
  KSPIN_LOCK Lock;
};

NTSTATUS ChangeMapCreate(ULONGLONG BitCount, ChangeMap **Map);
VOID ChangeMapFree(ChangeMap **Map);
// Sets bits [First, First + Count), cut at the end of the map.
VOID ChangeMapSet(ChangeMap *Map, ULONGLONG First, ULONGLONG Count);
// Clears bits [First, First + Count), cut at the end of the map.
VOID ChangeMapClear(ChangeMap *Map, ULONGLONG First, ULONGLONG Count);
VOID ChangeMapClearAll(ChangeMap *Map);
BOOLEAN ChangeMapTest(ChangeMap *Map, ULONGLONG Bit);
// The first run of set bits at or after From, at most MaxRun long (and cut
// at a segment's end): FALSE when there is none.
BOOLEAN ChangeMapFindRun(ChangeMap *Map, ULONGLONG From, ULONGLONG MaxRun, PULONGLONG RunStart,
                         PULONGLONG RunLength);
// ChangeMapFindRun, and the run found is cleared in the same hold of the
// lock: a save takes the run it is about to write.
BOOLEAN ChangeMapTakeRun(ChangeMap *Map, ULONGLONG From, ULONGLONG MaxRun, PULONGLONG RunStart,
                         PULONGLONG RunLength);
ULONGLONG ChangeMapCount(ChangeMap *Map);
