// The thread's last error and the system's NTSTATUS-to-Win32 translation.
#include <windows.h>

#include "nt/status_list.h"

namespace {
thread_local DWORD tLastError = ERROR_SUCCESS;
}

DWORD WINAPI GetLastError(VOID) { return tLastError; }
VOID WINAPI SetLastError(DWORD dwErrCode) { tLastError = dwErrCode; }

ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status) {
#define BW_TRANSLATE(name, value, win32) \
  if (static_cast<uint32_t>(Status) == static_cast<uint32_t>(value)) return win32;
  BW_STATUS_LIST(BW_TRANSLATE)
#undef BW_TRANSLATE
  // Win32 errors carried as statuses (0xC007xxxx) come back as themselves.
  if ((static_cast<uint32_t>(Status) & 0xFFFF0000u) == 0xC0070000u)
    return static_cast<uint32_t>(Status) & 0xFFFF;
  return ERROR_MR_MID_NOT_FOUND;
}
