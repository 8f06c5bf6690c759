#include "kernel-support/ks_handle_table.h"

#include "kernel-support/ks_alloc.h"

namespace {

constexpr ULONG kBuckets = 64;
constexpr ULONG64 kHandleStep = 4;

VOID DropReference(KS_HANDLE_ENTRY *Entry) {
  if (InterlockedDecrement64(&Entry->References) == 0) {
    if (Entry->Destroy) Entry->Destroy(Entry->DestroyContext, Entry->Object);
    KsFree(&Entry);
  }
}

ULONG DropVisitor(PVOID, ULONG64, PVOID Value) {
  DropReference(static_cast<KS_HANDLE_ENTRY *>(Value));
  return KS_VISIT_CONTINUE;
}

struct WalkContext {
  KS_HANDLE_VISITOR *Visitor;
  PVOID Context;
};

ULONG WalkVisitor(PVOID Context, ULONG64 Key, PVOID Value) {
  auto *walk = static_cast<WalkContext *>(Context);
  auto *entry = static_cast<KS_HANDLE_ENTRY *>(Value);
  return walk->Visitor(walk->Context, Key, entry->Object) & KS_VISIT_STOP;
}

}  // namespace

NTSTATUS KsHandleTableCreate(KS_HANDLE_DESTROY *Destroy, PVOID DestroyContext, KS_HANDLE_TABLE **Table) {
  if (!Table) return STATUS_INVALID_PARAMETER;
  *Table = nullptr;
  auto *table = static_cast<KS_HANDLE_TABLE *>(KsAllocate(sizeof(KS_HANDLE_TABLE), KS_TAG_TABLE_HEADER));
  if (!table) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = KsHashTableCreate(kBuckets, KsHashPointer, &table->Entries);
  if (!NT_SUCCESS(status)) {
    KsFree(&table);
    return status;
  }
  ExInitializeFastMutex(&table->Lock);
  table->NextHandle = kHandleStep;
  table->Destroy = Destroy;
  table->DestroyContext = DestroyContext;
  *Table = table;
  return STATUS_SUCCESS;
}

VOID KsHandleTableDestroy(KS_HANDLE_TABLE **Table) {
  if (!Table || !*Table) return;
  KS_HANDLE_TABLE *table = *Table;
  ExAcquireFastMutex(&table->Lock);
  KS_HASH_TABLE *entries = table->Entries;
  table->Entries = nullptr;
  ExReleaseFastMutex(&table->Lock);
  // Destroy callbacks run outside the lock.
  KsHashTableDestroy(&entries, DropVisitor, nullptr);
  KsFree(Table);
}

NTSTATUS KsHandleTableInsert(KS_HANDLE_TABLE *Table, PVOID Object, PULONGLONG Handle) {
  if (!Table || !Handle) return STATUS_INVALID_PARAMETER;
  *Handle = 0;
  auto *entry = static_cast<KS_HANDLE_ENTRY *>(KsAllocate(sizeof(KS_HANDLE_ENTRY), KS_TAG_TABLE_ENTRY));
  if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
  entry->References = 1;
  entry->Object = Object;
  entry->Destroy = Table->Destroy;
  entry->DestroyContext = Table->DestroyContext;
  ExAcquireFastMutex(&Table->Lock);
  NTSTATUS status;
  // Skip numbers still in use after the counter wrapped.
  do {
    entry->Handle = Table->NextHandle;
    Table->NextHandle += kHandleStep;
    if (Table->NextHandle == 0) Table->NextHandle = kHandleStep;
    status = KsHashTableInsert(Table->Entries, entry->Handle, entry);
  } while (status == STATUS_OBJECT_NAME_COLLISION);
  ExReleaseFastMutex(&Table->Lock);
  if (!NT_SUCCESS(status)) {
    KsFree(&entry);
    return status;
  }
  *Handle = entry->Handle;
  return STATUS_SUCCESS;
}

NTSTATUS KsHandleTableReference(KS_HANDLE_TABLE *Table, ULONG64 Handle, KS_HANDLE_ENTRY **Entry) {
  if (!Table || !Entry) return STATUS_INVALID_PARAMETER;
  *Entry = nullptr;
  PVOID value = nullptr;
  ExAcquireFastMutex(&Table->Lock);
  BOOLEAN found = KsHashTableLookup(Table->Entries, Handle, &value);
  if (found) InterlockedIncrement64(&static_cast<KS_HANDLE_ENTRY *>(value)->References);
  ExReleaseFastMutex(&Table->Lock);
  if (!found) return STATUS_INVALID_HANDLE;
  *Entry = static_cast<KS_HANDLE_ENTRY *>(value);
  return STATUS_SUCCESS;
}

VOID KsHandleEntryRelease(KS_HANDLE_ENTRY **Entry) {
  if (!Entry || !*Entry) return;
  DropReference(*Entry);
  *Entry = nullptr;
}

NTSTATUS KsHandleTableRemove(KS_HANDLE_TABLE *Table, ULONG64 Handle) {
  if (!Table) return STATUS_INVALID_PARAMETER;
  PVOID value = nullptr;
  ExAcquireFastMutex(&Table->Lock);
  BOOLEAN found = KsHashTableRemove(Table->Entries, Handle, &value);
  ExReleaseFastMutex(&Table->Lock);
  if (!found) return STATUS_INVALID_HANDLE;
  DropReference(static_cast<KS_HANDLE_ENTRY *>(value));
  return STATUS_SUCCESS;
}

ULONG KsHandleTableCount(KS_HANDLE_TABLE *Table) {
  if (!Table) return 0;
  ExAcquireFastMutex(&Table->Lock);
  ULONG count = KsHashTableCount(Table->Entries);
  ExReleaseFastMutex(&Table->Lock);
  return count;
}

VOID KsHandleTableWalk(KS_HANDLE_TABLE *Table, KS_HANDLE_VISITOR *Visitor, PVOID Context) {
  if (!Table || !Visitor) return;
  WalkContext walk{Visitor, Context};
  ExAcquireFastMutex(&Table->Lock);
  KsHashTableWalk(Table->Entries, WalkVisitor, &walk);
  ExReleaseFastMutex(&Table->Lock);
}
