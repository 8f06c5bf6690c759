// Registry helpers over the Zw...Key calls. Keys are opened as kernel
// handles, names compared case-insensitively.
#pragma once

#include "kernel-support/kernel.h"

// Opens Path (absolute, or relative to Root when Root is given).
NTSTATUS KsOpenKey(PHANDLE Key, HANDLE Root, PCUNICODE_STRING Path, ACCESS_MASK Access);
// Opens Path, creating it when missing (its parent must exist).
NTSTATUS KsCreateKey(PHANDLE Key, HANDLE Root, PCUNICODE_STRING Path, ACCESS_MASK Access,
                     ULONG CreateOptions, PULONG Disposition);
// Deletes the key (which must have no subkeys); a missing key is success.
NTSTATUS KsDeleteKey(HANDLE Root, PCUNICODE_STRING Path);

// Fixed-size reads: a value of another type gives STATUS_OBJECT_TYPE_MISMATCH,
// one of another size STATUS_INVALID_BUFFER_SIZE.
NTSTATUS KsReadDword(HANDLE Key, PCWSTR Name, PULONG Value);
NTSTATUS KsReadQword(HANDLE Key, PCWSTR Name, PULONGLONG Value);
// REG_SZ or REG_EXPAND_SZ as a counted string without trailing zeros.
NTSTATUS KsReadString(HANDLE Key, PCWSTR Name, PUNICODE_STRING *Value);
// Any value's bytes in a buffer ("Xbuf") the caller frees with KsFree; Data
// is null for an empty value. Type may be null.
NTSTATUS KsReadBinary(HANDLE Key, PCWSTR Name, PVOID *Data, PULONG Length, PULONG Type);

NTSTATUS KsSetValue(HANDLE Key, PCWSTR Name, ULONG Type, const VOID *Data, ULONG Length);
inline NTSTATUS KsSetBinary(HANDLE Key, PCWSTR Name, const VOID *Data, ULONG Length) {
  return KsSetValue(Key, Name, REG_BINARY, Data, Length);
}
// A missing value is success.
NTSTATUS KsDeleteValue(HANDLE Key, PCWSTR Name);

// What an enumeration visitor asks for the entry it was shown.
constexpr ULONG KS_ENUM_DELETE = 1;  // delete it and go on with the next
constexpr ULONG KS_ENUM_STOP = 2;    // end the enumeration
constexpr ULONG KS_ENUM_SKIP = 4;    // keep it and go on

typedef ULONG KS_VALUE_VISITOR(PVOID Context, PCUNICODE_STRING Name, ULONG Type, const VOID *Data,
                               ULONG Length);
typedef ULONG KS_KEY_VISITOR(PVOID Context, PCUNICODE_STRING Name);

// Visits the values of Key by index; only names matching Filter ('*', '?';
// null = all) are shown. The index advances only past kept entries, so a
// deleted value does not hide its successor.
NTSTATUS KsEnumerateValues(HANDLE Key, PCWSTR Filter, KS_VALUE_VISITOR *Visitor, PVOID Context);
// The same over the subkeys; delete removes the subkey (without subkeys of its own).
NTSTATUS KsEnumerateSubkeys(HANDLE Key, PCWSTR Filter, KS_KEY_VISITOR *Visitor, PVOID Context);
