// Kernel-mode CNG: the hash primitives driver code uses.
#pragma once

#include "nt/status.h"
#include "nt/types.h"

typedef PVOID BCRYPT_ALG_HANDLE;
#define BCRYPT_SHA512_ALGORITHM u"SHA512"
#define BCRYPT_SHA256_ALGORITHM u"SHA256"

NTKERNELAPI NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE *phAlgorithm, LPCWSTR pszAlgId,
                                                 LPCWSTR pszImplementation, ULONG dwFlags);
NTKERNELAPI NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags);
// One-shot hash of pbInput into pbOutput (cbOutput must equal the digest size).
NTKERNELAPI NTSTATUS BCryptHash(BCRYPT_ALG_HANDLE hAlgorithm, PUCHAR pbSecret, ULONG cbSecret,
                                PUCHAR pbInput, ULONG cbInput, PUCHAR pbOutput, ULONG cbOutput);
