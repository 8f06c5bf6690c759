// Handle tables: objects behind numeric handles, each entry reference
// counted, destroyed through the table's callback when the last reference
// goes. The table guards itself with a fast mutex (passive level only).
#pragma once

#include "kernel-support/ks_hash_table.h"

typedef VOID KS_HANDLE_DESTROY(PVOID Context, PVOID Object);
// Answers KS_VISIT_CONTINUE or KS_VISIT_STOP.
typedef ULONG KS_HANDLE_VISITOR(PVOID Context, ULONG64 Handle, PVOID Object);

struct KS_HANDLE_ENTRY {
  volatile LONG64 References;  // the table's own reference plus one per holder
  PVOID Object;
  ULONG64 Handle;
  KS_HANDLE_DESTROY *Destroy;
  PVOID DestroyContext;
};

struct KS_HANDLE_TABLE {
  FAST_MUTEX Lock;
  KS_HASH_TABLE *Entries;
  ULONG64 NextHandle;
  KS_HANDLE_DESTROY *Destroy;
  PVOID DestroyContext;
};

NTSTATUS KsHandleTableCreate(KS_HANDLE_DESTROY *Destroy, PVOID DestroyContext, KS_HANDLE_TABLE **Table);
// Removes every entry (each destroyed once its holders release it) and frees the table.
VOID KsHandleTableDestroy(KS_HANDLE_TABLE **Table);
// Adds Object under a new non-zero handle.
NTSTATUS KsHandleTableInsert(KS_HANDLE_TABLE *Table, PVOID Object, PULONGLONG Handle);
// Takes a reference on the entry of Handle; STATUS_INVALID_HANDLE when absent.
NTSTATUS KsHandleTableReference(KS_HANDLE_TABLE *Table, ULONG64 Handle, KS_HANDLE_ENTRY **Entry);
// Drops a reference taken by KsHandleTableReference and nulls *Entry.
VOID KsHandleEntryRelease(KS_HANDLE_ENTRY **Entry);
// Takes the entry out of the table and drops the table's reference.
NTSTATUS KsHandleTableRemove(KS_HANDLE_TABLE *Table, ULONG64 Handle);
ULONG KsHandleTableCount(KS_HANDLE_TABLE *Table);
// Visits every entry under the table's lock.
VOID KsHandleTableWalk(KS_HANDLE_TABLE *Table, KS_HANDLE_VISITOR *Visitor, PVOID Context);
