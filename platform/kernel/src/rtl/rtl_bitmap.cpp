// Run-time library: bitmaps and bit scans.
#include "nt/rtl.h"

namespace {

constexpr ULONG kNotFound = 0xFFFFFFFF;

inline BOOLEAN BitAt(const RTL_BITMAP *Map, ULONG Index) { return (Map->Buffer[Index / 32] >> (Index % 32)) & 1; }

// The first index at or after From, below Limit, whose bit equals Value;
// Limit when there is none. Whole ULONGs are skipped at once.
ULONG ScanFor(const RTL_BITMAP *Map, ULONG From, ULONG Limit, BOOLEAN Value) {
  ULONG index = From;
  while (index < Limit) {
    ULONG word = Map->Buffer[index / 32];
    if (!Value) word = ~word;
    word &= ~0u << (index % 32);
    if (word) {
      ULONG found = (index & ~31u) + static_cast<ULONG>(__builtin_ctz(word));
      return found < Limit ? found : Limit;
    }
    index = (index & ~31u) + 32;
  }
  return Limit;
}

VOID FillBits(PRTL_BITMAP Map, ULONG Start, ULONG Count, BOOLEAN Value) {
  if (Count == 0 || Start >= Map->SizeOfBitMap || Count > Map->SizeOfBitMap - Start) return;
  for (ULONG index = Start, end = Start + Count; index < end;) {
    ULONG bit = index % 32;
    ULONG run = 32 - bit < end - index ? 32 - bit : end - index;
    ULONG mask = (run == 32 ? ~0u : ((1u << run) - 1)) << bit;
    if (Value) {
      Map->Buffer[index / 32] |= mask;
    } else {
      Map->Buffer[index / 32] &= ~mask;
    }
    index += run;
  }
}

// A run of Count bits equal to Value within [From, Limit).
ULONG FindRun(const RTL_BITMAP *Map, ULONG Count, ULONG From, ULONG Limit, BOOLEAN Value) {
  ULONG index = From;
  while (index < Limit && Limit - index >= Count) {
    ULONG start = ScanFor(Map, index, Limit, Value);
    if (start >= Limit || Limit - start < Count) return kNotFound;
    ULONG end = ScanFor(Map, start, start + Count, !Value);
    if (end == start + Count) return start;
    index = end;
  }
  return kNotFound;
}

ULONG FindWrapping(PRTL_BITMAP Map, ULONG Count, ULONG Hint, BOOLEAN Value) {
  ULONG size = Map->SizeOfBitMap;
  if (Count > size) return kNotFound;
  if (Count == 0) return Hint < size ? Hint : 0;
  if (Hint >= size) Hint = 0;
  ULONG found = FindRun(Map, Count, Hint, size, Value);
  if (found != kNotFound || Hint == 0) return found;
  // Wrapping: a run may start before the hint and reach past it.
  ULONG limit = Hint + Count - 1 < size ? Hint + Count - 1 : size;
  return FindRun(Map, Count, 0, limit, Value);
}

}  // namespace

extern "C" {

VOID RtlInitializeBitMap(PRTL_BITMAP BitMapHeader, PULONG BitMapBuffer, ULONG SizeOfBitMap) {
  BitMapHeader->SizeOfBitMap = SizeOfBitMap;
  BitMapHeader->Buffer = BitMapBuffer;
}

VOID RtlClearAllBits(PRTL_BITMAP BitMapHeader) {
  ULONG words = (BitMapHeader->SizeOfBitMap + 31) / 32;
  for (ULONG i = 0; i < words; ++i) BitMapHeader->Buffer[i] = 0;
}

VOID RtlSetAllBits(PRTL_BITMAP BitMapHeader) {
  ULONG words = (BitMapHeader->SizeOfBitMap + 31) / 32;
  for (ULONG i = 0; i < words; ++i) BitMapHeader->Buffer[i] = ~0u;
}

VOID RtlSetBits(PRTL_BITMAP BitMapHeader, ULONG StartingIndex, ULONG NumberToSet) {
  FillBits(BitMapHeader, StartingIndex, NumberToSet, TRUE);
}

VOID RtlClearBits(PRTL_BITMAP BitMapHeader, ULONG StartingIndex, ULONG NumberToClear) {
  FillBits(BitMapHeader, StartingIndex, NumberToClear, FALSE);
}

BOOLEAN RtlTestBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber) {
  return BitNumber < BitMapHeader->SizeOfBitMap && BitAt(BitMapHeader, BitNumber);
}

BOOLEAN RtlAreBitsSet(PRTL_BITMAP BitMapHeader, ULONG StartingIndex, ULONG Length) {
  if (Length == 0 || StartingIndex >= BitMapHeader->SizeOfBitMap ||
      Length > BitMapHeader->SizeOfBitMap - StartingIndex) {
    return FALSE;
  }
  return ScanFor(BitMapHeader, StartingIndex, StartingIndex + Length, FALSE) == StartingIndex + Length;
}

BOOLEAN RtlAreBitsClear(PRTL_BITMAP BitMapHeader, ULONG StartingIndex, ULONG Length) {
  if (Length == 0 || StartingIndex >= BitMapHeader->SizeOfBitMap ||
      Length > BitMapHeader->SizeOfBitMap - StartingIndex) {
    return FALSE;
  }
  return ScanFor(BitMapHeader, StartingIndex, StartingIndex + Length, TRUE) == StartingIndex + Length;
}

ULONG RtlFindSetBits(PRTL_BITMAP BitMapHeader, ULONG NumberToFind, ULONG HintIndex) {
  return FindWrapping(BitMapHeader, NumberToFind, HintIndex, TRUE);
}

ULONG RtlFindClearBits(PRTL_BITMAP BitMapHeader, ULONG NumberToFind, ULONG HintIndex) {
  return FindWrapping(BitMapHeader, NumberToFind, HintIndex, FALSE);
}

ULONG RtlFindNextForwardRunClear(PRTL_BITMAP BitMapHeader, ULONG FromIndex, PULONG StartingRunIndex) {
  ULONG size = BitMapHeader->SizeOfBitMap;
  ULONG start = FromIndex < size ? ScanFor(BitMapHeader, FromIndex, size, FALSE) : size;
  *StartingRunIndex = start;
  if (start >= size) return 0;
  return ScanFor(BitMapHeader, start, size, TRUE) - start;
}

ULONG RtlNumberOfSetBits(PRTL_BITMAP BitMapHeader) {
  ULONG size = BitMapHeader->SizeOfBitMap;
  ULONG count = 0;
  for (ULONG i = 0; i < size / 32; ++i) count += static_cast<ULONG>(__builtin_popcount(BitMapHeader->Buffer[i]));
  if (size % 32) count += static_cast<ULONG>(__builtin_popcount(BitMapHeader->Buffer[size / 32] & ((1u << (size % 32)) - 1)));
  return count;
}

ULONG RtlNumberOfClearBits(PRTL_BITMAP BitMapHeader) {
  return BitMapHeader->SizeOfBitMap - RtlNumberOfSetBits(BitMapHeader);
}

CCHAR RtlFindLeastSignificantBit(ULONGLONG Set) { return Set ? static_cast<CCHAR>(__builtin_ctzll(Set)) : -1; }

CCHAR RtlFindMostSignificantBit(ULONGLONG Set) { return Set ? static_cast<CCHAR>(63 - __builtin_clzll(Set)) : -1; }

UCHAR RtlNumberOfSetBitsUlongPtr(ULONG_PTR Target) { return static_cast<UCHAR>(__builtin_popcountll(Target)); }

}  // extern "C"
