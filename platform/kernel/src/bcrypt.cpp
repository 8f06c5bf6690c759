// Kernel-mode CNG hashing backed by libcrypto.
#include "nt/bcrypt.h"

#include <openssl/evp.h>

#include <cstring>

namespace {

struct Provider {
  const EVP_MD *(*md)();
  ULONG digestSize;
};
Provider gSha512{EVP_sha512, 64};
Provider gSha256{EVP_sha256, 32};

bool SameName(LPCWSTR a, LPCWSTR b) {
  while (*a && *b && *a == *b) ++a, ++b;
  return *a == *b;
}

}  // namespace

NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE *phAlgorithm, LPCWSTR pszAlgId, LPCWSTR,
                                     ULONG) {
  if (!phAlgorithm || !pszAlgId) return STATUS_INVALID_PARAMETER;
  if (SameName(pszAlgId, BCRYPT_SHA512_ALGORITHM))
    *phAlgorithm = &gSha512;
  else if (SameName(pszAlgId, BCRYPT_SHA256_ALGORITHM))
    *phAlgorithm = &gSha256;
  else
    return STATUS_NOT_FOUND;
  return STATUS_SUCCESS;
}

NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG) {
  return hAlgorithm ? STATUS_SUCCESS : STATUS_INVALID_HANDLE;
}

NTSTATUS BCryptHash(BCRYPT_ALG_HANDLE hAlgorithm, PUCHAR pbSecret, ULONG cbSecret, PUCHAR pbInput,
                    ULONG cbInput, PUCHAR pbOutput, ULONG cbOutput) {
  auto *provider = static_cast<Provider *>(hAlgorithm);
  if (!provider) return STATUS_INVALID_HANDLE;
  if (pbSecret || cbSecret) return STATUS_NOT_SUPPORTED;  // no HMAC use in this system
  if (!pbOutput || cbOutput != provider->digestSize || (!pbInput && cbInput))
    return STATUS_INVALID_PARAMETER;
  unsigned int written = 0;
  if (EVP_Digest(pbInput, cbInput, pbOutput, &written, provider->md(), nullptr) != 1)
    return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}
