// The volume engine as a kernel service: its driver file copied into the
// system's Drivers folder, its service created, started and deleted.
#include "ctl/install_internal.h"

namespace ramctl {
namespace {

constexpr WCHAR kEngineService[] = u"RamvolEngine";
constexpr WCHAR kEngineGroup[] = u"SCSI Class";
// A multi-string: the bus's service, the one the engine depends on.
constexpr WCHAR kEngineDependencies[] = u"BWRDPort\0";

// System folder + "Drivers" + the file-name part of the driver path.
bool EngineDriverTarget(LPCWSTR driverPath, WCHAR target[MAX_PATH]) {
  UINT length = GetSystemDirectoryW(target, MAX_PATH);
  if (length == 0) return false;
  if (length >= MAX_PATH) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (!PathAppendW(target, u"Drivers") || !PathAppendW(target, PathFindFileNameW(driverPath)))
    return Fail(ERROR_FILENAME_EXCED_RANGE);
  return true;
}

}  // namespace

bool DeleteAtRestart(LPCWSTR path) {
  if (!PathFileExistsW(path)) return true;
  return MoveFileExW(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) != FALSE;
}

bool InstallEngineService(LPCWSTR displayName, uint8_t startAtBoot, LPCWSTR driverPath) {
  if (driverPath == nullptr || displayName == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  WCHAR target[MAX_PATH];
  if (!EngineDriverTarget(driverPath, target)) return false;
  if (!CopyFileW(driverPath, target, FALSE)) return false;
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (!manager) return false;
  ServiceHandle service(CreateServiceW(manager.get(), kEngineService, displayName, 0, SERVICE_KERNEL_DRIVER,
                                       startAtBoot ? SERVICE_SYSTEM_START : SERVICE_DEMAND_START,
                                       SERVICE_ERROR_NORMAL, target, kEngineGroup, nullptr,
                                       kEngineDependencies, nullptr, nullptr));
  // An engine service that exists keeps its configuration; the copy above
  // has already replaced its file.
  return service || GetLastError() == ERROR_SERVICE_EXISTS;
}

bool RemoveEngineService(LPCWSTR driverPath) {
  {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ServiceHandle service(OpenServiceW(manager.get(), kEngineService, DELETE));
    if (service) {
      if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) return false;
    } else if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
      return false;
    }
  }
  if (driverPath == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  WCHAR target[MAX_PATH];
  return EngineDriverTarget(driverPath, target) && DeleteAtRestart(target);
}

bool StartEngineService() {
  ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (!manager) return false;
  ServiceHandle service(OpenServiceW(manager.get(), kEngineService, SERVICE_START));
  if (!service) return false;
  return StartServiceW(service.get(), 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
}

}  // namespace ramctl
