// Kernel-mode CNG hashing backed by libcrypto.
#include "nt/bcrypt.h"

#include <dlfcn.h>
#include <openssl/evp.h>

#include <cstring>
#include <mutex>

namespace {

// libcrypto is loaded on the first hash: most runs of the tools never hash,
// and loading it costs more than a small format takes.
struct Crypto {
  decltype(&EVP_Digest) digest = nullptr;
  decltype(&EVP_sha512) sha512 = nullptr;
  decltype(&EVP_sha256) sha256 = nullptr;
};

const Crypto *LoadCrypto() {
  static Crypto crypto;
  static std::once_flag once;
  std::call_once(once, [] {
    void *library = dlopen("libcrypto.so.3", RTLD_NOW | RTLD_LOCAL);
    if (!library) return;
    crypto.digest = reinterpret_cast<decltype(&EVP_Digest)>(dlsym(library, "EVP_Digest"));
    crypto.sha512 = reinterpret_cast<decltype(&EVP_sha512)>(dlsym(library, "EVP_sha512"));
    crypto.sha256 = reinterpret_cast<decltype(&EVP_sha256)>(dlsym(library, "EVP_sha256"));
  });
  return crypto.digest && crypto.sha512 && crypto.sha256 ? &crypto : nullptr;
}

enum class Algorithm { Sha512, Sha256 };
struct Provider {
  Algorithm algorithm;
  ULONG digestSize;
};
Provider gSha512{Algorithm::Sha512, 64};
Provider gSha256{Algorithm::Sha256, 32};

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
  const Crypto *crypto = LoadCrypto();
  if (!crypto) return STATUS_NOT_SUPPORTED;
  const EVP_MD *md = provider->algorithm == Algorithm::Sha512 ? crypto->sha512() : crypto->sha256();
  unsigned int written = 0;
  if (crypto->digest(pbInput, cbInput, pbOutput, &written, md, nullptr) != 1)
    return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}
