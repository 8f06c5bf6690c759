// Removing volumes: one, under the library lock, then its letter, whose
// removal completes it in the engine; or every volume in turn.
#include "ctl/ramctl_internal.h"

using namespace ramctl;

RAMCTL_API RAMCTL_BOOL WINAPI RamctlUnmountEx(uint64_t Handle, uint8_t Force, uint8_t Wipe) {
  if (!Handle) return Fail(ERROR_INVALID_PARAMETER);
  LibraryLock lock;
  if (!CacheFind(Handle)) return 0;
  UnmountRequest request{Handle, static_cast<uint8_t>(Force ? 1 : 0), static_cast<uint8_t>(Wipe ? 1 : 0)};
  if (!Control(IOCTL_ENGINE_UNMOUNT, &request, sizeof request, nullptr, 0, nullptr)) return 0;
  // A volume with a letter goes once its letter does.
  return RamctlDeleteLink(Handle, ENGINE_ALL_PARTITIONS);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlUnmount(uint64_t Handle, uint8_t Force) {
  return RamctlUnmountEx(Handle, Force, 0);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlUnmountAll(uint8_t Force, uint8_t Wipe, uint64_t *FailedHandle) {
  std::vector<uint64_t> handles;
  {
    LibraryLock lock;
    if (!CacheRefresh()) return 0;
    for (const auto &[handle, volume] : Cache()) handles.push_back(handle);
  }
  for (uint64_t handle : handles) {
    if (RamctlUnmountEx(handle, Force, Wipe)) continue;
    if (FailedHandle) *FailedHandle = handle;
    return 0;
  }
  return 1;
}
