// The process's cache of the volumes it knows, by handle, each a copy of
// the engine's record. Callers hold the library lock.
#include "ctl/ramctl_internal.h"

#include "engine/protocol/engine_protocol.h"

namespace ramctl {

namespace {

CachedVolume FromReply(const VolumeInfoReply &reply) {
  CachedVolume v;
  v.stateFlags = reply.StateFlags;
  v.properties = reply.Properties;
  v.letter = static_cast<WCHAR>(reply.DriveLetter);
  v.algorithmId = reply.AlgorithmId;
  v.keyLength = reply.KeyLength;
  v.blockSize = reply.CipherBlockSize;
  v.size = reply.VolumeSize;
  v.pagingUseCount = reply.PagingUseCount;
  v.sessionLocal = reply.SessionLocal != 0;
  v.sessionId = reply.SessionId;
  v.logonSessionId = reply.LogonSessionId;
  v.additionalCount = reply.AdditionalLetterCount <= ENGINE_MAX_ADDITIONAL_LETTERS
                          ? reply.AdditionalLetterCount
                          : static_cast<uint8_t>(ENGINE_MAX_ADDITIONAL_LETTERS);
  for (uint32_t i = 0; i < ENGINE_MAX_ADDITIONAL_LETTERS; ++i)
    v.additional[i] = static_cast<WCHAR>(reply.AdditionalLetters[i]);
  return v;
}

}  // namespace

// Never destroyed: the notification thread lives as long as the process
// and may still be at work while the process's exit runs destructors.
std::map<uint64_t, CachedVolume> &Cache() {
  static auto *cache = new std::map<uint64_t, CachedVolume>;
  return *cache;
}

bool CacheAdd(uint64_t handle) {
  VolumeInfoReply reply{};
  if (!QueryVolume(handle, &reply)) return false;
  Cache()[handle] = FromReply(reply);
  return true;
}

bool CacheRefreshOne(uint64_t handle) {
  auto it = Cache().find(handle);
  if (it == Cache().end()) return false;
  VolumeInfoReply reply{};
  if (!QueryVolume(handle, &reply)) return false;
  it->second = FromReply(reply);
  return true;
}

bool CacheRefresh() {
  std::vector<uint8_t> list;
  if (!ControlWithProbe(IOCTL_ENGINE_LIST_VOLUMES, nullptr, 0, &list)) return false;
  Cache().clear();
  for (size_t at = 0; at + 8 <= list.size(); at += 8) {
    if (CacheAdd(EngineLoadLE<uint64_t>(list.data() + at))) continue;
    // A volume removed between the list and its query is simply gone; any
    // other failure ends the refresh.
    if (GetLastError() != ERROR_INVALID_HANDLE) return false;
  }
  return true;
}

CachedVolume *CacheFind(uint64_t handle) {
  auto it = Cache().find(handle);
  if (it == Cache().end()) {
    SetLastError(ERROR_OBJECT_NOT_FOUND);
    return nullptr;
  }
  return &it->second;
}

}  // namespace ramctl
