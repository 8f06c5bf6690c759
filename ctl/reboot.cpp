// Restarting the machine: the caller's shutdown privilege is enabled
// first, as Windows asks of anybody who restarts it.
#include "ctl/ramctl_internal.h"

// The system's restart lives in user32; until this system's has it, the
// library asks for it at load time and does without.
extern "C" BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason) __attribute__((weak));

namespace {

constexpr UINT kRestart = 0x2;        // EWX_REBOOT
constexpr UINT kForce = 0x4;          // EWX_FORCE
constexpr DWORD kReason = 0x80020003;  // planned, operating system, upgrade

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
  if (!ExitWindowsEx) return ramctl::Fail(ERROR_CALL_NOT_IMPLEMENTED);
  return ExitWindowsEx(Force ? kRestart | kForce : kRestart, kReason) ? 1 : 0;
}
