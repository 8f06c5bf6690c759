// Generic hash table from 64-bit keys to pointers. It has no lock of its
// own: the caller holds its lock around every call, walks included.
#pragma once

#include "kernel-support/kernel.h"

typedef ULONG KS_HASH_ROUTINE(ULONG64 Key);

struct KS_HASH_ENTRY {
  KS_HASH_ENTRY *Next;
  ULONG64 Key;
  PVOID Value;
};

struct KS_HASH_TABLE {
  ULONG BucketCount;
  ULONG Count;
  KS_HASH_ROUTINE *Hash;
  KS_HASH_ENTRY **Buckets;
};

// What a walk's visitor answers; KS_VISIT_REMOVE may be combined with either.
constexpr ULONG KS_VISIT_CONTINUE = 0;
constexpr ULONG KS_VISIT_STOP = 1;
constexpr ULONG KS_VISIT_REMOVE = 2;  // take this entry out of the table

typedef ULONG KS_HASH_VISITOR(PVOID Context, ULONG64 Key, PVOID Value);

// CRC-32 of the key's 8 bytes in little-endian order.
ULONG KsHashCrc32(ULONG64 Key);
// A multiplicative hash for pointer keys.
ULONG KsHashPointer(ULONG64 Key);

NTSTATUS KsHashTableCreate(ULONG BucketCount, KS_HASH_ROUTINE *Hash, KS_HASH_TABLE **Table);
// Frees the table; each remaining entry is first shown to Visitor (may be null).
VOID KsHashTableDestroy(KS_HASH_TABLE **Table, KS_HASH_VISITOR *Visitor, PVOID Context);
// STATUS_OBJECT_NAME_COLLISION when the key is already present.
NTSTATUS KsHashTableInsert(KS_HASH_TABLE *Table, ULONG64 Key, PVOID Value);
BOOLEAN KsHashTableLookup(KS_HASH_TABLE *Table, ULONG64 Key, PVOID *Value);
BOOLEAN KsHashTableRemove(KS_HASH_TABLE *Table, ULONG64 Key, PVOID *Value);
ULONG KsHashTableCount(const KS_HASH_TABLE *Table);
// Visits every entry; the visitor may remove the entry it is shown.
VOID KsHashTableWalk(KS_HASH_TABLE *Table, KS_HASH_VISITOR *Visitor, PVOID Context);
