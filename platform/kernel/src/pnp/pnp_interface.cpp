// Device interfaces: a PDO's registered classes, each named by a symbolic
// link "\??\<instance path with '#'>#{class}[\reference]" that points at the
// PDO; enabling one makes the link and tells the registered listeners.
#include "pnp/pnp_internal.h"
#include "internal.h"
#include "io/io_internal.h"
#include "ob/object.h"

#include <cstring>

namespace bw {

namespace {

constexpr ULONG kStringTag = 0x6E727453;     // "Strn": RtlFreeUnicodeString frees it
constexpr ULONG kInterfaceTag = 0x49706E50;  // "PnpI"

struct DeviceInterface {
  GUID guid;
  std::u16string link;      // as given to drivers and listeners
  std::u16string linkName;  // the link object's name: without the reference string
  DevNode *node;
  std::u16string target;    // the PDO's name
  bool enabled = false;
  bool enablePending = false;  // enabled before its device had started
};

std::mutex gInterfaceLock;
std::vector<std::unique_ptr<DeviceInterface>> gInterfaces;

std::u16string GuidText(const GUID &g) {
  char text[40];
  snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2,
           g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
           g.Data4[7]);
  return ToU16(text);
}

DeviceInterface *FindLocked(std::u16string_view link) {
  for (auto &i : gInterfaces)
    if (EqualNoCase(i->link, link)) return i.get();
  return nullptr;
}

bool LinkInUseLocked(const DeviceInterface &self) {
  for (auto &i : gInterfaces)
    if (i.get() != &self && i->enabled && EqualNoCase(i->linkName, self.linkName)) return true;
  return false;
}

NTSTATUS EnableLocked(DeviceInterface &i) {
  if (!LinkInUseLocked(i)) {
    UNICODE_STRING name{static_cast<USHORT>(i.linkName.size() * 2), static_cast<USHORT>(i.linkName.size() * 2),
                        i.linkName.data()};
    UNICODE_STRING target{static_cast<USHORT>(i.target.size() * 2), static_cast<USHORT>(i.target.size() * 2),
                          i.target.data()};
    NTSTATUS status = IoCreateSymbolicLink(&name, &target);
    if (!NT_SUCCESS(status)) return status;
  }
  i.enabled = true;
  i.enablePending = false;
  QueueInterfaceNotification(GUID_DEVICE_INTERFACE_ARRIVAL, i.guid, i.link);
  return STATUS_SUCCESS;
}

void DisableLocked(DeviceInterface &i) {
  i.enablePending = false;
  if (!i.enabled) return;
  i.enabled = false;
  if (!LinkInUseLocked(i)) {
    UNICODE_STRING name{static_cast<USHORT>(i.linkName.size() * 2), static_cast<USHORT>(i.linkName.size() * 2),
                        i.linkName.data()};
    IoDeleteSymbolicLink(&name);
  }
  QueueInterfaceNotification(GUID_DEVICE_INTERFACE_REMOVAL, i.guid, i.link);
}

}  // namespace

void DevNodeStarted(DevNode &node) {
  std::lock_guard<std::mutex> guard(gInterfaceLock);
  for (auto &i : gInterfaces)
    if (i->node == &node && i->enablePending) EnableLocked(*i);
}

void DisableDevNodeInterfaces(DevNode &node) {
  std::lock_guard<std::mutex> guard(gInterfaceLock);
  for (auto &i : gInterfaces)
    if (i->node == &node) DisableLocked(*i);
}

void ForgetDevNodeInterfaces(DevNode &node) {
  std::lock_guard<std::mutex> guard(gInterfaceLock);
  std::erase_if(gInterfaces, [&](const std::unique_ptr<DeviceInterface> &i) { return i->node == &node; });
}

void InterfacesShutdown() {
  std::lock_guard<std::mutex> guard(gInterfaceLock);
  gInterfaces.clear();
}

std::vector<std::u16string> EnabledInterfaces(const GUID &guid) {
  std::vector<std::u16string> links;
  for (auto &i : gInterfaces)
    if (i->enabled && IsEqualGUID(i->guid, guid)) links.push_back(i->link);
  return links;
}

std::mutex &InterfaceLock() { return gInterfaceLock; }

}  // namespace bw

using namespace bw;

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
  if (!PhysicalDeviceObject || !InterfaceClassGuid || !SymbolicLinkName) return STATUS_INVALID_PARAMETER;
  std::u16string reference = ReferenceString ? ToU16(ReferenceString) : std::u16string();
  if (reference.find(u'\\') != std::u16string::npos) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> treeGuard(PnpLock());
  DevNode *node = static_cast<DevNode *>(StateOf(PhysicalDeviceObject)->devNode);
  // Interfaces belong to PDOs the PnP manager knows, and name them.
  if (!node || node->instancePath.empty() || !HeaderOf(PhysicalDeviceObject)->inNamespace)
    return STATUS_INVALID_DEVICE_REQUEST;
  std::u16string path = node->instancePath;
  for (auto &c : path)
    if (c == u'\\') c = u'#';
  std::u16string linkName = u"\\??\\" + path + u"#" + GuidText(*InterfaceClassGuid);
  std::u16string link = reference.empty() ? linkName : linkName + u"\\" + reference;

  std::lock_guard<std::mutex> guard(gInterfaceLock);
  if (!FindLocked(link)) {
    auto i = std::make_unique<DeviceInterface>();
    i->guid = *InterfaceClassGuid;
    i->link = link;
    i->linkName = linkName;
    i->node = node;
    i->target = HeaderOf(PhysicalDeviceObject)->name;
    gInterfaces.push_back(std::move(i));
  }
  size_t bytes = link.size() * sizeof(WCHAR);
  auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + sizeof(WCHAR), kStringTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, link.data(), bytes);
  buffer[link.size()] = 0;
  SymbolicLinkName->Buffer = buffer;
  SymbolicLinkName->Length = static_cast<USHORT>(bytes);
  SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
  return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
  if (!SymbolicLinkName || !SymbolicLinkName->Buffer) return STATUS_INVALID_PARAMETER;
  std::u16string link = ToU16(SymbolicLinkName);
  std::lock_guard<std::mutex> treeGuard(PnpLock());
  std::lock_guard<std::mutex> guard(gInterfaceLock);
  DeviceInterface *i = FindLocked(link);
  if (!i) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (!Enable) {
    if (!i->enabled && !i->enablePending) return STATUS_OBJECT_NAME_NOT_FOUND;
    DisableLocked(*i);
    return STATUS_SUCCESS;
  }
  if (i->enabled || i->enablePending) return STATUS_OBJECT_NAME_EXISTS;
  // A device that has not finished starting gets its interface once it has.
  if (i->node->state != DevNodeState::Started) {
    i->enablePending = true;
    return STATUS_SUCCESS;
  }
  return EnableLocked(*i);
}

NTSTATUS IoGetDeviceInterfaces(const GUID *InterfaceClassGuid, PDEVICE_OBJECT PhysicalDeviceObject, ULONG Flags,
                               PZZWSTR *SymbolicLinkList) {
  if (!InterfaceClassGuid || !SymbolicLinkList) return STATUS_INVALID_PARAMETER;
  *SymbolicLinkList = nullptr;
  std::lock_guard<std::mutex> treeGuard(PnpLock());
  DevNode *only = nullptr;
  if (PhysicalDeviceObject) {
    only = static_cast<DevNode *>(StateOf(PhysicalDeviceObject)->devNode);
    if (!only) return STATUS_INVALID_DEVICE_REQUEST;
  }
  std::u16string list;
  {
    std::lock_guard<std::mutex> guard(gInterfaceLock);
    for (auto &i : gInterfaces) {
      if (!IsEqualGUID(i->guid, *InterfaceClassGuid) || (only && i->node != only)) continue;
      if (!i->enabled && !(Flags & DEVICE_INTERFACE_INCLUDE_NONACTIVE)) continue;
      list += i->link;
      list += u'\0';
    }
  }
  list += u'\0';
  size_t bytes = list.size() * sizeof(WCHAR);
  auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kInterfaceTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, list.data(), bytes);
  *SymbolicLinkList = buffer;
  return STATUS_SUCCESS;
}
