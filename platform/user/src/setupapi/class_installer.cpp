// The class installer's requests this system serves: registering a new
// device (DIF_REGISTERDEVICE) and removing one (DIF_REMOVE with its
// SP_REMOVEDEVICE_PARAMS), and the class-install parameters they read.
#include "platform/user/src/setupapi/device_client.h"
#include "platform/user/src/setupapi/device_sets.h"

using namespace bw;
using namespace bw::setup;

namespace {

bool RegisterDevice(DeviceElement &element) {
  if (element.registered) {
    SetLastError(ERROR_DEVINST_ALREADY_EXISTS);
    return false;
  }
  std::string input;
  wire::PutText(&input, element.instanceId);
  for (const auto &[name, value] : element.pending)
    PutValue(&input, name, value.first, value.second.data(), value.second.size());
  if (!DeviceCall(wire::DeviceAction::Register, input)) return false;
  element.registered = true;
  element.pending.clear();
  return true;
}

bool RemoveDevice(DeviceElement &element, const std::vector<uint8_t> &params) {
  if (!element.registered || element.removed) {
    SetLastError(ERROR_NO_SUCH_DEVINST);
    return false;
  }
  DWORD scope = DI_REMOVEDEVICE_GLOBAL;
  if (!params.empty()) {
    SP_REMOVEDEVICE_PARAMS remove;
    memcpy(&remove, params.data(), sizeof remove);
    scope = remove.Scope;
  }
  std::string input;
  wire::PutText(&input, element.instanceId);
  wire::PutNumber(&input, scope);
  if (!DeviceCall(wire::DeviceAction::Remove, input)) return false;
  if (scope == DI_REMOVEDEVICE_GLOBAL) element.removed = true;
  return true;
}

}  // namespace

extern "C" BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                                    PSP_CLASSINSTALL_HEADER ClassInstallParams,
                                                    DWORD ClassInstallParamsSize) {
  std::lock_guard<std::mutex> guard(SetsLock());
  setup::DeviceInfoSet *set = FindSet(DeviceInfoSet);
  if (!set) return FALSE;
  std::vector<uint8_t> *target = &set->classInstallParams;
  if (DeviceInfoData) {
    DeviceElement *element = FindElement(*set, DeviceInfoData);
    if (!element) return FALSE;
    target = &element->classInstallParams;
  }
  // No parameters clears them.
  if (!ClassInstallParams) {
    if (ClassInstallParamsSize) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
    target->clear();
    return TRUE;
  }
  if (ClassInstallParamsSize < sizeof(SP_CLASSINSTALL_HEADER) ||
      ClassInstallParams->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return FALSE;
  }
  if (ClassInstallParams->InstallFunction == DIF_REMOVE) {
    auto *remove = reinterpret_cast<PSP_REMOVEDEVICE_PARAMS>(ClassInstallParams);
    if (ClassInstallParamsSize != sizeof(SP_REMOVEDEVICE_PARAMS) ||
        (remove->Scope != DI_REMOVEDEVICE_GLOBAL && remove->Scope != DI_REMOVEDEVICE_CONFIGSPECIFIC)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
    }
  }
  auto bytes = reinterpret_cast<const uint8_t *>(ClassInstallParams);
  target->assign(bytes, bytes + ClassInstallParamsSize);
  return TRUE;
}

extern "C" BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION InstallFunction, HDEVINFO DeviceInfoSet,
                                                PSP_DEVINFO_DATA DeviceInfoData) {
  std::lock_guard<std::mutex> guard(SetsLock());
  setup::DeviceInfoSet *set = FindSet(DeviceInfoSet);
  if (!set) return FALSE;
  if (InstallFunction != DIF_REGISTERDEVICE && InstallFunction != DIF_REMOVE) {
    // No class installer here does anything else.
    SetLastError(ERROR_DI_DO_DEFAULT);
    return FALSE;
  }
  DeviceElement *element = FindElement(*set, DeviceInfoData);
  if (!element) return FALSE;
  if (InstallFunction == DIF_REGISTERDEVICE) return RegisterDevice(*element);
  // The element's own parameters, else the set's, when they are for DIF_REMOVE.
  const std::vector<uint8_t> *params = &element->classInstallParams;
  if (params->empty()) params = &set->classInstallParams;
  std::vector<uint8_t> remove;
  if (params->size() == sizeof(SP_REMOVEDEVICE_PARAMS) &&
      reinterpret_cast<const SP_CLASSINSTALL_HEADER *>(params->data())->InstallFunction == DIF_REMOVE)
    remove = *params;
  return RemoveDevice(*element, remove);
}
