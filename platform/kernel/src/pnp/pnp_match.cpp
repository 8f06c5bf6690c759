// Finding a devnode's function driver: a root device names its service in
// its Enum key; an enumerated device is matched through the critical device
// database by its hardware ids, then its compatible ids, compared without
// regard to case.
#include "pnp/pnp_internal.h"
#include "config/registry.h"
#include "config/registry_store.h"
#include "ob/object.h"

namespace bw {

namespace {

const std::u16string kControl = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
const std::u16string kDatabase = kControl + u"\\CriticalDeviceDatabase";

// Windows ships these entries; drivers loaded later find their devices here.
struct CriticalDevice {
  const char16_t *id;
  const char16_t *service;
};
constexpr CriticalDevice kCriticalDevices[] = {{u"GenDisk", u"disk"}};

std::u16string ReadString(const RegistryStore::KeyRef &key, std::u16string_view name) {
  RegistryStore::Value value;
  if (!NT_SUCCESS(Registry().QueryValue(key, name, &value))) return {};
  if (value.type != kRegSz && value.type != kRegExpandSz) return {};
  std::u16string text(reinterpret_cast<const char16_t *>(value.data.data()), value.data.size() / 2);
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

// A database key is named by the id with its backslashes as '#', since a
// key name cannot hold a backslash.
std::u16string DatabaseKeyName(std::u16string_view id) {
  std::u16string name(id);
  for (auto &c : name)
    if (c == u'\\') c = u'#';
  return name;
}

std::u16string DatabaseService(std::u16string_view id) {
  if (id.empty()) return {};
  RegistryStore::KeyRef key;
  if (!NT_SUCCESS(Registry().OpenKey(nullptr, kDatabase + u"\\" + DatabaseKeyName(id), &key)))
    return {};
  return ReadString(key, u"Service");
}

}  // namespace

NTSTATUS CreateRegistryPath(std::u16string_view path, RegistryStore::KeyRef *key) {
  // "\Registry\Machine" exists; each component below it is made in turn.
  size_t pos = std::u16string_view(u"\\Registry\\Machine").size();
  RegistryStore::KeyRef current;
  NTSTATUS status = Registry().OpenKey(nullptr, path.substr(0, pos), &current);
  while (NT_SUCCESS(status) && pos < path.size()) {
    size_t next = path.find(u'\\', pos + 1);
    if (next == std::u16string_view::npos) next = path.size();
    RegistryStore::KeyRef child;
    status = Registry().CreateKey(current, path.substr(pos + 1, next - pos - 1), &child);
    current = child;
    pos = next;
  }
  if (NT_SUCCESS(status) && key) *key = current;
  return status;
}

void WriteCriticalDevices() {
  for (const CriticalDevice &device : kCriticalDevices) {
    RegistryStore::KeyRef key;
    if (!NT_SUCCESS(CreateRegistryPath(kDatabase + u"\\" + DatabaseKeyName(device.id), &key))) continue;
    if (ReadString(key, u"Service").empty()) {
      std::u16string service(device.service);
      Registry().SetValue(key, u"Service", kRegSz, service.c_str(), (service.size() + 1) * 2);
    }
  }
}

std::u16string RootDeviceService(std::u16string_view instancePath) {
  RegistryStore::KeyRef key;
  std::u16string path = kEnumKey + u"\\" + std::u16string(instancePath);
  if (!NT_SUCCESS(Registry().OpenKey(nullptr, path, &key))) return {};
  return ReadString(key, u"Service");
}

std::u16string MatchService(const DevNode &node) {
  if (node.rootEnumerated) return RootDeviceService(node.instancePath);
  for (const auto *ids : {&node.hardwareIds, &node.compatibleIds})
    for (const auto &id : *ids) {
      std::u16string service = DatabaseService(id);
      if (!service.empty()) return service;
    }
  return {};
}

}  // namespace bw
