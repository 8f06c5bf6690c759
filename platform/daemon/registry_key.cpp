// The daemon's registry key: Zw calls on kernel handles.
#include "platform/daemon/registry_key.h"

#include <cstring>

namespace bw {

namespace {

UNICODE_STRING Unicode(std::u16string_view text) {
  return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                        const_cast<PWCHAR>(text.data())};
}

NTSTATUS OpenOrCreate(const std::u16string &path, bool create, HANDLE *handle) {
  UNICODE_STRING name = Unicode(path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  if (!create) return ZwOpenKey(handle, KEY_ALL_ACCESS, &attributes);
  return ZwCreateKey(handle, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr);
}

}  // namespace

RegistryKey::~RegistryKey() {
  if (handle_) ZwClose(handle_);
}

NTSTATUS RegistryKey::Open(const std::u16string &path) {
  if (handle_) ZwClose(handle_);
  handle_ = nullptr;
  return OpenOrCreate(path, false, &handle_);
}

NTSTATUS RegistryKey::Create(const std::u16string &path) {
  if (handle_) ZwClose(handle_);
  handle_ = nullptr;
  // Each missing component in turn, below "\Registry\Machine".
  size_t pos = std::u16string_view(u"\\Registry\\Machine").size();
  while (true) {
    size_t next = path.find(u'\\', pos + 1);
    std::u16string part = path.substr(0, next);
    HANDLE h = nullptr;
    NTSTATUS status = OpenOrCreate(part, true, &h);
    if (!NT_SUCCESS(status)) return status;
    if (next == std::u16string::npos) {
      handle_ = h;
      return STATUS_SUCCESS;
    }
    ZwClose(h);
    pos = next;
  }
}

NTSTATUS RegistryKey::SetDword(std::u16string_view name, ULONG value) {
  UNICODE_STRING n = Unicode(name);
  return ZwSetValueKey(handle_, &n, 0, REG_DWORD, &value, sizeof value);
}

NTSTATUS RegistryKey::SetString(std::u16string_view name, const std::u16string &value, ULONG type) {
  UNICODE_STRING n = Unicode(name);
  return ZwSetValueKey(handle_, &n, 0, type, const_cast<char16_t *>(value.c_str()),
                       static_cast<ULONG>((value.size() + 1) * 2));
}

NTSTATUS RegistryKey::SetMultiString(std::u16string_view name,
                                     const std::vector<std::u16string> &values) {
  std::u16string multi;
  for (auto &v : values) multi += v + u'\0';
  multi += u'\0';
  UNICODE_STRING n = Unicode(name);
  return ZwSetValueKey(handle_, &n, 0, REG_MULTI_SZ, multi.data(),
                       static_cast<ULONG>(multi.size() * 2));
}

NTSTATUS RegistryKey::SetRaw(UNICODE_STRING &name, ULONG type, const void *data, size_t bytes) {
  return ZwSetValueKey(handle_, &name, 0, type, const_cast<void *>(data), static_cast<ULONG>(bytes));
}

NTSTATUS RegistryKey::DeleteValue(std::u16string_view name) {
  UNICODE_STRING n = Unicode(name);
  return ZwDeleteValueKey(handle_, &n);
}

bool RegistryKey::Raw(std::u16string_view name, ULONG *type, std::vector<uint8_t> *data) const {
  if (!handle_) return false;
  UNICODE_STRING n = Unicode(name);
  ULONG needed = 0;
  NTSTATUS status = ZwQueryValueKey(handle_, &n, KeyValuePartialInformation, nullptr, 0, &needed);
  if (status != STATUS_BUFFER_TOO_SMALL && status != STATUS_BUFFER_OVERFLOW) return false;
  std::vector<uint8_t> buffer(needed);
  status = ZwQueryValueKey(handle_, &n, KeyValuePartialInformation, buffer.data(), needed, &needed);
  if (!NT_SUCCESS(status)) return false;
  auto *info = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer.data());
  *type = info->Type;
  data->assign(info->Data, info->Data + info->DataLength);
  return true;
}

bool RegistryKey::Dword(std::u16string_view name, ULONG *value) const {
  ULONG type = 0;
  std::vector<uint8_t> data;
  if (!Raw(name, &type, &data) || type != REG_DWORD || data.size() != sizeof(ULONG)) return false;
  memcpy(value, data.data(), sizeof(ULONG));
  return true;
}

bool RegistryKey::String(std::u16string_view name, std::u16string *value) const {
  ULONG type = 0;
  std::vector<uint8_t> data;
  if (!Raw(name, &type, &data) || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
  value->assign(reinterpret_cast<const char16_t *>(data.data()), data.size() / 2);
  while (!value->empty() && value->back() == 0) value->pop_back();
  return true;
}

bool RegistryKey::MultiString(std::u16string_view name, std::vector<std::u16string> *values) const {
  ULONG type = 0;
  std::vector<uint8_t> data;
  values->clear();
  if (!Raw(name, &type, &data) || type != REG_MULTI_SZ) return false;
  std::u16string all(reinterpret_cast<const char16_t *>(data.data()), data.size() / 2);
  // Strings up to the first empty one; a list that ends without its final
  // terminator still ends with the data.
  size_t at = 0;
  while (at < all.size() && all[at]) {
    size_t end = all.find(u'\0', at);
    if (end == std::u16string::npos) end = all.size();
    values->push_back(all.substr(at, end - at));
    at = end + 1;
  }
  return true;
}

std::vector<std::u16string> RegistryKey::Subkeys() const {
  std::vector<std::u16string> names;
  for (ULONG i = 0; handle_; ++i) {
    alignas(8) uint8_t buffer[1024];
    ULONG needed = 0;
    if (!NT_SUCCESS(ZwEnumerateKey(handle_, i, KeyBasicInformation, buffer, sizeof buffer, &needed)))
      break;
    auto *info = reinterpret_cast<PKEY_BASIC_INFORMATION>(buffer);
    names.emplace_back(reinterpret_cast<const char16_t *>(info->Name), info->NameLength / 2);
  }
  return names;
}

NTSTATUS RegistryKey::DeleteTree() {
  if (!handle_) return STATUS_INVALID_HANDLE;
  for (const std::u16string &name : Subkeys()) {
    UNICODE_STRING n = Unicode(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &n, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, handle_,
                               nullptr);
    RegistryKey child;
    if (NT_SUCCESS(ZwOpenKey(&child.handle_, KEY_ALL_ACCESS, &attributes))) child.DeleteTree();
  }
  NTSTATUS status = ZwDeleteKey(handle_);
  ZwClose(handle_);
  handle_ = nullptr;
  return status;
}

}  // namespace bw
