#include "kernel-support/ks_random.h"

#include "kernel-support/ks_checksum.h"

namespace {

UCHAR gRandomState[KS_RANDOM_STATE_SIZE];
// Guards gRandomState: creations of several volumes may draw at once. A
// zeroed spin lock is an initialised one, so the helper needs no set-up call.
KSPIN_LOCK gRandomLock;

}  // namespace

ULONG KsRandomStep(UCHAR State[KS_RANDOM_STATE_SIZE], ULONGLONG SystemTime) {
  UCHAR block[8];
  for (ULONG i = 0; i < 8; ++i) {
    block[i] = static_cast<UCHAR>(SystemTime >> (8 * i)) ^ State[8 * i];
  }
  UCHAR digest[KS_SHA512_DIGEST_SIZE];
  if (NT_SUCCESS(KsSha512(block, sizeof(block), digest))) {
    RtlCopyMemory(State, digest, KS_RANDOM_STATE_SIZE);
  } else {
    // The hash cannot fail for an 8-byte input; should it ever, the time
    // still moves the state on.
    for (ULONG i = 0; i < 8; ++i) State[8 * i] = block[i];
  }
  ULONG seed = static_cast<ULONG>(State[0]) | static_cast<ULONG>(State[1]) << 8 |
               static_cast<ULONG>(State[2]) << 16 | static_cast<ULONG>(State[3]) << 24;
  ULONG value = RtlRandomEx(&seed);
  State[0] = static_cast<UCHAR>(seed);
  State[1] = static_cast<UCHAR>(seed >> 8);
  State[2] = static_cast<UCHAR>(seed >> 16);
  State[3] = static_cast<UCHAR>(seed >> 24);
  return value;
}

ULONG NewRandom32() {
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  KIRQL irql;
  KeAcquireSpinLock(&gRandomLock, &irql);
  ULONG value = KsRandomStep(gRandomState, static_cast<ULONGLONG>(now.QuadPart));
  KeReleaseSpinLock(&gRandomLock, irql);
  return value;
}

VOID NewRandomGuid(GUID *Guid) {
  if (!Guid) return;
  ULONG words[4];
  for (ULONG i = 0; i < 4; ++i) words[i] = NewRandom32();
  // Laid out as 16 little-endian bytes, the way the GUID is stored on disk.
  Guid->Data1 = words[0];
  Guid->Data2 = static_cast<USHORT>(words[1]);
  Guid->Data3 = static_cast<USHORT>(words[1] >> 16);
  for (ULONG i = 0; i < 4; ++i) {
    Guid->Data4[i] = static_cast<UCHAR>(words[2] >> (8 * i));
    Guid->Data4[4 + i] = static_cast<UCHAR>(words[3] >> (8 * i));
  }
}
