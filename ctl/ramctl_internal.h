// What the library's files share: the process's state (device handle,
// lock, volume cache), the request helpers and the error conventions.
#pragma once

#include "ctl/ramctl.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ramctl {

// The library lock: initialisation, the cache, unmounting, link deletion,
// the letter search and notification handling. Recursive, so a routine
// under it may call another that takes it.
class LibraryLock {
 public:
  LibraryLock();
  ~LibraryLock();
  LibraryLock(const LibraryLock &) = delete;
  LibraryLock &operator=(const LibraryLock &) = delete;
};

// The engine's control device, INVALID_HANDLE_VALUE until RamctlInitialize
// opened it; requests before then fail on the invalid handle, as the
// system answers them.
HANDLE Device();
void SetDevice(HANDLE device);

// Keeps the calling thread's last error across clean-up that may change it.
class KeepError {
 public:
  KeepError() : error_(GetLastError()) {}
  ~KeepError() { SetLastError(error_); }
  KeepError(const KeepError &) = delete;
  KeepError &operator=(const KeepError &) = delete;

 private:
  DWORD error_;
};

// Sets the last error and returns a failed result.
RAMCTL_BOOL Fail(DWORD error);

// One control request on the device; false with the system's error.
bool Control(uint32_t code, const void *input, uint32_t inputLength, void *output, uint32_t outputLength,
             DWORD *returned);
// A variable reply: size probe, then the request with a buffer of that size
// (asked again when the reply grew in between). The bytes go to *reply.
bool ControlWithProbe(uint32_t code, const void *input, uint32_t inputLength, std::vector<uint8_t> *reply);

// The engine's record of a volume.
bool QueryVolume(uint64_t handle, VolumeInfoReply *reply);

// A path in the NT form the engine takes: "\??\" before a path that does
// not start with a backslash. Null stays empty. False when the result
// cannot be carried by a 16-bit byte length.
bool NtPathOf(LPCWSTR path, std::u16string *nt);
// The bytes of a string (UTF-16 without terminator, or ANSI); false when
// longer than a 16-bit byte length.
bool WideBytes(const std::u16string &text, EngineBytes *bytes);
bool AnsiBytes(LPCSTR text, EngineBytes *bytes);

// New zero-filled memory of the process heap (null with
// ERROR_NOT_ENOUGH_MEMORY).
void *NewBlock(size_t bytes);

//
// The volume cache (volume_cache.cpp). Callers hold the library lock.
//

struct CachedVolume {
  uint32_t stateFlags = 0;
  uint32_t properties = 0;
  WCHAR letter = 0;  // upper case
  uint32_t algorithmId = 0;
  uint32_t keyLength = 0;
  uint32_t blockSize = 0;
  uint64_t size = 0;
  uint32_t pagingUseCount = 0;
  bool sessionLocal = false;
  uint32_t sessionId = 0;
  uint64_t logonSessionId = 0;
  uint8_t additionalCount = 0;
  WCHAR additional[ENGINE_MAX_ADDITIONAL_LETTERS] = {};
};

std::map<uint64_t, CachedVolume> &Cache();
// Queries the volume and puts it in the cache under its handle.
bool CacheAdd(uint64_t handle);
// Re-reads a cached volume; false (nothing changed) when it is not cached
// or the query failed.
bool CacheRefreshOne(uint64_t handle);
// Lists the engine's volumes and fills the cache afresh with them.
bool CacheRefresh();
// The cached record, or null with ERROR_OBJECT_NOT_FOUND.
CachedVolume *CacheFind(uint64_t handle);

//
// Links (links.cpp).
//

// The logon session of the calling thread: its impersonation token's, else
// its process's.
bool CallerLogonSession(uint64_t *id);
// Tells the desktop's windows that a letter arrived or went.
bool BroadcastLetter(WCHAR letter, bool arrived);

}  // namespace ramctl
