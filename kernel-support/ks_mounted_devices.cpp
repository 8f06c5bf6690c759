#include "kernel-support/ks_mounted_devices.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_registry.h"
#include "kernel-support/ks_status.h"
#include "kernel-support/ks_string.h"

namespace {

NTSTATUS OpenDatabase(BOOLEAN Create, PHANDLE Key) {
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, KS_WSTR("\\Registry\\Machine\\System\\MountedDevices"));
  if (!Create) return KsOpenKey(Key, nullptr, &path, KEY_ALL_ACCESS);
  ULONG disposition;
  return KsCreateKey(Key, nullptr, &path, KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE, &disposition);
}

// The registry calls take zero-terminated names; counted strings need not be.
NTSTATUS TerminatedName(PCUNICODE_STRING Link, PUNICODE_STRING *Name) {
  if (!Link || !Link->Length) return STATUS_INVALID_PARAMETER;
  return KsDuplicateString(Link, Name);
}

struct DataMatch {
  const VOID *UniqueId;
  ULONG Length;
};

ULONG DeleteMatching(PVOID Context, PCUNICODE_STRING, ULONG Type, const VOID *Data, ULONG Length) {
  auto *match = static_cast<const DataMatch *>(Context);
  if (Type == REG_BINARY && Length == match->Length &&
      RtlCompareMemory(Data, match->UniqueId, Length) == Length)
    return KS_ENUM_DELETE;
  return KS_ENUM_SKIP;
}

}  // namespace

namespace {

// Runs Action(key, zero-terminated name) on the database value named Link.
template <typename ActionType>
NTSTATUS OnValue(PCUNICODE_STRING Link, BOOLEAN Create, ActionType Action) {
  PUNICODE_STRING name = nullptr;
  NTSTATUS status = TerminatedName(Link, &name);
  if (!NT_SUCCESS(status)) return status;
  HANDLE key;
  status = OpenDatabase(Create, &key);
  if (NT_SUCCESS(status)) {
    status = Action(key, name->Buffer);
    ZwClose(key);
  }
  KsFreeString(&name);
  return status;
}

}  // namespace

NTSTATUS KsMountedDevicesSet(PCUNICODE_STRING Link, const VOID *UniqueId, ULONG Length) {
  if (!UniqueId || !Length) return STATUS_INVALID_PARAMETER;
  return OnValue(Link, TRUE, [&](HANDLE Key, PCWSTR Name) { return KsSetBinary(Key, Name, UniqueId, Length); });
}

NTSTATUS KsMountedDevicesRead(PCUNICODE_STRING Link, PVOID *Data, PULONG Length) {
  if (!Data || !Length) return STATUS_INVALID_PARAMETER;
  *Data = nullptr;
  *Length = 0;
  return OnValue(Link, FALSE,
                 [&](HANDLE Key, PCWSTR Name) { return KsReadBinary(Key, Name, Data, Length, nullptr); });
}

NTSTATUS KsMountedDevicesDeleteByName(PCUNICODE_STRING Link) {
  return KsRemovalStatus(OnValue(Link, FALSE, [](HANDLE Key, PCWSTR Name) { return KsDeleteValue(Key, Name); }));
}

NTSTATUS KsMountedDevicesDeleteByData(const VOID *UniqueId, ULONG Length) {
  if (!UniqueId || !Length) return STATUS_INVALID_PARAMETER;
  HANDLE key;
  NTSTATUS status = OpenDatabase(FALSE, &key);
  if (!NT_SUCCESS(status)) return KsRemovalStatus(status);
  DataMatch match = {UniqueId, Length};
  status = KsEnumerateValues(key, nullptr, DeleteMatching, &match);
  ZwClose(key);
  return status;
}
