// Building and checking the 132-byte image header.
#include "engine/image/image_header.h"

#include "engine/image/cipher.h"

NTSTATUS ImageBuildHeader(ImageHeader *Header, ULONGLONG DataSize, const CipherBlock *Cipher) {
  if (!Header || !Cipher) return STATUS_INVALID_PARAMETER;
  if (DataSize > ~0ull - (IMAGE_HEADER_BLOCK_SIZE - 1)) return STATUS_INVALID_PARAMETER;
  RtlZeroMemory(Header, sizeof(*Header));
  UCHAR keyCheck[IMAGE_KEY_CHECK_SIZE];
  NTSTATUS status = CipherKeyCheck(Cipher, keyCheck);
  if (!NT_SUCCESS(status)) return status;
  Header->Signature = IMAGE_SIGNATURE;
  Header->Version = IMAGE_VERSION;
  Header->AlgorithmId = Cipher->AlgorithmId;
  Header->KeyLength = Cipher->KeyLength;
  Header->CipherBlockSize = Cipher->BlockSize;
  RtlCopyMemory(Header->KeyCheck, keyCheck, sizeof(keyCheck));
  Header->HeaderBlockSize = IMAGE_HEADER_BLOCK_SIZE;
  Header->DataSize = (DataSize + IMAGE_HEADER_BLOCK_SIZE - 1) / IMAGE_HEADER_BLOCK_SIZE * IMAGE_HEADER_BLOCK_SIZE;
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  Header->CreationTime = static_cast<ULONGLONG>(now.QuadPart);
  Header->Properties = 0;
  return STATUS_SUCCESS;
}

NTSTATUS ImageAllocateHeader(ImageHeader **Header, ULONGLONG DataSize, const CipherBlock *Cipher) {
  *Header = nullptr;
  ImageHeader *header = static_cast<ImageHeader *>(KsAllocate(sizeof(ImageHeader), IMAGE_HEADER_TAG));
  if (!header) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = ImageBuildHeader(header, DataSize, Cipher);
  if (!NT_SUCCESS(status)) {
    KsFree(&header);
    return status;
  }
  *Header = header;
  return STATUS_SUCCESS;
}

ULONG ImageCheckHeader(const ImageHeader *Header) {
  if (Header->Signature != IMAGE_SIGNATURE) return IMAGE_OUTCOME_BAD_SIGNATURE;
  if (Header->Version != IMAGE_VERSION) return IMAGE_OUTCOME_BAD_VERSION;
  if (Header->AlgorithmId != CIPHER_ALGORITHM_NULL && Header->AlgorithmId != CIPHER_ALGORITHM_XOR) {
    return IMAGE_OUTCOME_UNKNOWN_ALGORITHM;
  }
  return IMAGE_OUTCOME_SUCCESS;
}
