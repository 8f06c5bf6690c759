// Device installation as Windows' Plug and Play service serves it to setup:
// registered root devices and their values, driver keys under
// Control\Class, service keys, and starting or removing an installed
// device. Everything here runs for the daemon on behalf of a user's setup
// call; the tree changes on the PnP thread as always.
#include "bw/pnp.h"
#include "bw/user_session.h"
#include "pnp/pnp_internal.h"
#include "internal.h"
#include "config/registry.h"
#include "ob/object.h"

#include <cstdio>

namespace bw {

namespace {

const std::u16string kMachineControl = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class";
const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
constexpr uint32_t kDoNotCreate = 0x4;  // CSCONFIGFLAG_DO_NOT_CREATE

// Only root devices are registered through setup: "ROOT\NAME\NNNN".
bool IsRootInstance(std::u16string_view path) {
  if (path.size() < 6 || !EqualNoCase(path.substr(0, 5), u"Root\\")) return false;
  size_t cut = path.find(u'\\', 5);
  return cut != std::u16string_view::npos && cut > 5 && cut + 1 < path.size() &&
         path.find(u'\\', cut + 1) == std::u16string_view::npos;
}

NTSTATUS OpenDevice(std::u16string_view path, RegistryStore::KeyRef *key) {
  if (!IsRootInstance(path)) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = Registry().OpenKey(nullptr, kEnumKey + u"\\" + std::u16string(path), key);
  return NT_SUCCESS(status) ? status : STATUS_NO_SUCH_DEVICE;
}

std::u16string TextOf(const RegistryStore::Value &value) {
  std::u16string text(reinterpret_cast<const char16_t *>(value.data.data()), value.data.size() / 2);
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

NTSTATUS WriteValues(const RegistryStore::KeyRef &key, const std::vector<RegistryValueData> &values) {
  for (const auto &v : values) {
    NTSTATUS status = Registry().SetValue(key, v.name, v.type, v.data.data(), v.data.size());
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

bool ServiceInUse(std::u16string_view service) {
  for (const DevNodeInfo &n : DevNodes())
    if (n.state != "removed" && EqualNoCase(n.service, service)) return true;
  return false;
}

std::u16string ServiceOf(const RegistryStore::KeyRef &key) {
  RegistryStore::Value value;
  return NT_SUCCESS(Registry().QueryValue(key, u"Service", &value)) ? TextOf(value) : std::u16string();
}

// Enumerates the root again and waits until the tree has settled.
void SettleRoot() {
  RunOnPnpThread(EnumerateRoot);
  WaitForPnpIdle();
}

}  // namespace

std::vector<RegisteredDevice> RegisteredRootDevices() {
  std::vector<RegisteredDevice> out;
  RegistryStore::KeyRef root;
  if (!NT_SUCCESS(Registry().OpenKey(nullptr, kEnumKey + u"\\Root", &root))) return out;
  RegistryStore::KeyInfo device;
  for (ULONG i = 0; NT_SUCCESS(Registry().EnumerateKey(root, i, &device)); ++i) {
    RegistryStore::KeyRef deviceKey;
    if (!NT_SUCCESS(Registry().OpenKey(root, device.name, &deviceKey))) continue;
    RegistryStore::KeyInfo instance;
    for (ULONG j = 0; NT_SUCCESS(Registry().EnumerateKey(deviceKey, j, &instance)); ++j)
      out.push_back({u"ROOT\\" + device.name + u"\\" + instance.name, false});
  }
  std::lock_guard<std::mutex> guard(PnpLock());
  for (auto &d : out) {
    DevNode *node = FindDevNode(d.instancePath);
    d.present = node && node->state != DevNodeState::Removed;
  }
  return out;
}

NTSTATUS QueryDeviceValue(std::u16string_view instancePath, bool driverKey, std::u16string_view name,
                          ULONG *type, std::vector<uint8_t> *data) {
  RegistryStore::KeyRef key;
  NTSTATUS status = OpenDevice(instancePath, &key);
  if (!NT_SUCCESS(status)) return status;
  RegistryStore::Value value;
  if (driverKey) {
    if (!NT_SUCCESS(Registry().QueryValue(key, u"Driver", &value))) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!NT_SUCCESS(Registry().OpenKey(nullptr, kMachineControl + u"\\" + TextOf(value), &key)))
      return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  status = Registry().QueryValue(key, name, &value);
  if (!NT_SUCCESS(status)) return STATUS_OBJECT_NAME_NOT_FOUND;
  *type = value.type;
  *data = std::move(value.data);
  return STATUS_SUCCESS;
}

NTSTATUS SetDeviceValue(std::u16string_view instancePath, const RegistryValueData &value) {
  RegistryStore::KeyRef key;
  NTSTATUS status = OpenDevice(instancePath, &key);
  if (!NT_SUCCESS(status)) return status;
  return Registry().SetValue(key, value.name, value.type, value.data.data(), value.data.size());
}

NTSTATUS NewRootInstanceId(std::u16string_view deviceName, std::u16string *instancePath) {
  if (deviceName.empty() || deviceName.find(u'\\') != std::u16string_view::npos)
    return STATUS_INVALID_PARAMETER;
  std::u16string device;
  for (char16_t c : deviceName) device += (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c;
  RegistryStore::KeyRef deviceKey;
  bool known = NT_SUCCESS(Registry().OpenKey(nullptr, kEnumKey + u"\\Root\\" + device, &deviceKey));
  for (int n = 0; n < 10000; ++n) {
    char text[16];
    snprintf(text, sizeof text, "%04d", n);
    RegistryStore::KeyRef existing;
    if (known && NT_SUCCESS(Registry().OpenKey(deviceKey, ToU16(text), &existing))) continue;
    *instancePath = u"ROOT\\" + device + u"\\" + ToU16(text);
    return STATUS_SUCCESS;
  }
  return STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS RegisterRootDevice(std::u16string_view instancePath,
                            const std::vector<RegistryValueData> &values) {
  if (!IsRootInstance(instancePath)) return STATUS_INVALID_PARAMETER;
  std::u16string path(instancePath);
  size_t cut = path.rfind(u'\\');
  RegistryStore::KeyRef deviceKey, key;
  NTSTATUS status = CreateRegistryPath(kEnumKey + u"\\" + path.substr(0, cut), &deviceKey);
  if (!NT_SUCCESS(status)) return status;
  ULONG disposition = 0;
  status = Registry().CreateKey(deviceKey, path.substr(cut + 1), &key, &disposition);
  if (!NT_SUCCESS(status)) return status;
  if (disposition != kRegCreatedNewKey) return STATUS_OBJECT_NAME_COLLISION;
  status = WriteValues(key, values);
  if (!NT_SUCCESS(status)) {
    Registry().DeleteKey(key);
    return status;
  }
  SettleRoot();
  return STATUS_SUCCESS;
}

NTSTATUS WriteDriverKey(std::u16string_view instancePath, std::u16string_view classGuid,
                        const std::vector<RegistryValueData> &values, std::u16string *driverKey) {
  RegistryStore::KeyRef device;
  NTSTATUS status = OpenDevice(instancePath, &device);
  if (!NT_SUCCESS(status)) return status;
  if (classGuid.size() != 38 || classGuid.front() != u'{') return STATUS_INVALID_PARAMETER;
  RegistryStore::KeyRef classKey, key;
  status = CreateRegistryPath(kMachineControl + u"\\" + std::u16string(classGuid), &classKey);
  if (!NT_SUCCESS(status)) return status;
  // The device's own driver key is kept when it lies in this class.
  RegistryStore::Value current;
  std::u16string name;
  if (NT_SUCCESS(Registry().QueryValue(device, u"Driver", &current))) {
    std::u16string text = TextOf(current);
    if (text.size() > classGuid.size() + 1 && EqualNoCase(text.substr(0, classGuid.size()), classGuid))
      name = text.substr(classGuid.size() + 1);
  }
  for (int n = 0; name.empty() && n < 10000; ++n) {
    char text[16];
    snprintf(text, sizeof text, "%04d", n);
    RegistryStore::KeyRef existing;
    if (!NT_SUCCESS(Registry().OpenKey(classKey, ToU16(text), &existing))) name = ToU16(text);
  }
  if (name.empty()) return STATUS_INSUFFICIENT_RESOURCES;
  status = Registry().CreateKey(classKey, name, &key);
  if (NT_SUCCESS(status)) status = WriteValues(key, values);
  if (!NT_SUCCESS(status)) return status;
  *driverKey = std::u16string(classGuid) + u"\\" + name;
  std::u16string value = *driverKey + u'\0';
  return Registry().SetValue(device, u"Driver", kRegSz, value.data(), value.size() * 2);
}

NTSTATUS WriteServiceKey(std::u16string_view name, const std::vector<RegistryValueData> &values) {
  if (name.empty() || name.find(u'\\') != std::u16string_view::npos) return STATUS_INVALID_PARAMETER;
  RegistryStore::KeyRef key;
  NTSTATUS status = CreateRegistryPath(kServices + u"\\" + std::u16string(name), &key);
  return NT_SUCCESS(status) ? WriteValues(key, values) : status;
}

NTSTATUS StartInstalledDevice(std::u16string_view instancePath, bool *started) {
  *started = false;
  RegistryStore::KeyRef key;
  NTSTATUS status = OpenDevice(instancePath, &key);
  if (!NT_SUCCESS(status)) return status;
  std::u16string path(instancePath);
  // A device kept out of the configuration comes back with its install.
  Registry().DeleteValue(key, u"CSConfigFlags");
  std::u16string service = ServiceOf(key);
  // A device already running with the driver it is given keeps running:
  // its stack may be in use (another driver's open file on it), which a
  // restart would pull away, so it goes on with the driver it has.
  {
    std::lock_guard<std::mutex> guard(PnpLock());
    DevNode *node = FindDevNode(path);
    if (node && node->state == DevNodeState::Started && !service.empty() &&
        EqualNoCase(node->service, service)) {
      *started = true;
      return STATUS_SUCCESS;
    }
  }
  // The stack built for the old driver goes; the device is found afresh.
  RunOnPnpThread([&] {
    DevNode *node;
    {
      std::lock_guard<std::mutex> guard(PnpLock());
      node = FindDevNode(path);
    }
    if (node && node->parent == &TreeRoot()) RemoveDevNode(node, false, DevNodeState::Removed, false);
  });
  if (!service.empty()) {
    std::u16string keyPath = kServices + u"\\" + service;
    UNICODE_STRING name{static_cast<USHORT>(keyPath.size() * 2), static_cast<USHORT>(keyPath.size() * 2),
                        keyPath.data()};
    status = ZwLoadDriver(&name);
    if (status == STATUS_IMAGE_ALREADY_LOADED) status = STATUS_SUCCESS;
  }
  SettleRoot();
  std::lock_guard<std::mutex> guard(PnpLock());
  DevNode *node = FindDevNode(path);
  *started = node && node->state == DevNodeState::Started;
  // A driver that could not be loaded leaves the device installed but not
  // started: that is for a restart to settle, not a failed install.
  return STATUS_SUCCESS;
}

NTSTATUS UninstallDevice(std::u16string_view instancePath, bool global) {
  RegistryStore::KeyRef key;
  NTSTATUS status = OpenDevice(instancePath, &key);
  if (!NT_SUCCESS(status)) return status;
  std::u16string service = ServiceOf(key);
  if (global) {
    RegistryStore::Value driver;
    if (NT_SUCCESS(Registry().QueryValue(key, u"Driver", &driver))) {
      RegistryStore::KeyRef driverKey;
      if (NT_SUCCESS(Registry().OpenKey(nullptr, kMachineControl + u"\\" + TextOf(driver), &driverKey)))
        Registry().DeleteKey(driverKey);
    }
    status = Registry().DeleteKey(key);
  } else {
    uint32_t flags = kDoNotCreate;
    status = Registry().SetValue(key, u"CSConfigFlags", kRegDword, &flags, sizeof flags);
  }
  if (!NT_SUCCESS(status)) return status;
  // Enumeration drops the devnode whose key went (or is kept out).
  SettleRoot();
  if (!service.empty() && !ServiceInUse(service)) {
    NTSTATUS unload = UnloadDriver(service);
    (void)unload;  // not loaded, or a driver that cannot unload: it stays until shutdown
  }
  return STATUS_SUCCESS;
}

}  // namespace bw
