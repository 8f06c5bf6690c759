// Cipher blocks, the XOR routine and the transforms built on it.
#include "engine/image/cipher.h"

namespace {

constexpr ULONG XOR_KEY_LENGTH = CIPHER_KEY_MATERIAL_SIZE;
constexpr ULONG NULL_KEY_LENGTH = 1;

// The text whose transform proves a key.
constexpr char KEY_CHECK_TEXT[] = "The quick brown fox jumps over the lazy dog";
constexpr ULONG KEY_CHECK_CHARS = sizeof(KEY_CHECK_TEXT) - 1;

// Clears key material so that it does not outlive its use in freed pool.
VOID Wipe(PVOID Data, SIZE_T Length) {
  volatile UCHAR *bytes = static_cast<volatile UCHAR *>(Data);
  for (SIZE_T i = 0; i < Length; ++i) bytes[i] = 0;
}

// Out[i] = In[i] XOR Key[(Phase + i) mod KeyLength]. Out may equal In.
VOID XorRun(PUCHAR Out, const UCHAR *In, SIZE_T Length, const UCHAR *Key, ULONG KeyLength, ULONG Phase) {
  if (KeyLength == XOR_KEY_LENGTH) {
    // A doubled key makes every 64-byte run one straight loop the compiler
    // can widen.
    UCHAR doubled[2 * XOR_KEY_LENGTH];
    RtlCopyMemory(doubled, Key, XOR_KEY_LENGTH);
    RtlCopyMemory(doubled + XOR_KEY_LENGTH, Key, XOR_KEY_LENGTH);
    const UCHAR *window = doubled + Phase % XOR_KEY_LENGTH;
    SIZE_T i = 0;
    for (; i + XOR_KEY_LENGTH <= Length; i += XOR_KEY_LENGTH) {
      for (ULONG j = 0; j < XOR_KEY_LENGTH; ++j) Out[i + j] = static_cast<UCHAR>(In[i + j] ^ window[j]);
    }
    for (ULONG j = 0; i < Length; ++i, ++j) Out[i] = static_cast<UCHAR>(In[i] ^ window[j]);
    return;
  }
  ULONG k = Phase % KeyLength;
  for (SIZE_T i = 0; i < Length; ++i) {
    Out[i] = static_cast<UCHAR>(In[i] ^ Key[k]);
    if (++k == KeyLength) k = 0;
  }
}

// Applies the cipher to bytes that lie at volume offset Offset: the key
// position restarts with every sector.
VOID ApplyAt(const CipherBlock *Cipher, PUCHAR Out, const UCHAR *In, SIZE_T Length, ULONGLONG Offset) {
  SIZE_T done = 0;
  while (done < Length) {
    ULONG within = static_cast<ULONG>((Offset + done) % CIPHER_SECTOR_SIZE);
    SIZE_T run = CIPHER_SECTOR_SIZE - within;
    if (run > Length - done) run = Length - done;
    XorRun(Out + done, In + done, run, Cipher->KeyMaterial, Cipher->KeyLength, within % Cipher->KeyLength);
    done += run;
  }
}

}  // namespace

PUCHAR CipherXor(const CipherBlock *Cipher, const UCHAR *Input, SIZE_T Length) {
  if (!Cipher || !Input || Length == 0) return nullptr;
  PUCHAR output = static_cast<PUCHAR>(KsAllocate(Length, CIPHER_BUFFER_TAG));
  if (!output) return nullptr;
  XorRun(output, Input, Length, Cipher->KeyMaterial, Cipher->KeyLength, 0);
  return output;
}

NTSTATUS CipherCreate(ULONG AlgorithmId, const VOID *Key, ULONG KeyLength, CipherBlock **Cipher,
                      PULONG Reason) {
  *Cipher = nullptr;
  *Reason = CIPHER_REASON_UNSUPPORTED;
  if (AlgorithmId != CIPHER_ALGORITHM_NULL && AlgorithmId != CIPHER_ALGORITHM_XOR) {
    return STATUS_INVALID_PARAMETER;
  }
  if (!Key && KeyLength != 0) return STATUS_INVALID_PARAMETER;
  CipherBlock *cipher = static_cast<CipherBlock *>(KsAllocate(sizeof(CipherBlock), CIPHER_BLOCK_TAG));
  if (!cipher) {
    *Reason = CIPHER_REASON_NO_MEMORY;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(cipher, sizeof(*cipher));
  cipher->AlgorithmId = AlgorithmId;
  cipher->BlockSize = 1;
  cipher->KeyLength = AlgorithmId == CIPHER_ALGORITHM_XOR ? XOR_KEY_LENGTH : NULL_KEY_LENGTH;
  cipher->Routine = AlgorithmId == CIPHER_ALGORITHM_XOR ? CipherXor : nullptr;
  // Both algorithms derive the material; only XOR uses it.
  UCHAR once[KS_SHA512_DIGEST_SIZE];
  NTSTATUS status = KsSha512(Key, KeyLength, once);
  if (NT_SUCCESS(status)) status = KsSha512(once, sizeof(once), cipher->KeyMaterial);
  Wipe(once, sizeof(once));
  if (!NT_SUCCESS(status)) {
    CipherRelease(&cipher);
    *Reason = status == STATUS_INSUFFICIENT_RESOURCES ? CIPHER_REASON_NO_MEMORY : CIPHER_REASON_UNSUPPORTED;
    return status;
  }
  *Reason = CIPHER_REASON_SUCCESS;
  *Cipher = cipher;
  return STATUS_SUCCESS;
}

VOID CipherRelease(CipherBlock **Cipher) {
  CipherBlock *cipher = *Cipher;
  if (!cipher) return;
  KsFree(&cipher->Scratch);
  Wipe(cipher, sizeof(*cipher));
  KsFree(Cipher);
}

NTSTATUS CipherTransform(const CipherBlock *Cipher, const VOID *Data, SIZE_T Length, BOOLEAN RoundUp,
                         PUCHAR *Output) {
  *Output = nullptr;
  if (!Cipher) return STATUS_INVALID_PARAMETER;
  if (CipherIsIdentity(Cipher) || Length == 0) return STATUS_SUCCESS;
  if (!Data || Cipher->BlockSize == 0) return STATUS_INVALID_PARAMETER;
  SIZE_T blockSize = Cipher->BlockSize;
  SIZE_T outLength = Length;
  if (Length % blockSize != 0) {
    if (!RoundUp) return STATUS_INVALID_PARAMETER;
    outLength = (Length / blockSize + 1) * blockSize;
  }
  PUCHAR output = static_cast<PUCHAR>(KsAllocate(outLength, CIPHER_BUFFER_TAG));
  if (!output) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(output + Length, outLength - Length);
  RtlCopyMemory(output, Data, Length);
  // Every chunk starts the key again.
  SIZE_T chunk = Length % CIPHER_SECTOR_SIZE == 0 ? CIPHER_SECTOR_SIZE : blockSize;
  for (SIZE_T at = 0; at < outLength; at += chunk) {
    SIZE_T run = chunk < outLength - at ? chunk : outLength - at;
    XorRun(output + at, output + at, run, Cipher->KeyMaterial, Cipher->KeyLength, 0);
  }
  *Output = output;
  return STATUS_SUCCESS;
}

NTSTATUS CipherEncodeAt(const CipherBlock *Cipher, const VOID *Data, SIZE_T Length, ULONGLONG Offset,
                        PUCHAR *Output) {
  *Output = nullptr;
  if (CipherIsIdentity(Cipher) || Length == 0) return STATUS_SUCCESS;
  if (!Data) return STATUS_INVALID_PARAMETER;
  PUCHAR output = static_cast<PUCHAR>(KsAllocate(Length, CIPHER_BUFFER_TAG));
  if (!output) return STATUS_INSUFFICIENT_RESOURCES;
  ApplyAt(Cipher, output, static_cast<const UCHAR *>(Data), Length, Offset);
  *Output = output;
  return STATUS_SUCCESS;
}

VOID CipherDecodeAt(const CipherBlock *Cipher, PVOID Data, SIZE_T Length, ULONGLONG Offset) {
  if (CipherIsIdentity(Cipher) || Length == 0 || !Data) return;
  ApplyAt(Cipher, static_cast<PUCHAR>(Data), static_cast<PUCHAR>(Data), Length, Offset);
}

NTSTATUS CipherKeyCheck(const CipherBlock *Cipher, UCHAR KeyCheck[KS_SHA512_DIGEST_SIZE]) {
  if (!Cipher) return STATUS_INVALID_PARAMETER;
  UCHAR text[KEY_CHECK_CHARS * 2];
  for (ULONG i = 0; i < KEY_CHECK_CHARS; ++i) {
    text[2 * i] = static_cast<UCHAR>(KEY_CHECK_TEXT[i]);
    text[2 * i + 1] = 0;
  }
  PUCHAR transformed = nullptr;
  NTSTATUS status = CipherTransform(Cipher, text, sizeof(text), TRUE, &transformed);
  if (!NT_SUCCESS(status)) return status;
  // The block size is 1 for both algorithms, so the digest covers the 86
  // bytes of the text.
  status = KsSha512(transformed ? transformed : text, sizeof(text), KeyCheck);
  KsFree(&transformed);
  return status;
}
