// CRC-32 and SHA-512 as the drivers compute them.
#pragma once

#include "kernel-support/kernel.h"

constexpr ULONG KS_SHA512_DIGEST_SIZE = 64;

// IEEE 802.3 CRC-32 (reflected 0xEDB88320, start 0xFFFFFFFF, result inverted).
ULONG KsCrc32(const VOID *Data, SIZE_T Length);
// Continues a CRC-32: pass the previous result (0 to start).
ULONG KsCrc32Continue(ULONG Crc, const VOID *Data, SIZE_T Length);
// FIPS 180-4 SHA-512 of Data into Digest (64 bytes).
NTSTATUS KsSha512(const VOID *Data, SIZE_T Length, UCHAR Digest[KS_SHA512_DIGEST_SIZE]);
