// Zw...Key calls on the registry store. A key handle refers to a key object
// that holds the store's reference to the key node.
#include "internal.h"
#include "nt/zw.h"
#include "ob/object.h"
#include "ps/process.h"
#include "config/registry.h"
#include "config/registry_store.h"

#include <cstring>
#include <memory>
#include <new>

namespace bw {

namespace {

struct KeyBody {
  RegistryStore::KeyRef key;
};

void DestroyKey(void *body) { static_cast<KeyBody *>(body)->~KeyBody(); }

std::unique_ptr<RegistryStore> gStore;

NTSTATUS KeyFromHandle(HANDLE handle, PVOID *object, RegistryStore::KeyRef *key) {
  NTSTATUS status = ObReferenceObjectByHandle(handle, 0, &KeyType, KernelMode, object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  *key = static_cast<KeyBody *>(*object)->key;
  return STATUS_SUCCESS;
}

// Runs `operation` on the key a handle refers to, holding the key object.
template <typename Operation>
NTSTATUS WithKey(HANDLE handle, Operation operation) {
  PVOID object = nullptr;
  RegistryStore::KeyRef key;
  NTSTATUS status = KeyFromHandle(handle, &object, &key);
  if (!NT_SUCCESS(status)) return status;
  status = operation(key);
  ObfDereferenceObject(object);
  return status;
}

// Resolves the parent key and the path of the attributes.
NTSTATUS ParentAndPath(POBJECT_ATTRIBUTES attributes, PVOID *parentObject,
                       RegistryStore::KeyRef *parent, std::u16string *path) {
  if (!attributes || !attributes->ObjectName) return STATUS_INVALID_PARAMETER;
  *path = ToU16(attributes->ObjectName);
  *parentObject = nullptr;
  if (attributes->RootDirectory) return KeyFromHandle(attributes->RootDirectory, parentObject, parent);
  if (path->empty() || (*path)[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  return STATUS_SUCCESS;
}

NTSTATUS InsertKeyHandle(RegistryStore::KeyRef key, ACCESS_MASK access,
                         POBJECT_ATTRIBUTES attributes, PHANDLE handle) {
  PVOID object = CreateObject(&KeyType, sizeof(KeyBody));
  if (!object) return STATUS_INSUFFICIENT_RESOURCES;
  new (object) KeyBody{std::move(key)};
  NTSTATUS status = TableForNewHandle(attributes->Attributes)->Insert(object, access ? access : KEY_ALL_ACCESS,
                                                           attributes->Attributes, handle);
  ObfDereferenceObject(object);
  return status;
}

// Fills the value information records the way the kernel lays them out.
NTSTATUS FillValueInformation(const RegistryStore::Value &value,
                              KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                              PULONG resultLength) {
  ULONG nameBytes = static_cast<ULONG>(value.name.size() * sizeof(WCHAR));
  ULONG dataBytes = static_cast<ULONG>(value.data.size());
  ULONG needed = 0, fixed = 0;
  switch (cls) {
    case KeyValueBasicInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
      needed = fixed + nameBytes;
      break;
    case KeyValueFullInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
      needed = fixed + nameBytes + dataBytes;
      break;
    case KeyValuePartialInformation:
      fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
      needed = fixed + dataBytes;
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  if (resultLength) *resultLength = needed;
  if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
  bool complete = length >= needed;
  switch (cls) {
    case KeyValueBasicInformation: {
      auto *info = static_cast<PKEY_VALUE_BASIC_INFORMATION>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->NameLength = nameBytes;
      if (complete) memcpy(info->Name, value.name.data(), nameBytes);
      break;
    }
    case KeyValueFullInformation: {
      auto *info = static_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->NameLength = nameBytes;
      info->DataOffset = fixed + nameBytes;
      info->DataLength = dataBytes;
      if (complete) {
        memcpy(info->Name, value.name.data(), nameBytes);
        memcpy(static_cast<char *>(buffer) + info->DataOffset, value.data.data(), dataBytes);
      }
      break;
    }
    default: {
      auto *info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
      info->TitleIndex = 0;
      info->Type = value.type;
      info->DataLength = dataBytes;
      if (complete) memcpy(info->Data, value.data.data(), dataBytes);
      break;
    }
  }
  return complete ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

NTSTATUS FillKeyInformation(const RegistryStore::KeyInfo &key, KEY_INFORMATION_CLASS cls,
                            PVOID buffer, ULONG length, PULONG resultLength) {
  ULONG nameBytes = static_cast<ULONG>(key.name.size() * sizeof(WCHAR));
  if (cls == KeyBasicInformation) {
    ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
    ULONG needed = fixed + nameBytes;
    if (resultLength) *resultLength = needed;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
    auto *info = static_cast<PKEY_BASIC_INFORMATION>(buffer);
    info->LastWriteTime.QuadPart = key.lastWriteTime;
    info->TitleIndex = 0;
    info->NameLength = nameBytes;
    if (length < needed) return STATUS_BUFFER_OVERFLOW;
    memcpy(info->Name, key.name.data(), nameBytes);
    return STATUS_SUCCESS;
  }
  if (cls == KeyFullInformation) {
    ULONG fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
    ULONG classBytes = static_cast<ULONG>(key.className.size() * sizeof(WCHAR));
    ULONG needed = fixed + classBytes;
    if (resultLength) *resultLength = needed;
    if (length < fixed) return STATUS_BUFFER_TOO_SMALL;
    auto *info = static_cast<PKEY_FULL_INFORMATION>(buffer);
    info->LastWriteTime.QuadPart = key.lastWriteTime;
    info->TitleIndex = 0;
    info->ClassOffset = classBytes ? fixed : 0xFFFFFFFF;
    info->ClassLength = classBytes;
    info->SubKeys = key.subKeys;
    info->MaxNameLen = key.maxNameLen;
    info->MaxClassLen = key.maxClassLen;
    info->Values = key.values;
    info->MaxValueNameLen = key.maxValueNameLen;
    info->MaxValueDataLen = key.maxValueDataLen;
    if (length < needed) return STATUS_BUFFER_OVERFLOW;
    memcpy(info->Class, key.className.data(), classBytes);
    return STATUS_SUCCESS;
  }
  return STATUS_INVALID_PARAMETER;
}

}  // namespace

_OBJECT_TYPE KeyType{u"Key", DestroyKey, KEY_READ, KEY_WRITE, KEY_READ, KEY_ALL_ACCESS};

NTSTATUS RegistryBoot(const std::string &root, std::string *error) {
  gStore = std::make_unique<RegistryStore>();
  if (root.empty()) return STATUS_SUCCESS;
  NTSTATUS status = gStore->Load(root + "/registry.dat", error);
  if (!NT_SUCCESS(status)) gStore.reset();
  return status;
}

void RegistryShutdown() {
  if (gStore) gStore->Save();
  gStore.reset();
}

RegistryStore &Registry() {
  if (!gStore) KernelFault("registry used before the kernel was booted");
  return *gStore;
}

}  // namespace bw

using namespace bw;

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                     POBJECT_ATTRIBUTES ObjectAttributes, ULONG, PUNICODE_STRING Class,
                     ULONG CreateOptions, PULONG Disposition) {
  if (!KeyHandle) return STATUS_INVALID_PARAMETER;
  PVOID parentObject = nullptr;
  RegistryStore::KeyRef parent, key;
  std::u16string path;
  NTSTATUS status = ParentAndPath(ObjectAttributes, &parentObject, &parent, &path);
  if (!NT_SUCCESS(status)) return status;
  ULONG disposition = 0;
  status = Registry().CreateKey(parent, path, (CreateOptions & REG_OPTION_VOLATILE) != 0,
                                ToU16(Class), &key, &disposition);
  if (parentObject) ObfDereferenceObject(parentObject);
  if (!NT_SUCCESS(status)) return status;
  if (Disposition) *Disposition = disposition;
  return InsertKeyHandle(std::move(key), DesiredAccess, ObjectAttributes, KeyHandle);
}

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                   POBJECT_ATTRIBUTES ObjectAttributes) {
  if (!KeyHandle) return STATUS_INVALID_PARAMETER;
  PVOID parentObject = nullptr;
  RegistryStore::KeyRef parent, key;
  std::u16string path;
  NTSTATUS status = ParentAndPath(ObjectAttributes, &parentObject, &parent, &path);
  if (!NT_SUCCESS(status)) return status;
  status = Registry().OpenKey(parent, path, &key);
  if (parentObject) ObfDereferenceObject(parentObject);
  if (!NT_SUCCESS(status)) return status;
  return InsertKeyHandle(std::move(key), DesiredAccess, ObjectAttributes, KeyHandle);
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
  return WithKey(KeyHandle, [](const RegistryStore::KeyRef &key) { return Registry().DeleteKey(key); });
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG, ULONG Type,
                       PVOID Data, ULONG DataSize) {
  if (!Data && DataSize) return STATUS_INVALID_PARAMETER;
  return WithKey(KeyHandle, [&](const RegistryStore::KeyRef &key) {
    return Registry().SetValue(key, ToU16(ValueName), Type, Data, DataSize);
  });
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  RegistryStore::Value value;
  NTSTATUS status = WithKey(KeyHandle, [&](const RegistryStore::KeyRef &key) {
    return Registry().QueryValue(key, ToU16(ValueName), &value);
  });
  if (!NT_SUCCESS(status)) return status;
  return FillValueInformation(value, KeyValueInformationClass, KeyValueInformation, Length,
                              ResultLength);
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
  return WithKey(KeyHandle, [&](const RegistryStore::KeyRef &key) {
    return Registry().DeleteValue(key, ToU16(ValueName));
  });
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                             KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
  RegistryStore::Value value;
  NTSTATUS status = WithKey(KeyHandle, [&](const RegistryStore::KeyRef &key) {
    return Registry().EnumerateValue(key, Index, &value);
  });
  if (!NT_SUCCESS(status)) return status;
  return FillValueInformation(value, KeyValueInformationClass, KeyValueInformation, Length,
                              ResultLength);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
  RegistryStore::KeyInfo info;
  NTSTATUS status = WithKey(KeyHandle, [&](const RegistryStore::KeyRef &key) {
    return Registry().EnumerateKey(key, Index, &info);
  });
  if (!NT_SUCCESS(status)) return status;
  return FillKeyInformation(info, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                    PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
  RegistryStore::KeyInfo info;
  NTSTATUS status = WithKey(KeyHandle, [&](const RegistryStore::KeyRef &key) {
    return Registry().QueryKey(key, &info);
  });
  if (!NT_SUCCESS(status)) return status;
  return FillKeyInformation(info, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
  // Every change is already on disk.
  return WithKey(KeyHandle, [](const RegistryStore::KeyRef &) { return STATUS_SUCCESS; });
}
