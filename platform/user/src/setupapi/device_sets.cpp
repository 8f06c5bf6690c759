// The table of device information sets.
#include "platform/user/src/setupapi/device_sets.h"

#include <atomic>

namespace bw::setup {

namespace {
std::map<HDEVINFO, std::unique_ptr<DeviceInfoSet>> &Sets() {
  static auto *sets = new std::map<HDEVINFO, std::unique_ptr<DeviceInfoSet>>;
  return *sets;
}
std::atomic<DWORD> gNextDevInst{1};
}  // namespace

std::mutex &SetsLock() {
  static std::mutex lock;
  return lock;
}

HDEVINFO RegisterSet(std::unique_ptr<DeviceInfoSet> set) {
  HDEVINFO handle = set.get();
  Sets()[handle] = std::move(set);
  return handle;
}

DeviceInfoSet *FindSet(HDEVINFO handle) {
  auto it = Sets().find(handle);
  if (it == Sets().end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return it->second.get();
}

bool ReleaseSet(HDEVINFO handle) { return Sets().erase(handle) > 0; }

DeviceElement *FindElement(DeviceInfoSet &set, PSP_DEVINFO_DATA data) {
  if (!data) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (data->cbSize != sizeof(SP_DEVINFO_DATA)) {
    SetLastError(ERROR_INVALID_USER_BUFFER);
    return nullptr;
  }
  for (auto &e : set.elements)
    if (e->devInst == data->DevInst) return e.get();
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

void Describe(const DeviceElement &element, PSP_DEVINFO_DATA data) {
  data->ClassGuid = element.classGuid;
  data->DevInst = element.devInst;
  data->Reserved = reinterpret_cast<ULONG_PTR>(&element);
}

DWORD NewDevInst() { return gNextDevInst++; }

}  // namespace bw::setup
