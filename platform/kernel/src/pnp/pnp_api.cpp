// The PnP manager's entry points for drivers (asking it to look again,
// ejection) and for the host (root devices, the tree, removal), and its
// start and end with the kernel.
#include "bw/pnp.h"
#include "pnp/pnp_internal.h"
#include "internal.h"
#include "io/io_internal.h"
#include "config/registry.h"
#include "ob/object.h"

#include <chrono>
#include <cstring>
#include <functional>

namespace bw {

namespace {

// Runs `work` with the devnode of `device` on the PnP thread, the device
// kept referenced until then (it may be gone from the tree by that time).
void QueueForDevice(PDEVICE_OBJECT device, std::function<void(DevNode &)> work) {
  ObfReferenceObject(device);
  QueuePnpWork([device, work] {
    DevNode *node = nullptr;
    {
      std::lock_guard<std::mutex> guard(PnpLock());
      node = DevNodeOf(device);
    }
    if (node) work(*node);
    ObfDereferenceObject(device);
  });
}

std::u16string RootDeviceName(std::u16string_view hardwareId) {
  std::u16string_view prefix = u"Root\\";
  std::u16string name(hardwareId);
  if (name.size() > prefix.size() && EqualNoCase(name.substr(0, prefix.size()), prefix))
    name = name.substr(prefix.size());
  for (auto &c : name)
    if (c == u'\\') c = u'#';
  return name;
}

// The installed root device with this hardware id, if any.
bool FindRootDevice(std::u16string_view hardwareId, std::u16string *instancePath) {
  RegistryStore::KeyRef deviceKey;
  RegistryStore::KeyInfo deviceInfo;
  if (!NT_SUCCESS(Registry().OpenKey(nullptr, kEnumKey + u"\\Root\\" + RootDeviceName(hardwareId), &deviceKey)) ||
      !NT_SUCCESS(Registry().QueryKey(deviceKey, &deviceInfo)))
    return false;
  const std::u16string &device = deviceInfo.name;
  RegistryStore::KeyInfo instance;
  for (ULONG i = 0; NT_SUCCESS(Registry().EnumerateKey(deviceKey, i, &instance)); ++i) {
    RegistryStore::KeyRef key;
    RegistryStore::Value value;
    if (!NT_SUCCESS(Registry().OpenKey(deviceKey, instance.name, &key)) ||
        !NT_SUCCESS(Registry().QueryValue(key, u"HardwareID", &value)) || value.type != kRegMultiSz)
      continue;
    value.data.resize(value.data.size() + 4, 0);
    for (const auto &id : MultiStringList(reinterpret_cast<const WCHAR *>(value.data.data())))
      if (EqualNoCase(id, hardwareId)) {
        *instancePath = u"Root\\" + device + u"\\" + instance.name;
        return true;
      }
  }
  return false;
}

void AddInfo(const DevNode &node, int depth, std::vector<DevNodeInfo> *out) {
  DevNodeInfo info;
  info.instancePath = node.instancePath;
  if (node.parent && node.parent != &TreeRoot()) info.parentPath = node.parent->instancePath;
  info.depth = depth;
  info.deviceId = node.deviceId;
  info.instanceId = node.instanceId;
  info.hardwareIds = node.hardwareIds;
  info.compatibleIds = node.compatibleIds;
  info.description = node.description;
  info.location = node.location;
  info.service = node.state == DevNodeState::Started && !node.functionDriver ? std::u16string() : node.service;
  info.pdoName = HeaderOf(node.pdo)->name;
  info.state = StateName(node.state);
  info.rawDeviceOk = node.caps.RawDeviceOK;
  info.surpriseRemovalOk = node.caps.SurpriseRemovalOK;
  info.uniqueId = node.caps.UniqueID;
  info.systemPower = node.systemPower;
  // The function driver owns the device's power policy and records it.
  PDEVICE_OBJECT owner = node.pdo->AttachedDevice ? node.pdo->AttachedDevice : node.pdo;
  info.devicePower = StateOf(owner)->devicePower;
  out->push_back(std::move(info));
  for (auto &child : node.children) AddInfo(*child, depth + 1, out);
}

}  // namespace

void PnpInit() {
  RootEnumeratorInit();
  WriteCriticalDevices();
  PowerReset();
  NotificationsStart();
  PnpThreadsStart();
  QueuePnpWork(EnumerateRoot);
}

void PnpShutdown() {
  RunOnPnpThread(RemoveWholeTree);
  PnpThreadsStop();
  NotificationsShutdown();
  InterfacesShutdown();
  RootEnumeratorShutdown();
}

NTSTATUS CreateRootDevice(std::u16string_view hardwareId, std::u16string_view service,
                          std::u16string *instancePath) {
  if (hardwareId.empty() || service.empty()) return STATUS_INVALID_PARAMETER;
  std::u16string device = RootDeviceName(hardwareId);
  std::u16string devicePath = kEnumKey + u"\\Root\\" + device;
  RegistryStore::KeyRef deviceKey;
  NTSTATUS status = CreateRegistryPath(devicePath, &deviceKey);
  if (!NT_SUCCESS(status)) return status;
  RegistryStore::KeyRef key;
  std::u16string instance;
  for (int n = 0; n < 10000; ++n) {
    char text[8];
    snprintf(text, sizeof text, "%04d", n);
    instance = ToU16(text);
    ULONG disposition = 0;
    status = Registry().CreateKey(deviceKey, instance, &key, &disposition);
    if (!NT_SUCCESS(status)) return status;
    if (disposition == kRegCreatedNewKey) break;
    key.reset();
  }
  if (!key) return STATUS_INSUFFICIENT_RESOURCES;
  std::u16string ids = std::u16string(hardwareId) + u'\0' + u'\0';
  std::u16string serviceText = std::u16string(service) + u'\0';
  status = Registry().SetValue(key, u"HardwareID", kRegMultiSz, ids.data(), ids.size() * 2);
  if (NT_SUCCESS(status))
    status = Registry().SetValue(key, u"Service", kRegSz, serviceText.data(), serviceText.size() * 2);
  if (!NT_SUCCESS(status)) {
    Registry().DeleteKey(key);
    return status;
  }
  if (instancePath) *instancePath = u"Root\\" + device + u"\\" + instance;
  EnumerateRootDevices();
  return STATUS_SUCCESS;
}

NTSTATUS EnsureRootDevice(std::u16string_view hardwareId, std::u16string_view service,
                          std::u16string *instancePath) {
  std::u16string found;
  if (!FindRootDevice(hardwareId, &found)) return CreateRootDevice(hardwareId, service, instancePath);
  if (instancePath) *instancePath = found;
  EnumerateRootDevices();
  return STATUS_SUCCESS;
}

void EnumerateRootDevices() { QueuePnpWork(EnumerateRoot); }

bool WaitForPnpIdle(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // PnP work makes notifications, and listeners may queue PnP work: idle is
  // when no listener runs, then the PnP thread is idle, then still no
  // notification waits.
  for (;;) {
    int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                    deadline - std::chrono::steady_clock::now())
                                    .count());
    if (left <= 0) return false;
    if (!WaitPnpQueueIdle(left) || !WaitNotificationsIdle(left)) return false;
    if (WaitNotificationsIdle(0) && WaitPnpQueueIdle(0) && WaitNotificationsIdle(0)) return true;
  }
}

NTSTATUS RemoveDevice(std::u16string_view instancePath) {
  NTSTATUS status = STATUS_NO_SUCH_DEVICE;
  std::u16string path(instancePath);
  RunOnPnpThread([&] {
    DevNode *node;
    {
      std::lock_guard<std::mutex> guard(PnpLock());
      node = FindDevNode(path);
    }
    if (node) status = RequestRemoval(*node, false);
  });
  return status;
}

NTSTATUS ReenumerateDevice(std::u16string_view instancePath) {
  NTSTATUS status = STATUS_NO_SUCH_DEVICE;
  std::u16string path(instancePath);
  RunOnPnpThread([&] {
    DevNode *node;
    {
      std::lock_guard<std::mutex> guard(PnpLock());
      node = FindDevNode(path);
    }
    if (!node) return;
    status = STATUS_SUCCESS;
    RefreshDeviceState(*node);
    EnumerateDevNode(*node);
  });
  return status;
}

void RemoveDeviceTree() { RunOnPnpThread(RemoveWholeTree); }

std::vector<DevNodeInfo> DevNodes() {
  std::vector<DevNodeInfo> out;
  std::lock_guard<std::mutex> guard(PnpLock());
  for (auto &child : TreeRoot().children) AddInfo(*child, 1, &out);
  return out;
}

std::string DescribeDevNodes() {
  std::string text;
  for (const auto &n : DevNodes()) {
    text += std::string(2 * (n.depth - 1), ' ') + ToUtf8(n.instancePath) + " [" + n.state + "]";
    if (!n.service.empty()) text += " " + ToUtf8(n.service);
    text += " " + ToUtf8(n.pdoName) + "\n";
  }
  return text;
}

}  // namespace bw

using namespace bw;

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  if (!DeviceObject) KernelFault("IoInvalidateDeviceRelations without a device");
  // Only bus relations make children; the others are asked when needed.
  if (Type != BusRelations) return;
  QueueForDevice(DeviceObject, [](DevNode &node) { EnumerateDevNode(node); });
}

VOID IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject) {
  if (!PhysicalDeviceObject) KernelFault("IoInvalidateDeviceState without a device");
  QueueForDevice(PhysicalDeviceObject, RefreshDeviceState);
}

VOID IoRequestDeviceEject(PDEVICE_OBJECT PhysicalDeviceObject) {
  if (!PhysicalDeviceObject) KernelFault("IoRequestDeviceEject without a device");
  QueueForDevice(PhysicalDeviceObject, [](DevNode &node) { RequestRemoval(node, true); });
}
