// The change map: a locked bitmap.
#include "engine/store/change_map.h"

#include "kernel-support/ks_alloc.h"

namespace {

constexpr ULONGLONG BITS_PER_WORD = 64;

inline PULONGLONG Words(ChangeMap *Map) { return reinterpret_cast<PULONGLONG>(Map->Bits); }
inline ULONGLONG WordCount(const ChangeMap *Map) { return (Map->BitCount + BITS_PER_WORD - 1) / BITS_PER_WORD; }

// Bits [Low, High) of one word.
inline ULONGLONG WordMask(ULONGLONG Low, ULONGLONG High) {
  ULONGLONG upper = High == BITS_PER_WORD ? ~0ull : ((1ull << High) - 1);
  return upper & ~((1ull << Low) - 1);
}

}  // namespace

NTSTATUS ChangeMapCreate(ULONGLONG BitCount, ChangeMap **Map) {
  *Map = nullptr;
  ChangeMap *map = static_cast<ChangeMap *>(KsAllocate(sizeof(ChangeMap), KS_TAG_BITMAP_HEADER));
  if (!map) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(map, sizeof(*map));
  KeInitializeSpinLock(&map->Lock);
  map->BitCount = BitCount;
  SIZE_T bytes = static_cast<SIZE_T>(WordCount(map) * sizeof(ULONGLONG));
  if (bytes) {
    map->Bits = static_cast<PUCHAR>(KsAllocate(bytes, KS_TAG_BITMAP_DATA));
    if (!map->Bits) {
      KsFree(&map);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(map->Bits, bytes);
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

VOID ChangeBits(ChangeMap *Map, ULONGLONG First, ULONGLONG Count, BOOLEAN Set) {
  if (!Map || First >= Map->BitCount || Count == 0) return;
  ULONGLONG end = Count > Map->BitCount - First ? Map->BitCount : First + Count;
  KIRQL irql;
  KeAcquireSpinLock(&Map->Lock, &irql);
  PULONGLONG words = Words(Map);
  for (ULONGLONG bit = First; bit < end;) {
    ULONGLONG word = bit / BITS_PER_WORD;
    ULONGLONG low = bit % BITS_PER_WORD;
    ULONGLONG high = end - word * BITS_PER_WORD;
    if (high > BITS_PER_WORD) high = BITS_PER_WORD;
    if (Set) {
      words[word] |= WordMask(low, high);
    } else {
      words[word] &= ~WordMask(low, high);
    }
    bit = word * BITS_PER_WORD + high;
  }
  KeReleaseSpinLock(&Map->Lock, irql);
}

}  // namespace

VOID ChangeMapSet(ChangeMap *Map, ULONGLONG First, ULONGLONG Count) { ChangeBits(Map, First, Count, TRUE); }

VOID ChangeMapClear(ChangeMap *Map, ULONGLONG First, ULONGLONG Count) { ChangeBits(Map, First, Count, FALSE); }

VOID ChangeMapClearAll(ChangeMap *Map) {
  if (!Map || !Map->Bits) return;
  KIRQL irql;
  KeAcquireSpinLock(&Map->Lock, &irql);
  RtlZeroMemory(Map->Bits, WordCount(Map) * sizeof(ULONGLONG));
  KeReleaseSpinLock(&Map->Lock, irql);
}

BOOLEAN ChangeMapTest(ChangeMap *Map, ULONGLONG Bit) {
  if (!Map || Bit >= Map->BitCount) return FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&Map->Lock, &irql);
  BOOLEAN set = (Words(Map)[Bit / BITS_PER_WORD] >> (Bit % BITS_PER_WORD)) & 1 ? TRUE : FALSE;
  KeReleaseSpinLock(&Map->Lock, irql);
  return set;
}

BOOLEAN ChangeMapFindRun(ChangeMap *Map, ULONGLONG From, ULONGLONG MaxRun, PULONGLONG RunStart,
                         PULONGLONG RunLength) {
  if (!Map || From >= Map->BitCount || MaxRun == 0) return FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&Map->Lock, &irql);
  PULONGLONG words = Words(Map);
  ULONGLONG count = WordCount(Map);
  // First set bit at or after From.
  ULONGLONG word = From / BITS_PER_WORD;
  ULONGLONG bits = words[word] & ~((1ull << (From % BITS_PER_WORD)) - 1);
  while (bits == 0 && ++word < count) bits = words[word];
  BOOLEAN found = FALSE;
  if (bits != 0) {
    ULONGLONG start = word * BITS_PER_WORD + static_cast<ULONGLONG>(__builtin_ctzll(bits));
    if (start < Map->BitCount) {
      // First clear bit after it.
      ULONGLONG clear = ~words[word] & ~((1ull << (start % BITS_PER_WORD)) - 1);
      while (clear == 0 && ++word < count) clear = ~words[word];
      ULONGLONG end = clear == 0 ? count * BITS_PER_WORD
                                 : word * BITS_PER_WORD + static_cast<ULONGLONG>(__builtin_ctzll(clear));
      if (end > Map->BitCount) end = Map->BitCount;
      *RunStart = start;
      *RunLength = end - start > MaxRun ? MaxRun : end - start;
      found = TRUE;
    }
  }
  KeReleaseSpinLock(&Map->Lock, irql);
  return found;
}

ULONGLONG ChangeMapCount(ChangeMap *Map) {
  if (!Map) return 0;
  KIRQL irql;
  KeAcquireSpinLock(&Map->Lock, &irql);
  ULONGLONG set = 0;
  for (ULONGLONG i = 0; i < WordCount(Map); ++i) set += static_cast<ULONGLONG>(__builtin_popcountll(Words(Map)[i]));
  KeReleaseSpinLock(&Map->Lock, irql);
  return set;
}
