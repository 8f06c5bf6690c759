// Enables SeShutdownPrivilege in the calling process's token, as a program
// must before ExitWindowsEx.
#pragma once

#include <windows.h>

namespace bw::test {

inline bool EnableShutdownPrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  TOKEN_PRIVILEGES shutdown = {};
  shutdown.PrivilegeCount = 1;
  shutdown.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool ok = LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &shutdown.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &shutdown, 0, nullptr, nullptr) &&
            GetLastError() == ERROR_SUCCESS;
  CloseHandle(token);
  return ok;
}

}  // namespace bw::test
