// What the installation's files share: handles that close themselves
// without touching the caller's last error, and the two halves of the
// installation (the engine's service, the bus's device).
#pragma once

#include "ctl/ramctl_internal.h"

#include <newdev.h>
#include <setupapi.h>
#include <shlwapi.h>

namespace ramctl {

// A service control manager or service handle.
class ServiceHandle {
 public:
  explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
  ~ServiceHandle() {
    KeepError keep;
    if (handle_ != nullptr) CloseServiceHandle(handle_);
  }
  ServiceHandle(const ServiceHandle &) = delete;
  ServiceHandle &operator=(const ServiceHandle &) = delete;
  SC_HANDLE get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  SC_HANDLE handle_;
};

// A device information set.
class DeviceInfoSet {
 public:
  explicit DeviceInfoSet(HDEVINFO set) : set_(set) {}
  ~DeviceInfoSet() {
    KeepError keep;
    if (set_ != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set_);
  }
  DeviceInfoSet(const DeviceInfoSet &) = delete;
  DeviceInfoSet &operator=(const DeviceInfoSet &) = delete;
  HDEVINFO get() const { return set_; }
  explicit operator bool() const { return set_ != INVALID_HANDLE_VALUE; }

 private:
  HDEVINFO set_;
};

// Schedules a file's deletion at the next restart when it exists: the file
// of a driver that may still run is never deleted at once.
bool DeleteAtRestart(LPCWSTR path);

// The engine's kernel service and its driver file.
bool InstallEngineService(LPCWSTR displayName, uint8_t startAtBoot, LPCWSTR driverPath);
bool RemoveEngineService(LPCWSTR driverPath);
bool StartEngineService();

// The bus as a root-enumerated device with its driver from the INF.
bool InstallBusDevice(LPCWSTR infPath, uint8_t *rebootNeeded);
bool RemoveBusDevice(LPCWSTR infPath);

}  // namespace ramctl
