// Run-time library: memory comparison, checksums, random numbers.
#include "nt/rtl.h"

#include <zlib.h>

SIZE_T RtlCompareMemory(const VOID *Source1, const VOID *Source2, SIZE_T Length) {
  auto *a = static_cast<const UCHAR *>(Source1);
  auto *b = static_cast<const UCHAR *>(Source2);
  SIZE_T i = 0;
  while (i < Length && a[i] == b[i]) ++i;
  return i;
}

// IEEE 802.3 CRC-32 continuing from PartialCrc, as the kernel's export does.
ULONG RtlComputeCrc32(ULONG PartialCrc, const VOID *Buffer, ULONG Length) {
  return static_cast<ULONG>(crc32(PartialCrc, static_cast<const Bytef *>(Buffer), Length));
}

// The kernel's linear congruential generator (Park-Miller style), seed in/out.
ULONG RtlRandomEx(PULONG Seed) {
  uint64_t next = (static_cast<uint64_t>(*Seed) * 16807u) % 0x7FFFFFFFu;
  *Seed = static_cast<ULONG>(next);
  return static_cast<ULONG>(next);
}
