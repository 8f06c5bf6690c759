#include "kernel-support/ks_registry.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_status.h"
#include "kernel-support/ks_string.h"

namespace {

constexpr ULONG kInitialQuerySize = 512;
constexpr ULONG kQueryAttempts = 8;

VOID InitAttributes(POBJECT_ATTRIBUTES Attributes, HANDLE Root, PCUNICODE_STRING Path) {
  InitializeObjectAttributes(Attributes, const_cast<PUNICODE_STRING>(Path),
                             OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Root, nullptr);
}

BOOLEAN NeedsMore(NTSTATUS Status) {
  return Status == STATUS_BUFFER_OVERFLOW || Status == STATUS_BUFFER_TOO_SMALL;
}

// Runs Query with a growing buffer ("Xbuf") until the answer fits.
template <typename QueryRoutine>
NTSTATUS QueryGrowing(QueryRoutine Query, PVOID *Buffer, PULONG Size) {
  ULONG size = kInitialQuerySize;
  for (ULONG attempt = 0; attempt < kQueryAttempts; ++attempt) {
    PVOID buffer = KsAllocate(size, KS_TAG_BUFFER, PagedPool);
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG needed = 0;
    NTSTATUS status = Query(buffer, size, &needed);
    if (NT_SUCCESS(status)) {
      *Buffer = buffer;
      *Size = size;
      return status;
    }
    KsFree(&buffer);
    if (!NeedsMore(status)) return status;
    ULONG next = needed > size ? needed : size * 2;
    if (next < size) return STATUS_INSUFFICIENT_RESOURCES;
    size = next;
  }
  return STATUS_BUFFER_OVERFLOW;
}

NTSTATUS QueryPartial(HANDLE Key, PCWSTR Name, PKEY_VALUE_PARTIAL_INFORMATION *Info) {
  if (!Key || !Name) return STATUS_INVALID_PARAMETER;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  PVOID buffer = nullptr;
  ULONG size = 0;
  NTSTATUS status = QueryGrowing(
      [&](PVOID b, ULONG s, PULONG needed) {
        return ZwQueryValueKey(Key, &name, KeyValuePartialInformation, b, s, needed);
      },
      &buffer, &size);
  if (!NT_SUCCESS(status)) return status;
  auto *info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
  if (info->DataLength > size - FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data)) {
    KsFree(&buffer);
    return STATUS_INTERNAL_ERROR;
  }
  *Info = info;
  return STATUS_SUCCESS;
}

template <typename T>
NTSTATUS ReadFixed(HANDLE Key, PCWSTR Name, ULONG Type, T *Value) {
  if (!Value) return STATUS_INVALID_PARAMETER;
  PKEY_VALUE_PARTIAL_INFORMATION info;
  NTSTATUS status = QueryPartial(Key, Name, &info);
  if (!NT_SUCCESS(status)) return status;
  if (info->Type != Type) {
    status = STATUS_OBJECT_TYPE_MISMATCH;
  } else if (info->DataLength != sizeof(T)) {
    status = STATUS_INVALID_BUFFER_SIZE;
  } else {
    RtlCopyMemory(Value, info->Data, sizeof(T));
  }
  KsFree(&info);
  return status;
}

}  // namespace

NTSTATUS KsOpenKey(PHANDLE Key, HANDLE Root, PCUNICODE_STRING Path, ACCESS_MASK Access) {
  if (!Key || !Path) return STATUS_INVALID_PARAMETER;
  *Key = nullptr;
  OBJECT_ATTRIBUTES attributes;
  InitAttributes(&attributes, Root, Path);
  return ZwOpenKey(Key, Access, &attributes);
}

NTSTATUS KsCreateKey(PHANDLE Key, HANDLE Root, PCUNICODE_STRING Path, ACCESS_MASK Access,
                     ULONG CreateOptions, PULONG Disposition) {
  if (!Key || !Path) return STATUS_INVALID_PARAMETER;
  *Key = nullptr;
  OBJECT_ATTRIBUTES attributes;
  InitAttributes(&attributes, Root, Path);
  return ZwCreateKey(Key, Access, &attributes, 0, nullptr, CreateOptions, Disposition);
}

NTSTATUS KsDeleteKey(HANDLE Root, PCUNICODE_STRING Path) {
  HANDLE key;
  NTSTATUS status = KsOpenKey(&key, Root, Path, DELETE);
  if (NT_SUCCESS(status)) {
    status = ZwDeleteKey(key);
    ZwClose(key);
  }
  return KsRemovalStatus(status);
}

NTSTATUS KsReadDword(HANDLE Key, PCWSTR Name, PULONG Value) {
  return ReadFixed(Key, Name, REG_DWORD, Value);
}

NTSTATUS KsReadQword(HANDLE Key, PCWSTR Name, PULONGLONG Value) {
  return ReadFixed(Key, Name, REG_QWORD, Value);
}

NTSTATUS KsReadString(HANDLE Key, PCWSTR Name, PUNICODE_STRING *Value) {
  if (!Value) return STATUS_INVALID_PARAMETER;
  *Value = nullptr;
  PKEY_VALUE_PARTIAL_INFORMATION info;
  NTSTATUS status = QueryPartial(Key, Name, &info);
  if (!NT_SUCCESS(status)) return status;
  if (info->Type != REG_SZ && info->Type != REG_EXPAND_SZ) {
    KsFree(&info);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  // Strings may be stored with or without their terminator; an odd last
  // byte is not a character.
  ULONG length = info->DataLength & ~1u;
  auto *text = reinterpret_cast<PCWSTR>(info->Data);
  while (length >= sizeof(WCHAR) && text[length / sizeof(WCHAR) - 1] == 0) length -= sizeof(WCHAR);
  status = length > KS_STRING_MAX_BYTES ? STATUS_NAME_TOO_LONG : KsStringFromWide(text, length, Value);
  KsFree(&info);
  return status;
}

NTSTATUS KsReadBinary(HANDLE Key, PCWSTR Name, PVOID *Data, PULONG Length, PULONG Type) {
  if (!Data || !Length) return STATUS_INVALID_PARAMETER;
  *Data = nullptr;
  *Length = 0;
  PKEY_VALUE_PARTIAL_INFORMATION info;
  NTSTATUS status = QueryPartial(Key, Name, &info);
  if (!NT_SUCCESS(status)) return status;
  if (Type) *Type = info->Type;
  if (info->DataLength) {
    PVOID data = KsAllocate(info->DataLength, KS_TAG_BUFFER, PagedPool);
    if (!data) {
      KsFree(&info);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(data, info->Data, info->DataLength);
    *Data = data;
    *Length = info->DataLength;
  }
  KsFree(&info);
  return STATUS_SUCCESS;
}

NTSTATUS KsSetValue(HANDLE Key, PCWSTR Name, ULONG Type, const VOID *Data, ULONG Length) {
  if (!Key || !Name || (Length && !Data)) return STATUS_INVALID_PARAMETER;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  return ZwSetValueKey(Key, &name, 0, Type, const_cast<PVOID>(Data), Length);
}

NTSTATUS KsDeleteValue(HANDLE Key, PCWSTR Name) {
  if (!Key || !Name) return STATUS_INVALID_PARAMETER;
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  return KsRemovalStatus(ZwDeleteValueKey(Key, &name));
}

namespace {

// The one walk by index over the entries of a key. Kind says how entry
// Index is queried, where its name lies in the answer (FALSE when the
// answer does not hold together), how it is shown to the visitor and how it
// is deleted. The index advances only past kept entries, so a deleted entry
// does not hide its successor.
template <typename Kind>
NTSTATUS EnumerateEntries(HANDLE Key, PCWSTR Filter, const Kind &Entries) {
  if (!Key) return STATUS_INVALID_PARAMETER;
  UNICODE_STRING filter;
  if (Filter) RtlInitUnicodeString(&filter, Filter);
  for (ULONG index = 0;;) {
    PVOID buffer = nullptr;
    ULONG size = 0;
    NTSTATUS status = QueryGrowing(
        [&](PVOID b, ULONG s, PULONG needed) { return Entries.Query(Key, index, b, s, needed); }, &buffer,
        &size);
    if (status == STATUS_NO_MORE_ENTRIES) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING name;
    if (!Entries.Name(buffer, size, &name)) {
      KsFree(&buffer);
      return STATUS_INTERNAL_ERROR;
    }
    ULONG action = KS_ENUM_SKIP;
    if (!Filter || KsMatchWildcard(&filter, &name)) action = Entries.Visit(buffer, &name);
    if (action == KS_ENUM_DELETE) {
      status = Entries.Delete(Key, &name);
      if (!NT_SUCCESS(status)) {
        // A name the kernel lists but cannot find again must not stall the walk.
        if (!KsIsNotThereStatus(status)) {
          KsFree(&buffer);
          return status;
        }
        ++index;
      }
    } else if (action == KS_ENUM_STOP) {
      KsFree(&buffer);
      return STATUS_SUCCESS;
    } else {
      ++index;
    }
    KsFree(&buffer);
  }
}

// A counted name over Length bytes at Text; FALSE for a length no counted
// string can carry.
BOOLEAN NameOf(PWCHAR Text, ULONG Length, PUNICODE_STRING Name) {
  if (Length > 0xFFFE) return FALSE;
  Name->Buffer = Text;
  Name->Length = Name->MaximumLength = static_cast<USHORT>(Length);
  return TRUE;
}

struct ValueEntries {
  KS_VALUE_VISITOR *Visitor;
  PVOID Context;
  NTSTATUS Query(HANDLE Key, ULONG Index, PVOID Buffer, ULONG Size, PULONG Needed) const {
    return ZwEnumerateValueKey(Key, Index, KeyValueFullInformation, Buffer, Size, Needed);
  }
  BOOLEAN Name(PVOID Buffer, ULONG Size, PUNICODE_STRING Name) const {
    auto *info = static_cast<PKEY_VALUE_FULL_INFORMATION>(Buffer);
    ULONG nameEnd = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + info->NameLength;
    if (nameEnd > Size || info->DataOffset > Size || info->DataLength > Size - info->DataOffset) return FALSE;
    return NameOf(info->Name, info->NameLength, Name);
  }
  ULONG Visit(PVOID Buffer, PCUNICODE_STRING Name) const {
    auto *info = static_cast<PKEY_VALUE_FULL_INFORMATION>(Buffer);
    return Visitor(Context, Name, info->Type,
                   info->DataLength ? static_cast<PUCHAR>(Buffer) + info->DataOffset : nullptr, info->DataLength);
  }
  NTSTATUS Delete(HANDLE Key, PCUNICODE_STRING Name) const {
    return ZwDeleteValueKey(Key, const_cast<PUNICODE_STRING>(Name));
  }
};

struct SubkeyEntries {
  KS_KEY_VISITOR *Visitor;
  PVOID Context;
  NTSTATUS Query(HANDLE Key, ULONG Index, PVOID Buffer, ULONG Size, PULONG Needed) const {
    return ZwEnumerateKey(Key, Index, KeyBasicInformation, Buffer, Size, Needed);
  }
  BOOLEAN Name(PVOID Buffer, ULONG Size, PUNICODE_STRING Name) const {
    auto *info = static_cast<PKEY_BASIC_INFORMATION>(Buffer);
    if (info->NameLength > Size - FIELD_OFFSET(KEY_BASIC_INFORMATION, Name)) return FALSE;
    return NameOf(info->Name, info->NameLength, Name);
  }
  ULONG Visit(PVOID, PCUNICODE_STRING Name) const { return Visitor(Context, Name); }
  NTSTATUS Delete(HANDLE Key, PCUNICODE_STRING Name) const {
    HANDLE subkey;
    NTSTATUS status = KsOpenKey(&subkey, Key, Name, DELETE);
    if (!NT_SUCCESS(status)) return status;
    status = ZwDeleteKey(subkey);
    ZwClose(subkey);
    return status;
  }
};

}  // namespace

NTSTATUS KsEnumerateValues(HANDLE Key, PCWSTR Filter, KS_VALUE_VISITOR *Visitor, PVOID Context) {
  if (!Visitor) return STATUS_INVALID_PARAMETER;
  return EnumerateEntries(Key, Filter, ValueEntries{Visitor, Context});
}

NTSTATUS KsEnumerateSubkeys(HANDLE Key, PCWSTR Filter, KS_KEY_VISITOR *Visitor, PVOID Context) {
  if (!Visitor) return STATUS_INVALID_PARAMETER;
  return EnumerateEntries(Key, Filter, SubkeyEntries{Visitor, Context});
}
