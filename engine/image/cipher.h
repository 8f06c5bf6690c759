// The transform of an image's stored bytes: algorithm 1 ("null") stores the
// volume's bytes as they are, algorithm 2 ("xor") XORs them with 64 bytes of
// key material derived from the password.
#pragma once

#include "kernel-support/kernel.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_checksum.h"

constexpr ULONG CIPHER_BLOCK_TAG = KsTag("VVcb");
constexpr ULONG CIPHER_BUFFER_TAG = KsTag("VVen");

constexpr ULONG CIPHER_ALGORITHM_NONE = 0;
constexpr ULONG CIPHER_ALGORITHM_NULL = 1;
constexpr ULONG CIPHER_ALGORITHM_XOR = 2;
constexpr ULONG CIPHER_KEY_MATERIAL_SIZE = KS_SHA512_DIGEST_SIZE;
// The unit in which volumes are read and written: the XOR key position
// starts again with every sector.
constexpr ULONG CIPHER_SECTOR_SIZE = 512;

// Why a cipher could not be created.
constexpr ULONG CIPHER_REASON_SUCCESS = 0;
constexpr ULONG CIPHER_REASON_UNSUPPORTED = 1;
constexpr ULONG CIPHER_REASON_NO_MEMORY = 2;

// Returns a new buffer of Length bytes holding Input transformed, or null
// when the pool is short.
typedef PUCHAR CIPHER_ROUTINE(const struct CipherBlock *Cipher, const UCHAR *Input, SIZE_T Length);

struct CipherBlock {
  ULONG AlgorithmId;
  ULONG KeyLength;
  ULONG BlockSize;
  UCHAR KeyMaterial[CIPHER_KEY_MATERIAL_SIZE];
  PVOID Scratch;
  CIPHER_ROUTINE *Routine;  // null for algorithm 1
};

// Key is the password's UTF-16 bytes (no terminator, may be unaligned);
// *Reason tells why creation failed. STATUS_INVALID_PARAMETER for an
// unknown algorithm, STATUS_INSUFFICIENT_RESOURCES without pool.
NTSTATUS CipherCreate(ULONG AlgorithmId, const VOID *Key, ULONG KeyLength, CipherBlock **Cipher,
                      PULONG Reason);
VOID CipherRelease(CipherBlock **Cipher);

inline BOOLEAN CipherIsIdentity(const CipherBlock *Cipher) {
  return !Cipher || Cipher->AlgorithmId == CIPHER_ALGORITHM_NULL || !Cipher->Routine;
}

// The XOR routine: out[i] = key[i mod key length] XOR in[i], the key
// position starting at 0 on every call.
PUCHAR CipherXor(const CipherBlock *Cipher, const UCHAR *Input, SIZE_T Length);

// Transforms Length bytes into a new buffer (CIPHER_BUFFER_TAG) freed with
// KsFree: *Output stays null for algorithm 1 and for Length 0 (the caller
// uses its data as it is). Chunks of 512 bytes when Length is a multiple of
// 512, else of the cipher block size, each transformed on its own. With
// RoundUp the output is Length rounded up to the block size (the surplus
// transformed as zeros); without, such a length is STATUS_INVALID_PARAMETER.
NTSTATUS CipherTransform(const CipherBlock *Cipher, const VOID *Data, SIZE_T Length, BOOLEAN RoundUp,
                         PUCHAR *Output);

// The stored form of volume bytes that lie at volume offset Offset, into a
// new buffer as CipherTransform gives it. Whole sectors come out exactly as
// CipherTransform makes them; a part of a sector keeps its bytes' positions
// within the sector.
NTSTATUS CipherEncodeAt(const CipherBlock *Cipher, const VOID *Data, SIZE_T Length, ULONGLONG Offset,
                        PUCHAR *Output);
// Turns stored bytes at volume offset Offset back into volume bytes in place
// (XOR is its own inverse). Nothing to do for algorithm 1.
VOID CipherDecodeAt(const CipherBlock *Cipher, PVOID Data, SIZE_T Length, ULONGLONG Offset);

// SHA-512 of the UTF-16LE text "The quick brown fox jumps over the lazy
// dog" as the cipher transforms it (rounded up to its block size).
NTSTATUS CipherKeyCheck(const CipherBlock *Cipher, UCHAR KeyCheck[KS_SHA512_DIGEST_SIZE]);
