// The service control manager's database calls: handles, access, creating,
// opening, querying and deleting services. Starting and stopping are in
// service_start.cpp.
#include "platform/daemon/service_manager.h"

#include "platform/daemon/registry_key.h"
#include "platform/daemon/service_keys.h"

#include <cstring>
#include <random>

namespace bw {

namespace {

// What each generic right means for the manager and for a service.
uint32_t MapAccess(uint32_t access, bool manager) {
  constexpr uint32_t kGenericRead = 0x80000000u, kGenericWrite = 0x40000000u,
                     kGenericExecute = 0x20000000u, kGenericAll = 0x10000000u;
  constexpr uint32_t kReadControl = 0x00020000u;
  uint32_t out = access & 0x0FFFFFFFu;
  if (access & kGenericAll) out |= manager ? kManagerAllAccess : kServiceAllAccess;
  if (access & kGenericRead)
    out |= kReadControl | (manager ? (kManagerEnumerate | kManagerQueryLock)
                                   : (kServiceQueryConfig | kServiceQueryStatus |
                                      kServiceInterrogate | kServiceEnumerateDependents));
  if (access & kGenericWrite)
    out |= kReadControl | (manager ? (kManagerCreateService | kManagerModifyBootConfig)
                                   : kServiceChangeConfig);
  if (access & kGenericExecute)
    out |= kReadControl | (manager ? (kManagerConnect | kManagerLock)
                                   : (kServiceStart | kServiceStop | kServicePauseContinue |
                                      kServiceUserDefinedControl));
  return out;
}

// The rights only administrators are granted: on Windows the manager's and
// a service's default security gives users connect, enumerate and query,
// and everything that changes the system to Administrators and SYSTEM.
uint32_t AdministratorRights(bool manager) {
  constexpr uint32_t kDelete = 0x00010000u, kWriteDac = 0x00040000u, kWriteOwner = 0x00080000u;
  uint32_t standard = kDelete | kWriteDac | kWriteOwner;
  if (manager) return standard | kManagerCreateService | kManagerModifyBootConfig | kManagerLock;
  return standard | kServiceChangeConfig | kServiceStart | kServiceStop | kServicePauseContinue |
         kServiceUserDefinedControl;
}

bool ValidName(const std::u16string &name) {
  if (name.empty() || name.size() > 256) return false;
  for (char16_t c : name)
    if (c == u'\\' || c == u'/') return false;
  return true;
}

bool DriverType(uint32_t type) { return type == kKernelDriver || type == kFileSystemDriver; }

bool ValidType(uint32_t type) {
  if (DriverType(type)) return true;
  uint32_t base = type & ~kInteractiveProcess;
  return base == kWin32OwnProcess || base == kWin32ShareProcess;
}

void PutCounted(std::vector<uint8_t> *out, const std::u16string &text) {
  uint32_t count = static_cast<uint32_t>(text.size());
  const uint8_t *p = reinterpret_cast<const uint8_t *>(&count);
  out->insert(out->end(), p, p + sizeof count);
  const uint8_t *t = reinterpret_cast<const uint8_t *>(text.data());
  out->insert(out->end(), t, t + text.size() * 2);
}

}  // namespace

ServiceManager &ServiceManager::Instance() {
  static ServiceManager manager;
  return manager;
}

const ServiceManager::Handle *ServiceManager::Find(const Caller &caller, uint64_t handle,
                                                   bool manager) const {
  auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.pid != caller.pid || it->second.manager != manager)
    return nullptr;
  return &it->second;
}

uint64_t ServiceManager::NewHandle(const Caller &caller, bool manager,
                                   const std::u16string &service, uint32_t access) {
  // Numbers start at a random point for each start of the daemon, so that
  // a handle of an earlier system is not taken for one of this one.
  if (nextHandle_ == 0) nextHandle_ = (std::random_device{}() & 0xFFFFu) * 0x10000u + 0x10000u;
  uint64_t handle = (nextHandle_ += 4);
  handles_[handle] = Handle{caller.pid, manager, service, access};
  return handle;
}

bool ServiceManager::MarkedLocked(const std::u16string &name) const {
  RegistryKey key;
  ULONG flag = 0;
  return NT_SUCCESS(key.Open(ServiceKeyPath(name))) && key.Dword(u"DeleteFlag", &flag) && flag;
}

bool ServiceManager::HandleOpenLocked(const std::u16string &name) const {
  for (auto &[value, h] : handles_)
    if (!h.manager && SameName(h.service, name)) return true;
  return false;
}

void ServiceManager::DeleteIfUnusedLocked(const std::u16string &name) {
  if (!MarkedLocked(name) || HandleOpenLocked(name) || ServiceRunning(name)) return;
  RegistryKey key;
  if (NT_SUCCESS(key.Open(ServiceKeyPath(name)))) key.DeleteTree();
}

uint32_t ServiceManager::OpenManager(const Caller &caller, uint32_t access, uint64_t *handle) {
  uint32_t rights = MapAccess(access, true);
  if (rights & ~kManagerAllAccess & ~0x001F0000u) return ERROR_ACCESS_DENIED;
  if (!caller.administrator && (rights & AdministratorRights(true))) return ERROR_ACCESS_DENIED;
  std::lock_guard<std::mutex> guard(lock_);
  *handle = NewHandle(caller, true, {}, rights | kManagerConnect);
  return ERROR_SUCCESS;
}

uint32_t ServiceManager::Create(const Caller &caller, uint64_t manager, uint32_t access,
                                const CreateFields &f, uint64_t *handle) {
  std::lock_guard<std::mutex> guard(lock_);
  const Handle *m = Find(caller, manager, true);
  if (!m) return ERROR_INVALID_HANDLE;
  if (!(m->access & kManagerCreateService)) return ERROR_ACCESS_DENIED;
  if (!ValidName(f.name)) return ERROR_INVALID_NAME;
  if (!ValidType(f.type) || f.start > kDisabled || f.errorControl > kErrorCritical)
    return ERROR_INVALID_PARAMETER;
  // Boot and system start are for drivers; an interactive service runs in
  // its own or a shared process.
  if (f.start < kAutoStart && !DriverType(f.type)) return ERROR_INVALID_PARAMETER;
  if (f.binaryPath.empty()) return ERROR_INVALID_PARAMETER;
  if (f.hasDisplayName && f.displayName.size() > 256) return ERROR_INVALID_NAME;
  uint32_t rights = MapAccess(access, false);
  if (!caller.administrator && (rights & AdministratorRights(false))) return ERROR_ACCESS_DENIED;

  // (A key with no Type, which a driver loaded by hand leaves, becomes the
  // service.)
  std::u16string existing;
  if (FindServiceKey(f.name, &existing))
    return MarkedLocked(existing) ? ERROR_SERVICE_MARKED_FOR_DELETE : ERROR_SERVICE_EXISTS;
  // A display name names one service only, and is no other's key name.
  const std::u16string display = f.hasDisplayName && !f.displayName.empty() ? f.displayName : f.name;
  for (const std::u16string &other : ServiceNames()) {
    std::u16string otherDisplay, stored;
    if (!FindServiceKey(other, &stored)) continue;  // no service
    RegistryKey key;
    if (NT_SUCCESS(key.Open(ServiceKeyPath(other))) && key.String(u"DisplayName", &otherDisplay) &&
        (SameName(otherDisplay, display) || SameName(otherDisplay, f.name)))
      return ERROR_DUPLICATE_SERVICE_NAME;
    if (SameName(other, display)) return ERROR_DUPLICATE_SERVICE_NAME;
  }

  RegistryKey key;
  NTSTATUS status = key.Create(ServiceKeyPath(f.name));
  if (NT_SUCCESS(status)) status = key.SetDword(u"Type", f.type);
  if (NT_SUCCESS(status)) status = key.SetDword(u"Start", f.start);
  if (NT_SUCCESS(status)) status = key.SetDword(u"ErrorControl", f.errorControl);
  if (NT_SUCCESS(status))
    status = key.SetString(u"ImagePath",
                           DriverType(f.type) ? DriverImagePath(f.binaryPath) : f.binaryPath,
                           REG_EXPAND_SZ);
  if (NT_SUCCESS(status)) status = key.SetString(u"DisplayName", display);
  if (NT_SUCCESS(status) && f.hasGroup && !f.group.empty())
    status = key.SetString(u"Group", f.group);
  if (NT_SUCCESS(status) && !f.dependencies.empty())
    status = key.SetMultiString(u"DependOnService", f.dependencies);
  if (NT_SUCCESS(status) && f.hasStartName && !f.startName.empty())
    status = key.SetString(u"ObjectName", f.startName);
  if (!NT_SUCCESS(status)) {
    // No half-made service is left.
    if (key.IsOpen()) key.DeleteTree();
    return Win32ErrorOf(status);
  }
  *handle = NewHandle(caller, false, f.name, rights);
  return ERROR_SUCCESS;
}

uint32_t ServiceManager::Open(const Caller &caller, uint64_t manager, const std::u16string &name,
                              uint32_t access, uint64_t *handle) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!Find(caller, manager, true)) return ERROR_INVALID_HANDLE;
  if (!ValidName(name)) return ERROR_INVALID_NAME;
  std::u16string stored;
  if (!FindServiceKey(name, &stored)) return ERROR_SERVICE_DOES_NOT_EXIST;
  uint32_t rights = MapAccess(access, false);
  if (!caller.administrator && (rights & AdministratorRights(false))) return ERROR_ACCESS_DENIED;
  *handle = NewHandle(caller, false, stored, rights);
  return ERROR_SUCCESS;
}

uint32_t ServiceManager::QueryStatus(const Caller &caller, uint64_t handle,
                                     wire::ServiceStatusRecord *status) {
  std::lock_guard<std::mutex> guard(lock_);
  const Handle *h = Find(caller, handle, false);
  if (!h) return ERROR_INVALID_HANDLE;
  if (!(h->access & kServiceQueryStatus)) return ERROR_ACCESS_DENIED;
  RegistryKey key;
  ULONG type = 0;
  if (!NT_SUCCESS(key.Open(ServiceKeyPath(h->service)))) return ERROR_SERVICE_DOES_NOT_EXIST;
  key.Dword(u"Type", &type);
  bool running = ServiceRunning(h->service);
  *status = {};
  status->type = type;
  status->currentState = running ? kStateRunning : kStateStopped;
  status->controlsAccepted = running ? kAcceptStop : 0;
  return ERROR_SUCCESS;
}

uint32_t ServiceManager::QueryConfig(const Caller &caller, uint64_t handle,
                                     std::vector<uint8_t> *answer) {
  std::lock_guard<std::mutex> guard(lock_);
  const Handle *h = Find(caller, handle, false);
  if (!h) return ERROR_INVALID_HANDLE;
  if (!(h->access & kServiceQueryConfig)) return ERROR_ACCESS_DENIED;
  RegistryKey key;
  if (!NT_SUCCESS(key.Open(ServiceKeyPath(h->service)))) return ERROR_SERVICE_DOES_NOT_EXIST;
  wire::ServiceConfigInput fields{};
  ULONG value = 0;
  if (key.Dword(u"Type", &value)) fields.type = value;
  if (key.Dword(u"Start", &value)) fields.start = value;
  if (key.Dword(u"ErrorControl", &value)) fields.errorControl = value;
  if (key.Dword(u"Tag", &value)) fields.tagId = value;
  std::u16string path, group, startName, display;
  std::vector<std::u16string> dependencies;
  key.String(u"ImagePath", &path);
  key.String(u"Group", &group);
  key.MultiString(u"DependOnService", &dependencies);
  key.String(u"ObjectName", &startName);
  if (!key.String(u"DisplayName", &display)) display = h->service;
  std::u16string multi;
  for (auto &d : dependencies) multi += d + u'\0';
  if (!multi.empty()) multi.pop_back();  // the client puts the terminators back
  answer->resize(sizeof fields);
  memcpy(answer->data(), &fields, sizeof fields);
  for (const std::u16string *text : {&path, &group, &multi, &startName, &display})
    PutCounted(answer, *text);
  return ERROR_SUCCESS;
}

uint32_t ServiceManager::Delete(const Caller &caller, uint64_t handle) {
  std::lock_guard<std::mutex> guard(lock_);
  const Handle *h = Find(caller, handle, false);
  if (!h) return ERROR_INVALID_HANDLE;
  if (!(h->access & kDeleteRight)) return ERROR_ACCESS_DENIED;
  RegistryKey key;
  if (!NT_SUCCESS(key.Open(ServiceKeyPath(h->service)))) return ERROR_SERVICE_DOES_NOT_EXIST;
  ULONG flag = 0;
  if (key.Dword(u"DeleteFlag", &flag) && flag) return ERROR_SERVICE_MARKED_FOR_DELETE;
  // The key goes when the service has stopped and its last handle closed,
  // or at the next start of the system.
  NTSTATUS status = key.SetDword(u"DeleteFlag", 1);
  return NT_SUCCESS(status) ? ERROR_SUCCESS : Win32ErrorOf(status);
}

uint32_t ServiceManager::Close(const Caller &caller, uint64_t handle) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = handles_.find(handle);
  if (it == handles_.end() || it->second.pid != caller.pid) return ERROR_INVALID_HANDLE;
  std::u16string service = it->second.manager ? std::u16string() : it->second.service;
  handles_.erase(it);
  if (!service.empty()) DeleteIfUnusedLocked(service);
  return ERROR_SUCCESS;
}

void ServiceManager::ProcessEnded(uint32_t pid) {
  std::lock_guard<std::mutex> guard(lock_);
  std::vector<std::u16string> services;
  for (auto it = handles_.begin(); it != handles_.end();) {
    if (it->second.pid != pid) {
      ++it;
      continue;
    }
    if (!it->second.manager) services.push_back(it->second.service);
    it = handles_.erase(it);
  }
  for (auto &s : services) DeleteIfUnusedLocked(s);
}

std::vector<std::string> ServiceManager::BootFailures() {
  std::lock_guard<std::mutex> guard(lock_);
  return bootFailures_;
}

}  // namespace bw
