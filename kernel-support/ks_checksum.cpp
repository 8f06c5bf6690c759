#include "kernel-support/ks_checksum.h"

#include <bcrypt.h>

ULONG KsCrc32Continue(ULONG Crc, const VOID *Data, SIZE_T Length) {
  auto *p = static_cast<const UCHAR *>(Data);
  while (Length > 0) {
    ULONG chunk = Length > 0x40000000 ? 0x40000000 : static_cast<ULONG>(Length);
    Crc = RtlComputeCrc32(Crc, p, chunk);
    p += chunk;
    Length -= chunk;
  }
  return Crc;
}

ULONG KsCrc32(const VOID *Data, SIZE_T Length) { return KsCrc32Continue(0, Data, Length); }

NTSTATUS KsSha512(const VOID *Data, SIZE_T Length, UCHAR Digest[KS_SHA512_DIGEST_SIZE]) {
  if ((!Data && Length) || !Digest || Length > 0xFFFFFFFFu) return STATUS_INVALID_PARAMETER;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA512_ALGORITHM, nullptr, 0);
  if (!NT_SUCCESS(status)) return status;
  status = BCryptHash(algorithm, nullptr, 0, static_cast<PUCHAR>(const_cast<VOID *>(Data)),
                      static_cast<ULONG>(Length), Digest, KS_SHA512_DIGEST_SIZE);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return status;
}
