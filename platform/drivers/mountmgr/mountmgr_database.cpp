// The MountedDevices database in the registry. It is read afresh for every
// request: others (the engine) edit it directly.
#include "platform/drivers/mountmgr/mountmgr.h"

#include <cstring>

namespace mountmgr {

namespace {

NTSTATUS OpenDatabase(PHANDLE key) {
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System\\MountedDevices");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  return ZwCreateKey(key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr);
}

}  // namespace

NTSTATUS ReadDatabase(std::vector<DatabaseValue> *values) {
  values->clear();
  HANDLE key;
  NTSTATUS status = OpenDatabase(&key);
  if (!NT_SUCCESS(status)) return status;
  std::vector<UCHAR> buffer(512);
  for (ULONG index = 0;;) {
    ULONG needed = 0;
    status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, buffer.data(),
                                 static_cast<ULONG>(buffer.size()), &needed);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
      if (needed <= buffer.size()) break;
      buffer.resize(needed);
      continue;
    }
    if (status == STATUS_NO_MORE_ENTRIES) {
      status = STATUS_SUCCESS;
      break;
    }
    if (!NT_SUCCESS(status)) break;
    auto *info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
    DatabaseValue value;
    value.type = info->Type;
    value.name.assign(reinterpret_cast<const char16_t *>(info->Name), info->NameLength / sizeof(WCHAR));
    if (info->DataOffset <= buffer.size() && info->DataLength <= buffer.size() - info->DataOffset)
      value.data.assign(buffer.data() + info->DataOffset, buffer.data() + info->DataOffset + info->DataLength);
    values->push_back(std::move(value));
    ++index;
  }
  ZwClose(key);
  return status;
}

NTSTATUS SetDatabaseValue(const std::u16string &name, const Bytes &uniqueId) {
  HANDLE key;
  NTSTATUS status = OpenDatabase(&key);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING value = View(name);
  status = ZwSetValueKey(key, &value, 0, REG_BINARY, const_cast<UCHAR *>(uniqueId.data()),
                         static_cast<ULONG>(uniqueId.size()));
  ZwClose(key);
  return status;
}

NTSTATUS DeleteDatabaseValue(const std::u16string &name) {
  HANDLE key;
  NTSTATUS status = OpenDatabase(&key);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING value = View(name);
  status = ZwDeleteValueKey(key, &value);
  ZwClose(key);
  return status == STATUS_OBJECT_NAME_NOT_FOUND ? STATUS_SUCCESS : status;
}

}  // namespace mountmgr
