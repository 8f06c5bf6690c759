// The change map: a locked chain of kernel bitmaps.
#include "engine/store/change_map.h"

#include "kernel-support/ks_alloc.h"

namespace {

constexpr ULONG NOT_FOUND = 0xFFFFFFFF;

inline ULONG SegmentBits(const ChangeMap *Map, ULONG Segment) {
  ULONGLONG first = Segment * CHANGE_MAP_SEGMENT_BITS;
  ULONGLONG left = Map->BitCount - first;
  return static_cast<ULONG>(left < CHANGE_MAP_SEGMENT_BITS ? left : CHANGE_MAP_SEGMENT_BITS);
}

// The first set bit of Segment at or after Local; NOT_FOUND when none.
// RtlFindSetBits wraps round to the segment's start, which counts as none.
ULONG FirstSetFrom(PRTL_BITMAP Segment, ULONG Local) {
  ULONG found = RtlFindSetBits(Segment, 1, Local);
  return found == NOT_FOUND || found < Local ? NOT_FOUND : found;
}

}  // namespace

NTSTATUS ChangeMapCreate(ULONGLONG BitCount, ChangeMap **Map) {
  *Map = nullptr;
  ULONG segments = static_cast<ULONG>((BitCount + CHANGE_MAP_SEGMENT_BITS - 1) / CHANGE_MAP_SEGMENT_BITS);
  SIZE_T headerBytes = sizeof(ChangeMap) + segments * sizeof(RTL_BITMAP);
  ChangeMap *map = static_cast<ChangeMap *>(KsAllocate(headerBytes, KS_TAG_BITMAP_HEADER));
  if (!map) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(map, headerBytes);
  KeInitializeSpinLock(&map->Lock);
  map->BitCount = BitCount;
  map->SegmentCount = segments;
  map->Segments = reinterpret_cast<PRTL_BITMAP>(map + 1);
  // Whole ULONGs for every segment; each segment starts on a ULONG.
  SIZE_T bytes = static_cast<SIZE_T>((BitCount + 31) / 32 * sizeof(ULONG));
  if (bytes) {
    map->Bits = static_cast<PULONG>(KsAllocate(bytes, KS_TAG_BITMAP_DATA));
    if (!map->Bits) {
      KsFree(&map);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(map->Bits, bytes);
  }
  for (ULONG i = 0; i < segments; ++i) {
    RtlInitializeBitMap(&map->Segments[i], map->Bits + i * (CHANGE_MAP_SEGMENT_BITS / 32), SegmentBits(map, i));
  }
  *Map = map;
  return STATUS_SUCCESS;
}

VOID ChangeMapFree(ChangeMap **Map) {
  if (!*Map) return;
  KsFree(&(*Map)->Bits);
  KsFree(Map);
}

namespace {

// Sets or clears bits [First, First + Count), cut at the end of the map.
VOID ChangeBits(ChangeMap *Map, ULONGLONG First, ULONGLONG Count, BOOLEAN Set) {
  if (!Map || First >= Map->BitCount || Count == 0) return;
  ULONGLONG end = Count > Map->BitCount - First ? Map->BitCount : First + Count;
  KIRQL irql;
  KeAcquireSpinLock(&Map->Lock, &irql);
  for (ULONGLONG bit = First; bit < end;) {
    ULONG segment = static_cast<ULONG>(bit / CHANGE_MAP_SEGMENT_BITS);
    ULONG local = static_cast<ULONG>(bit % CHANGE_MAP_SEGMENT_BITS);
    ULONG room = SegmentBits(Map, segment) - local;
    ULONG run = end - bit < room ? static_cast<ULONG>(end - bit) : room;
    if (Set) {
      RtlSetBits(&Map->Segments[segment], local, run);
    } else {
      RtlClearBits(&Map->Segments[segment], local, run);
    }
    bit += run;
  }
  KeReleaseSpinLock(&Map->Lock, irql);
}

}  // namespace

VOID ChangeMapSet(ChangeMap *Map, ULONGLONG First, ULONGLONG Count) { ChangeBits(Map, First, Count, TRUE); }

VOID ChangeMapClear(ChangeMap *Map, ULONGLONG First, ULONGLONG Count) { ChangeBits(Map, First, Count, FALSE); }

VOID ChangeMapClearAll(ChangeMap *Map) {
  if (!Map) return;
  KIRQL irql;
  KeAcquireSpinLock(&Map->Lock, &irql);
  for (ULONG i = 0; i < Map->SegmentCount; ++i) RtlClearAllBits(&Map->Segments[i]);
  KeReleaseSpinLock(&Map->Lock, irql);
}

BOOLEAN ChangeMapTest(ChangeMap *Map, ULONGLONG Bit) {
  if (!Map || Bit >= Map->BitCount) return FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&Map->Lock, &irql);
  BOOLEAN set = RtlTestBit(&Map->Segments[Bit / CHANGE_MAP_SEGMENT_BITS],
                           static_cast<ULONG>(Bit % CHANGE_MAP_SEGMENT_BITS));
  KeReleaseSpinLock(&Map->Lock, irql);
  return set;
}

namespace {

// The search of ChangeMapFindRun, under the map's lock.
BOOLEAN FindRunLocked(ChangeMap *Map, ULONGLONG From, ULONGLONG MaxRun, PULONGLONG RunStart,
                      PULONGLONG RunLength) {
  ULONG local = static_cast<ULONG>(From % CHANGE_MAP_SEGMENT_BITS);
  for (ULONG segment = static_cast<ULONG>(From / CHANGE_MAP_SEGMENT_BITS); segment < Map->SegmentCount;
       ++segment, local = 0) {
    PRTL_BITMAP bitmap = &Map->Segments[segment];
    ULONG start = FirstSetFrom(bitmap, local);
    if (start == NOT_FOUND) continue;
    ULONG clear;
    if (RtlFindNextForwardRunClear(bitmap, start, &clear) == 0) clear = bitmap->SizeOfBitMap;
    ULONGLONG length = clear - start;
    *RunStart = segment * CHANGE_MAP_SEGMENT_BITS + start;
    *RunLength = length > MaxRun ? MaxRun : length;
    return TRUE;
  }
  return FALSE;
}

BOOLEAN FindRun(ChangeMap *Map, ULONGLONG From, ULONGLONG MaxRun, PULONGLONG RunStart, PULONGLONG RunLength,
                BOOLEAN Take) {
  if (!Map || From >= Map->BitCount || MaxRun == 0) return FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&Map->Lock, &irql);
  BOOLEAN found = FindRunLocked(Map, From, MaxRun, RunStart, RunLength);
  // A run never crosses a segment, so one segment's bits clear it.
  if (found && Take) {
    RtlClearBits(&Map->Segments[*RunStart / CHANGE_MAP_SEGMENT_BITS],
                 static_cast<ULONG>(*RunStart % CHANGE_MAP_SEGMENT_BITS), static_cast<ULONG>(*RunLength));
  }
  KeReleaseSpinLock(&Map->Lock, irql);
  return found;
}

}  // namespace

BOOLEAN ChangeMapFindRun(ChangeMap *Map, ULONGLONG From, ULONGLONG MaxRun, PULONGLONG RunStart,
                         PULONGLONG RunLength) {
  return FindRun(Map, From, MaxRun, RunStart, RunLength, FALSE);
}

BOOLEAN ChangeMapTakeRun(ChangeMap *Map, ULONGLONG From, ULONGLONG MaxRun, PULONGLONG RunStart,
                         PULONGLONG RunLength) {
  return FindRun(Map, From, MaxRun, RunStart, RunLength, TRUE);
}

ULONGLONG ChangeMapCount(ChangeMap *Map) {
  if (!Map) return 0;
  KIRQL irql;
  KeAcquireSpinLock(&Map->Lock, &irql);
  ULONGLONG set = 0;
  for (ULONG i = 0; i < Map->SegmentCount; ++i) set += RtlNumberOfSetBits(&Map->Segments[i]);
  KeReleaseSpinLock(&Map->Lock, irql);
  return set;
}
