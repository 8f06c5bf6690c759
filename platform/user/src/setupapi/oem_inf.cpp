// SetupUninstallOEMInfW: takes an INF out of the store, unless a device
// still uses it and the caller does not force it.
#include "platform/user/src/setupapi/device_client.h"
#include "platform/user/src/setupapi/inf_file.h"
#include "platform/user/src/setupapi/inf_store.h"
#include "platform/user/src/setupapi/setup_paths.h"
#include "setupapi.h"

using namespace bw;
using namespace bw::setup;

namespace {

bool InUse(std::u16string_view name) {
  std::vector<DeviceEntry> devices;
  if (!ListDevices(&devices)) return false;
  for (const auto &d : devices) {
    DWORD type;
    std::vector<uint8_t> data;
    if (!GetDeviceValue(d.instanceId, u"InfPath", true, &type, &data)) continue;
    std::u16string path(reinterpret_cast<const char16_t *>(data.data()), data.size() / 2);
    while (!path.empty() && !path.back()) path.pop_back();
    if (inf::EqualNoCase(path, name)) return true;
  }
  return false;
}

}  // namespace

extern "C" BOOL WINAPI SetupUninstallOEMInfW(PCWSTR InfFileName, DWORD Flags, PVOID Reserved) {
  if (!InfFileName || Reserved) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (Flags & ~SUOI_FORCEDELETE) {
    SetLastError(ERROR_INVALID_FLAGS);
    return FALSE;
  }
  // Only the store's own copies: a bare "oemN.inf", never a path.
  std::u16string name(InfFileName);
  if (!IsOemInfName(name)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::u16string path = InfStoreFolder() + u"\\" + name;
  if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (!(Flags & SUOI_FORCEDELETE) && InUse(name)) {
    SetLastError(ERROR_INF_IN_USE_BY_DEVICES);
    return FALSE;
  }
  if (!DeleteFileW(path.c_str())) return FALSE;
  // The compiled form setup may keep beside it goes too.
  std::u16string pnf = path.substr(0, path.size() - 4) + u".pnf";
  DeleteFileW(pnf.c_str());
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}
