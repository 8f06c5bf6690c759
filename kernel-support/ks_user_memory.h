// Small blocks of data placed in a user process's address space (for
// example the argument block of a user-mode APC to a 32-bit process).
#pragma once

#include "kernel-support/kernel.h"

// Allocates Length bytes in Process, copies Data there and returns the
// address as the process sees it. With LowAddress the block lies below 2 GB,
// where a 32-bit process can reach it.
NTSTATUS KsCopyToProcess(PEPROCESS Process, const VOID *Data, SIZE_T Length, BOOLEAN LowAddress,
                         PVOID *UserAddress);
// Releases a block placed by KsCopyToProcess and nulls the address.
NTSTATUS KsFreeInProcess(PEPROCESS Process, PVOID *UserAddress);
