// The $UpCase table: the upper-case form of every UTF-16 code unit.
#pragma once

#include "kernel-support/kernel.h"

constexpr ULONG NTFS_UPCASE_ENTRIES = 65536;

// Fills Table (65536 entries) with the upper-case mapping.
VOID NtfsBuildUpcaseTable(USHORT *Table);
