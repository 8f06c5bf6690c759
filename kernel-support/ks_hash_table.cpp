#include "kernel-support/ks_hash_table.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_checksum.h"

namespace {

KS_HASH_ENTRY **BucketOf(KS_HASH_TABLE *Table, ULONG64 Key) {
  return &Table->Buckets[Table->Hash(Key) % Table->BucketCount];
}

// The link that points at the entry with Key, or null.
KS_HASH_ENTRY **Find(KS_HASH_TABLE *Table, ULONG64 Key) {
  for (KS_HASH_ENTRY **link = BucketOf(Table, Key); *link; link = &(*link)->Next)
    if ((*link)->Key == Key) return link;
  return nullptr;
}

}  // namespace

ULONG KsHashCrc32(ULONG64 Key) {
  UCHAR bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<UCHAR>(Key >> (8 * i));
  return KsCrc32(bytes, sizeof(bytes));
}

ULONG KsHashPointer(ULONG64 Key) {
  Key ^= Key >> 33;
  Key *= 0xFF51AFD7ED558CCDull;
  Key ^= Key >> 33;
  return static_cast<ULONG>(Key);
}

NTSTATUS KsHashTableCreate(ULONG BucketCount, KS_HASH_ROUTINE *Hash, KS_HASH_TABLE **Table) {
  if (!Table || !Hash || BucketCount == 0 || BucketCount > 0x100000) return STATUS_INVALID_PARAMETER;
  *Table = nullptr;
  auto *table = static_cast<KS_HASH_TABLE *>(KsAllocate(sizeof(KS_HASH_TABLE), KS_TAG_TABLE_HEADER));
  if (!table) return STATUS_INSUFFICIENT_RESOURCES;
  table->Buckets = static_cast<KS_HASH_ENTRY **>(
      KsAllocate(BucketCount * sizeof(KS_HASH_ENTRY *), KS_TAG_TABLE_ARRAY));
  if (!table->Buckets) {
    KsFree(&table);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(table->Buckets, BucketCount * sizeof(KS_HASH_ENTRY *));
  table->BucketCount = BucketCount;
  table->Count = 0;
  table->Hash = Hash;
  *Table = table;
  return STATUS_SUCCESS;
}

VOID KsHashTableDestroy(KS_HASH_TABLE **Table, KS_HASH_VISITOR *Visitor, PVOID Context) {
  if (!Table || !*Table) return;
  KS_HASH_TABLE *table = *Table;
  for (ULONG i = 0; i < table->BucketCount; ++i) {
    while (KS_HASH_ENTRY *entry = table->Buckets[i]) {
      table->Buckets[i] = entry->Next;
      if (Visitor) Visitor(Context, entry->Key, entry->Value);
      KsFree(&entry);
    }
  }
  KsFree(&table->Buckets);
  KsFree(Table);
}

NTSTATUS KsHashTableInsert(KS_HASH_TABLE *Table, ULONG64 Key, PVOID Value) {
  if (!Table) return STATUS_INVALID_PARAMETER;
  if (Find(Table, Key)) return STATUS_OBJECT_NAME_COLLISION;
  auto *entry = static_cast<KS_HASH_ENTRY *>(KsAllocate(sizeof(KS_HASH_ENTRY), KS_TAG_TABLE_ENTRY));
  if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
  KS_HASH_ENTRY **bucket = BucketOf(Table, Key);
  entry->Key = Key;
  entry->Value = Value;
  entry->Next = *bucket;
  *bucket = entry;
  ++Table->Count;
  return STATUS_SUCCESS;
}

BOOLEAN KsHashTableLookup(KS_HASH_TABLE *Table, ULONG64 Key, PVOID *Value) {
  if (!Table) return FALSE;
  KS_HASH_ENTRY **link = Find(Table, Key);
  if (!link) return FALSE;
  if (Value) *Value = (*link)->Value;
  return TRUE;
}

BOOLEAN KsHashTableRemove(KS_HASH_TABLE *Table, ULONG64 Key, PVOID *Value) {
  if (!Table) return FALSE;
  KS_HASH_ENTRY **link = Find(Table, Key);
  if (!link) return FALSE;
  KS_HASH_ENTRY *entry = *link;
  *link = entry->Next;
  if (Value) *Value = entry->Value;
  KsFree(&entry);
  --Table->Count;
  return TRUE;
}

ULONG KsHashTableCount(const KS_HASH_TABLE *Table) { return Table ? Table->Count : 0; }

VOID KsHashTableWalk(KS_HASH_TABLE *Table, KS_HASH_VISITOR *Visitor, PVOID Context) {
  if (!Table || !Visitor) return;
  for (ULONG i = 0; i < Table->BucketCount; ++i) {
    KS_HASH_ENTRY **link = &Table->Buckets[i];
    while (*link) {
      KS_HASH_ENTRY *entry = *link;
      ULONG answer = Visitor(Context, entry->Key, entry->Value);
      if (answer & KS_VISIT_REMOVE) {
        *link = entry->Next;
        KsFree(&entry);
        --Table->Count;
      } else {
        link = &entry->Next;
      }
      if (answer & KS_VISIT_STOP) return;
    }
  }
}
