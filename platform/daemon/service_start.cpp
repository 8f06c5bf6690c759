// Starting and stopping services, and the services' part of the boot.
// Only kernel drivers run here: a driver service starts by loading its
// driver from its key (after the services it depends on) and stops by
// unloading it. A user-mode service may be created and kept, but no process
// can be started for it (ERROR_SERVICE_NO_THREAD).
#include "platform/daemon/service_manager.h"

#include "bw/host.h"
#include "bw/pnp.h"
#include "bw/user_session.h"
#include "platform/daemon/registry_key.h"
#include "platform/daemon/service_keys.h"

#include <algorithm>
#include <cstdio>

namespace bw {

namespace {

constexpr int kMaxDependencyDepth = 32;
const std::u16string kGroupOrderKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\ServiceGroupOrder";

// The load-order groups Windows starts its drivers by, as far as they
// matter to the drivers of this system.
const std::vector<std::u16string> kDefaultGroupOrder = {
    u"System Reserved", u"Boot Bus Extender", u"System Bus Extender", u"SCSI miniport",
    u"Port",            u"Primary Disk",      u"SCSI Class",          u"SCSI CDROM Class",
    u"FSFilter Infrastructure", u"FSFilter System", u"FSFilter Bottom", u"FSFilter Top",
    u"Boot File System", u"Base", u"Filter", u"PNP Filter", u"File System", u"Event Log",
    u"NetworkProvider", u"Extended Base"};

std::vector<std::u16string> GroupOrder() {
  RegistryKey key;
  std::vector<std::u16string> order;
  if (NT_SUCCESS(key.Open(kGroupOrderKey)) && key.MultiString(u"List", &order)) return order;
  // Written at the first boot.
  if (NT_SUCCESS(key.Create(kGroupOrderKey))) key.SetMultiString(u"List", kDefaultGroupOrder);
  return kDefaultGroupOrder;
}

std::string Narrow(const std::u16string &text) {
  std::string out;
  for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

}  // namespace

uint32_t ServiceManager::StartLocked(const std::u16string &name, int depth) {
  if (depth > kMaxDependencyDepth) return ERROR_CIRCULAR_DEPENDENCY;
  // A dependency whose driver is loaded otherwise (a Plug and Play driver
  // its device brought, a driver loaded by hand) runs already.
  if (depth > 0 && ServiceRunning(name)) return ERROR_SERVICE_ALREADY_RUNNING;
  RegistryKey key;
  std::u16string stored;
  if (!FindServiceKey(name, &stored) || !NT_SUCCESS(key.Open(ServiceKeyPath(stored))))
    return ERROR_SERVICE_DOES_NOT_EXIST;
  ULONG flag = 0, start = kDemandStart, type = 0;
  if (key.Dword(u"DeleteFlag", &flag) && flag) return ERROR_SERVICE_MARKED_FOR_DELETE;
  key.Dword(u"Start", &start);
  if (start == kDisabled) return ERROR_SERVICE_DISABLED;
  if (ServiceRunning(stored)) return ERROR_SERVICE_ALREADY_RUNNING;
  key.Dword(u"Type", &type);
  if (type != kKernelDriver && type != kFileSystemDriver) return ERROR_SERVICE_NO_THREAD;
  std::vector<std::u16string> dependencies;
  key.MultiString(u"DependOnService", &dependencies);
  for (const std::u16string &dependency : dependencies) {
    uint32_t error = StartLocked(dependency, depth + 1);
    if (error == ERROR_CIRCULAR_DEPENDENCY) return error;
    if (error != ERROR_SUCCESS && error != ERROR_SERVICE_ALREADY_RUNNING)
      return ERROR_SERVICE_DEPENDENCY_FAIL;
  }
  // A driver loaded for a dependency has its devices started before the
  // services that need it start.
  if (!dependencies.empty()) WaitForPnpIdle();
  NTSTATUS status = LoadServiceDriver(stored);
  if (NT_SUCCESS(status)) return ERROR_SUCCESS;
  if (status == STATUS_IMAGE_ALREADY_LOADED) return ERROR_SERVICE_ALREADY_RUNNING;
  return Win32ErrorOf(status);
}

uint32_t ServiceManager::Start(const Caller &caller, uint64_t handle) {
  std::lock_guard<std::mutex> guard(lock_);
  const Handle *h = Find(caller, handle, false);
  if (!h) return ERROR_INVALID_HANDLE;
  if (!(h->access & kServiceStart)) return ERROR_ACCESS_DENIED;
  return StartLocked(h->service, 0);
}

uint32_t ServiceManager::Control(const Caller &caller, uint64_t handle, uint32_t control) {
  std::lock_guard<std::mutex> guard(lock_);
  const Handle *h = Find(caller, handle, false);
  if (!h) return ERROR_INVALID_HANDLE;
  if (control == kControlInterrogate) {
    if (!(h->access & kServiceInterrogate)) return ERROR_ACCESS_DENIED;
    return ServiceRunning(h->service) ? ERROR_SUCCESS : ERROR_SERVICE_NOT_ACTIVE;
  }
  // Drivers take no control but stop.
  if (control != kControlStop) return ERROR_INVALID_SERVICE_CONTROL;
  if (!(h->access & kServiceStop)) return ERROR_ACCESS_DENIED;
  if (!ServiceRunning(h->service)) return ERROR_SERVICE_NOT_ACTIVE;
  for (const std::u16string &other : ServiceNames()) {
    RegistryKey key;
    std::vector<std::u16string> dependencies;
    if (!NT_SUCCESS(key.Open(ServiceKeyPath(other))) ||
        !key.MultiString(u"DependOnService", &dependencies))
      continue;
    for (auto &d : dependencies)
      if (SameName(d, h->service) && ServiceRunning(other)) return ERROR_DEPENDENT_SERVICES_RUNNING;
  }
  NTSTATUS status = UnloadServiceDriver(h->service);
  if (status == STATUS_INVALID_DEVICE_REQUEST) return ERROR_INVALID_SERVICE_CONTROL;
  if (status == STATUS_OBJECT_NAME_NOT_FOUND) return ERROR_SERVICE_NOT_ACTIVE;
  if (!NT_SUCCESS(status)) return Win32ErrorOf(status);
  std::u16string service = h->service;
  DeleteIfUnusedLocked(service);
  return ERROR_SUCCESS;
}

void ServiceManager::RemoveMarkedServices() {
  std::lock_guard<std::mutex> guard(lock_);
  for (const std::u16string &name : ServiceNames()) {
    RegistryKey key;
    ULONG flag = 0;
    if (NT_SUCCESS(key.Open(ServiceKeyPath(name))) && key.Dword(u"DeleteFlag", &flag) && flag)
      key.DeleteTree();
  }
}

void ServiceManager::StartServicesOfType(uint32_t startType) {
  struct Candidate {
    size_t group;
    ULONG tag;
    std::u16string name;
  };
  const std::vector<std::u16string> order = GroupOrder();
  std::vector<Candidate> candidates;
  for (const std::u16string &name : ServiceNames()) {
    RegistryKey key;
    ULONG start = kDemandStart, type = 0, tag = 0xFFFFFFFF;
    if (!NT_SUCCESS(key.Open(ServiceKeyPath(name))) || !key.Dword(u"Start", &start) ||
        start != startType || !key.Dword(u"Type", &type) ||
        (type != kKernelDriver && type != kFileSystemDriver))
      continue;
    std::u16string group;
    key.String(u"Group", &group);
    key.Dword(u"Tag", &tag);
    size_t rank = order.size();  // services of no listed group come last
    for (size_t i = 0; i < order.size(); ++i)
      if (!group.empty() && SameName(order[i], group)) rank = i;
    candidates.push_back({rank, tag, name});
  }
  std::sort(candidates.begin(), candidates.end(), [](const Candidate &a, const Candidate &b) {
    if (a.group != b.group) return a.group < b.group;
    if (a.tag != b.tag) return a.tag < b.tag;
    return a.name < b.name;
  });
  std::lock_guard<std::mutex> guard(lock_);
  for (const Candidate &c : candidates) {
    uint32_t error = StartLocked(c.name, 0);
    if (error == ERROR_SUCCESS || error == ERROR_SERVICE_ALREADY_RUNNING) continue;
    // As with error control "normal": logged, and the boot goes on.
    std::string line = Narrow(c.name) + ": error " + std::to_string(error);
    fprintf(stderr, "ramvold: the driver of service %s did not start\n", line.c_str());
    bootFailures_.push_back(line);
  }
}

}  // namespace bw
