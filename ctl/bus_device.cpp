// The virtual disk bus as a root-enumerated Plug and Play device: found or
// registered, given its driver from the product's INF, and removed again
// with its driver's service, its installed INF and its files.
#include "ctl/install_internal.h"

#include <string>
#include <vector>

namespace ramctl {
namespace {

constexpr WCHAR kBusHardwareId[] = u"Root\\BWRD";

struct InfClass {
  GUID guid;
  WCHAR name[32];
};

bool ReadInfClass(LPCWSTR infPath, InfClass *inf) {
  return SetupDiGetINFClassW(infPath, &inf->guid, inf->name, 32, nullptr) != FALSE;
}

// Whether the device's hardware ids name the bus; false with the reason
// when they cannot be read.
bool ReadIsBus(HDEVINFO set, SP_DEVINFO_DATA *device, bool *isBus) {
  // Room for 200 bytes of ids, and zeros after them whatever they hold.
  BYTE ids[200 + 4] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_HARDWAREID, nullptr, ids, 200, nullptr))
    return false;
  *isBus = StrStrIW(reinterpret_cast<LPCWSTR>(ids), kBusHardwareId) != nullptr;
  return true;
}

// Every device of the class, present or not, is looked at; a device whose
// ids cannot be read ends the search without a find.
bool BusDeviceExists(const InfClass &inf) {
  DeviceInfoSet set(SetupDiGetClassDevsW(&inf.guid, nullptr, nullptr, 0));
  if (!set) return false;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &device); ++i) {
    bool isBus = false;
    if (!ReadIsBus(set.get(), &device, &isBus)) return false;
    if (isBus) return true;
  }
  return false;
}

// A new device element of the class, its hardware id the bus's, registered
// with the system; the element goes, the registered device stays.
bool RegisterBusDevice(const InfClass &inf) {
  DeviceInfoSet set(SetupDiCreateDeviceInfoList(&inf.guid, nullptr));
  if (!set) return false;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  if (!SetupDiCreateDeviceInfoW(set.get(), inf.name, &inf.guid, nullptr, nullptr, DICD_GENERATE_ID, &device))
    return false;
  // The nine characters and one terminating zero: 20 bytes.
  bool ok = SetupDiSetDeviceRegistryPropertyW(set.get(), &device, SPDRP_HARDWAREID,
                                              reinterpret_cast<const BYTE *>(kBusHardwareId), 20) &&
            SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.get(), &device);
  KeepError keep;
  SetupDiDeleteDeviceInfo(set.get(), &device);
  return ok;
}

// Removes the installed copies of the INFs of the device's compatible
// drivers.
bool UninstallDriverInfs(HDEVINFO set, SP_DEVINFO_DATA *device) {
  if (!SetupDiBuildDriverInfoList(set, device, SPDIT_COMPATDRIVER)) return false;
  bool ok = true;
  SP_DRVINFO_DATA_W driver = {};
  driver.cbSize = sizeof driver;
  for (DWORD i = 0;; ++i) {
    if (!SetupDiEnumDriverInfoW(set, device, SPDIT_COMPATDRIVER, i, &driver)) {
      ok = GetLastError() == ERROR_NO_MORE_ITEMS;
      break;
    }
    // The record's fixed part, the INF's name among it, is filled even when
    // the hardware ids after it do not fit.
    SP_DRVINFO_DETAIL_DATA_W detail = {};
    detail.cbSize = sizeof detail;
    if (!SetupDiGetDriverInfoDetailW(set, device, &driver, &detail, sizeof detail, nullptr) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
      ok = false;
      break;
    }
    if (!SetupUninstallOEMInfW(PathFindFileNameW(detail.InfFileName), SUOI_FORCEDELETE, nullptr)) {
      ok = false;
      break;
    }
  }
  KeepError keep;
  SetupDiDestroyDriverInfoList(set, device, SPDIT_COMPATDRIVER);
  return ok;
}

// Deletes the device's function-driver service and schedules its file's
// deletion at the next restart.
bool RemoveFunctionDriver(HDEVINFO set, SP_DEVINFO_DATA *device) {
  WCHAR serviceName[MAX_PATH + 2] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(set, device, SPDRP_SERVICE, nullptr,
                                         reinterpret_cast<BYTE *>(serviceName), MAX_PATH * sizeof(WCHAR),
                                         nullptr))
    return GetLastError() == ERROR_INVALID_DATA;  // a device without a function driver
  WCHAR binary[MAX_PATH] = {};
  {
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return false;
    ServiceHandle service(OpenServiceW(manager.get(), serviceName, DELETE | SERVICE_QUERY_CONFIG));
    if (!service) return GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
    alignas(QUERY_SERVICE_CONFIGW) BYTE config[584];
    DWORD needed = 0;
    auto *record = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(config);
    if (!QueryServiceConfigW(service.get(), record, sizeof config, &needed)) return false;
    if (record->lpBinaryPathName != nullptr) {
      if (lstrlenW(record->lpBinaryPathName) >= MAX_PATH) return Fail(ERROR_INSUFFICIENT_BUFFER);
      memcpy(binary, record->lpBinaryPathName, (lstrlenW(record->lpBinaryPathName) + 1) * sizeof(WCHAR));
    }
    if (!DeleteService(service.get()) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE) return false;
  }
  if (binary[0] == 0) return true;
  LPCWSTR rest = StrCmpNIW(binary, u"\\SystemRoot", 11) == 0 ? binary + 11 : binary;
  WCHAR file[MAX_PATH];
  UINT length = GetWindowsDirectoryW(file, MAX_PATH);
  if (length == 0) return false;
  if (length >= MAX_PATH || !PathAppendW(file, rest)) return Fail(ERROR_FILENAME_EXCED_RANGE);
  return DeleteAtRestart(file);
}

// The file names of the INF's "SourceDisksFiles" section: the text left of
// each line's first equals sign, without blanks around it.
bool ReadSourceFiles(LPCWSTR infPath, std::vector<std::u16string> *names) {
  WCHAR section[1024] = {};
  DWORD length = GetPrivateProfileSectionW(u"SourceDisksFiles", section, 1024, infPath);
  if (length == 0) return Fail(ERROR_INSTALL_SOURCE_ABSENT);
  for (LPCWSTR line = section; *line != 0; line += lstrlenW(line) + 1) {
    std::u16string text(line);
    size_t equals = text.find(u'=');
    if (equals == std::u16string::npos) return Fail(ERROR_INSTALL_PACKAGE_INVALID);
    std::u16string name = text.substr(0, equals);
    size_t first = name.find_first_not_of(u" \t");
    size_t last = name.find_last_not_of(u" \t");
    if (first == std::u16string::npos) return Fail(ERROR_INSTALL_PACKAGE_INVALID);
    names->push_back(name.substr(first, last - first + 1));
  }
  return true;
}

// Schedules the deletion of the files the INF copied into its default
// target folder.
bool DeleteBusFiles(LPCWSTR infPath) {
  HINF inf = SetupOpenInfFileW(infPath, nullptr, INF_STYLE_WIN4, nullptr);
  if (inf == INVALID_HANDLE_VALUE) return false;
  DWORD size = 0;
  std::vector<WCHAR> folder;
  bool ok = SetupGetTargetPathW(inf, nullptr, nullptr, nullptr, 0, &size) != FALSE;
  if (ok) {
    folder.assign(size + 1, 0);
    ok = SetupGetTargetPathW(inf, nullptr, nullptr, folder.data(), size, nullptr) != FALSE;
  }
  {
    KeepError keep;
    SetupCloseInfFile(inf);
  }
  if (!ok) return false;
  std::vector<std::u16string> names;
  if (!ReadSourceFiles(infPath, &names)) return false;
  for (const std::u16string &name : names) {
    WCHAR file[MAX_PATH];
    if (PathCombineW(file, folder.data(), name.c_str()) == nullptr) return Fail(ERROR_INTERNAL_ERROR);
    if (!DeleteAtRestart(file)) return false;
  }
  return true;
}

}  // namespace

bool InstallBusDevice(LPCWSTR infPath, uint8_t *rebootNeeded) {
  if (infPath == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  InfClass inf;
  if (!ReadInfClass(infPath, &inf)) return false;
  if (!BusDeviceExists(inf) && !RegisterBusDevice(inf)) return false;
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kBusHardwareId, infPath, INSTALLFLAG_FORCE, &reboot))
    return false;
  if (rebootNeeded != nullptr) *rebootNeeded = reboot ? 1 : 0;
  return true;
}

bool RemoveBusDevice(LPCWSTR infPath) {
  if (infPath == nullptr) return Fail(ERROR_INVALID_PARAMETER);
  InfClass inf;
  if (!ReadInfClass(infPath, &inf)) return false;
  {
    DeviceInfoSet set(SetupDiGetClassDevsW(&inf.guid, nullptr, nullptr, 0));
    if (!set) return false;
    SP_DEVINFO_DATA device = {};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &device); ++i) {
      bool isBus = false;
      if (!ReadIsBus(set.get(), &device, &isBus) || !isBus) continue;
      SP_REMOVEDEVICE_PARAMS params = {};
      params.ClassInstallHeader.cbSize = sizeof params.ClassInstallHeader;
      params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
      params.Scope = DI_REMOVEDEVICE_GLOBAL;
      params.HwProfile = 0;
      if (!SetupDiSetClassInstallParamsW(set.get(), &device, &params.ClassInstallHeader, sizeof params) ||
          !UninstallDriverInfs(set.get(), &device) || !RemoveFunctionDriver(set.get(), &device) ||
          !SetupDiCallClassInstaller(DIF_REMOVE, set.get(), &device))
        return false;
    }
    if (GetLastError() != ERROR_NO_MORE_ITEMS) return false;
  }
  return DeleteBusFiles(infPath);
}

}  // namespace ramctl
