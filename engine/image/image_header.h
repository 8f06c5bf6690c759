// The image file: a 4096-byte header block (copy 1), the volume's bytes as
// the cipher stores them, and a second header block (copy 2) at the end. A
// file written by a periodic flush may lack copy 2.
#pragma once

#include "kernel-support/kernel.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_checksum.h"

struct CipherBlock;

constexpr ULONG IMAGE_HEADER_TAG = KsTag("Vhdr");

constexpr ULONG IMAGE_SIGNATURE = 0x1D475F3E;
constexpr ULONG IMAGE_VERSION = 1;
constexpr ULONG IMAGE_HEADER_BLOCK_SIZE = 4096;
constexpr ULONG IMAGE_HEADER_SIZE = 132;
constexpr ULONG IMAGE_KEY_CHECK_SIZE = KS_SHA512_DIGEST_SIZE;

// The two header copies a file may carry.
constexpr ULONG IMAGE_COPY_FIRST = 1;
constexpr ULONG IMAGE_COPY_SECOND = 2;

#pragma pack(push, 1)
struct ImageHeader {
  ULONG Signature;
  ULONG Version;
  ULONG AlgorithmId;
  ULONG KeyLength;
  ULONG CipherBlockSize;
  UCHAR KeyCheck[IMAGE_KEY_CHECK_SIZE];
  ULONG HeaderBlockSize;
  ULONGLONG DataSize;
  ULONGLONG CreationTime;
  UCHAR Reserved[24];
  ULONG Properties;
};
#pragma pack(pop)
static_assert(sizeof(ImageHeader) == IMAGE_HEADER_SIZE);
static_assert(FIELD_OFFSET(ImageHeader, KeyCheck) == 20);
static_assert(FIELD_OFFSET(ImageHeader, HeaderBlockSize) == 84);
static_assert(FIELD_OFFSET(ImageHeader, DataSize) == 88);
static_assert(FIELD_OFFSET(ImageHeader, CreationTime) == 96);
static_assert(FIELD_OFFSET(ImageHeader, Properties) == 128);

// Image status codes (the outcome of opening or creating an image).
constexpr ULONG IMAGE_OUTCOME_SUCCESS = 0;
constexpr ULONG IMAGE_OUTCOME_BAD_SIGNATURE = 1;
constexpr ULONG IMAGE_OUTCOME_BAD_BLOCK_SIZE = 2;
constexpr ULONG IMAGE_OUTCOME_BAD_HEADER = 3;
constexpr ULONG IMAGE_OUTCOME_BAD_VERSION = 4;
constexpr ULONG IMAGE_OUTCOME_BAD_KEY = 5;
constexpr ULONG IMAGE_OUTCOME_UNKNOWN_ALGORITHM = 6;
constexpr ULONG IMAGE_OUTCOME_OPEN_FAILED = 7;
constexpr ULONG IMAGE_OUTCOME_NOT_FORMATTED = 8;
constexpr ULONG IMAGE_OUTCOME_UNKNOWN = 10;

// Statuses of the image checks that the kernel headers do not name.
constexpr NTSTATUS IMAGE_STATUS_CIPHER_MISMATCH = static_cast<NTSTATUS>(0xC00002F2);

// Fills Header for a new image of DataSize bytes (rounded up to a whole
// header block) transformed by Cipher. Properties start at 0.
NTSTATUS ImageBuildHeader(ImageHeader *Header, ULONGLONG DataSize, const CipherBlock *Cipher);
// The same in a new pool copy ("Vhdr"), freed with KsFree.
NTSTATUS ImageAllocateHeader(ImageHeader **Header, ULONGLONG DataSize, const CipherBlock *Cipher);

// Signature, then version, then algorithm: IMAGE_OUTCOME_SUCCESS or the
// outcome of the first check that fails.
ULONG ImageCheckHeader(const ImageHeader *Header);
