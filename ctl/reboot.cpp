// Restarting the machine: the caller's shutdown privilege is enabled
// first, as Windows asks of anybody who restarts it.
#include "ctl/ramctl_internal.h"

namespace {

constexpr DWORD kReason =
    SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_OPERATINGSYSTEM | SHTDN_REASON_MINOR_UPGRADE;

bool EnableShutdownPrivilege() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return false;
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  bool ok = LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid) &&
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) &&
            GetLastError() == ERROR_SUCCESS;  // ERROR_NOT_ALL_ASSIGNED: not held
  ramctl::KeepError keep;
  CloseHandle(token);
  return ok;
}

}  // namespace

RAMCTL_API RAMCTL_BOOL WINAPI RamctlReboot(uint8_t Force) {
  if (!EnableShutdownPrivilege()) return 0;
  return ExitWindowsEx(Force ? EWX_REBOOT | EWX_FORCE : EWX_REBOOT, kReason) ? 1 : 0;
}
