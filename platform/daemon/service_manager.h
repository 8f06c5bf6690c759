// The service control manager: services are the keys under
// "\Registry\Machine\System\CurrentControlSet\Services"; a kernel driver
// service runs while its driver is loaded. Handles belong to the client
// process that opened them and close with it. Every answer is a Win32
// error (ERROR_SUCCESS when the call succeeded), as the manager's RPC
// interface answers on Windows.
#pragma once

#include "platform/transport/wire.h"

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace bw {

class ServiceManager {
 public:
  // Who calls: the client process, and whether its token is an
  // administrator's (the Administrators group enabled in it).
  struct Caller {
    uint32_t pid = 0;
    bool administrator = false;
  };
  struct CreateFields {
    uint32_t type = 0, start = 0, errorControl = 0;
    std::u16string name, displayName, binaryPath, group, startName;
    bool hasDisplayName = false, hasGroup = false, hasStartName = false;
    std::vector<std::u16string> dependencies;
  };

  static ServiceManager &Instance();

  uint32_t OpenManager(const Caller &caller, uint32_t access, uint64_t *handle);
  uint32_t Create(const Caller &caller, uint64_t manager, uint32_t access,
                  const CreateFields &fields, uint64_t *handle);
  uint32_t Open(const Caller &caller, uint64_t manager, const std::u16string &name,
                uint32_t access, uint64_t *handle);
  uint32_t Start(const Caller &caller, uint64_t handle);
  uint32_t Control(const Caller &caller, uint64_t handle, uint32_t control);
  uint32_t QueryStatus(const Caller &caller, uint64_t handle, wire::ServiceStatusRecord *status);
  // The configuration as ServiceConfigInput and five counted strings.
  uint32_t QueryConfig(const Caller &caller, uint64_t handle, std::vector<uint8_t> *answer);
  uint32_t Delete(const Caller &caller, uint64_t handle);
  uint32_t Close(const Caller &caller, uint64_t handle);
  // The process ended: its handles close.
  void ProcessEnded(uint32_t pid);

  // The boot's part: services marked for deletion go; then the drivers of
  // `startType` (boot 0, system 1, auto 2) start, by load-order group
  // (Control\ServiceGroupOrder\List, written at the first boot), then by
  // tag and name. Failures are logged to stderr and kept.
  void RemoveMarkedServices();
  void StartServicesOfType(uint32_t startType);
  // "<service>: <error>" for each driver that failed at boot.
  std::vector<std::string> BootFailures();

 private:
  struct Handle {
    uint32_t pid;
    bool manager;
    std::u16string service;  // the key's name as created
    uint32_t access;
  };
  const Handle *Find(const Caller &caller, uint64_t handle, bool manager) const;
  uint64_t NewHandle(const Caller &caller, bool manager, const std::u16string &service,
                     uint32_t access);
  uint32_t StartLocked(const std::u16string &name, int depth);
  bool MarkedLocked(const std::u16string &name) const;
  // Deletes a marked service's key once it is stopped and no handle is open.
  void DeleteIfUnusedLocked(const std::u16string &name);
  bool HandleOpenLocked(const std::u16string &name) const;

  mutable std::mutex lock_;
  std::map<uint64_t, Handle> handles_;
  uint64_t nextHandle_ = 0;
  std::vector<std::string> bootFailures_;
};

}  // namespace bw
