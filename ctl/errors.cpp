// The library's failures: the reason is the calling thread's last error,
// set by the library or taken over from the system call that failed.
#include "ctl/ramctl_internal.h"

namespace ramctl {

RAMCTL_BOOL Fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace ramctl

RAMCTL_API uint32_t WINAPI RamctlGetErrorCode(void) { return GetLastError(); }
