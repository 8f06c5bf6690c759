// Tokens as programs see them: the process's own primary token (a local
// handle that remembers the access it was opened for), the thread's
// impersonation token, which no thread here has, the privilege names and
// their ids, and the queries and privilege changes the daemon makes on the
// process's token in the kernel.
#include "platform/user/src/client/answer.h"
#include "platform/user/src/client/handles.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

using namespace bw;
using namespace bw::user;

namespace {

constexpr NTSTATUS kStatusNotAllAssigned = static_cast<NTSTATUS>(0x00000106);
constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);

std::mutex gTokenLock;
std::map<HANDLE, DWORD> gTokenAccess;  // the access each token handle was opened with

bool Fail(DWORD error) {
  SetLastError(error);
  return false;
}

// The access the handle grants, or false with the last error set when it
// is no token handle.
bool TokenAccess(HANDLE token, DWORD *access) {
  if (!LocalHandle(token, HandleKind::Token)) return Fail(ERROR_INVALID_HANDLE);
  std::lock_guard<std::mutex> guard(gTokenLock);
  auto it = gTokenAccess.find(token);
  *access = it == gTokenAccess.end() ? 0 : it->second;
  return true;
}

// The privileges Windows knows by name; their ids are the same on every
// system.
struct PrivilegeName {
  const char16_t *name;
  DWORD id;
};
constexpr PrivilegeName kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2},          {u"SeAssignPrimaryTokenPrivilege", 3},
    {u"SeLockMemoryPrivilege", 4},           {u"SeIncreaseQuotaPrivilege", 5},
    {u"SeMachineAccountPrivilege", 6},       {u"SeTcbPrivilege", 7},
    {u"SeSecurityPrivilege", 8},             {u"SeTakeOwnershipPrivilege", 9},
    {u"SeLoadDriverPrivilege", 10},          {u"SeSystemProfilePrivilege", 11},
    {u"SeSystemtimePrivilege", 12},          {u"SeProfileSingleProcessPrivilege", 13},
    {u"SeIncreaseBasePriorityPrivilege", 14}, {u"SeCreatePagefilePrivilege", 15},
    {u"SeCreatePermanentPrivilege", 16},     {u"SeBackupPrivilege", 17},
    {u"SeRestorePrivilege", 18},             {u"SeShutdownPrivilege", 19},
    {u"SeDebugPrivilege", 20},               {u"SeAuditPrivilege", 21},
    {u"SeSystemEnvironmentPrivilege", 22},   {u"SeChangeNotifyPrivilege", 23},
    {u"SeRemoteShutdownPrivilege", 24},      {u"SeUndockPrivilege", 25},
    {u"SeSyncAgentPrivilege", 26},           {u"SeEnableDelegationPrivilege", 27},
    {u"SeManageVolumePrivilege", 28},        {u"SeImpersonatePrivilege", 29},
    {u"SeCreateGlobalPrivilege", 30},        {u"SeTrustedCredManAccessPrivilege", 31},
    {u"SeRelabelPrivilege", 32},             {u"SeIncreaseWorkingSetPrivilege", 33},
    {u"SeTimeZonePrivilege", 34},            {u"SeCreateSymbolicLinkPrivilege", 35},
    {u"SeDelegateSessionUserImpersonatePrivilege", 36},
};

}  // namespace

BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess, PHANDLE TokenHandle) {
  if (!TokenHandle) return Fail(ERROR_INVALID_PARAMETER);
  // Only the process's own token: no other process's handle is had here.
  if (ProcessHandle != GetCurrentProcess()) return Fail(ERROR_INVALID_HANDLE);
  // The token's own security lets its user do everything to it.
  if (DesiredAccess & ~static_cast<DWORD>(TOKEN_ALL_ACCESS | GENERIC_READ | GENERIC_WRITE |
                                          GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED))
    return Fail(ERROR_ACCESS_DENIED);
  DWORD access = DesiredAccess;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) access |= TOKEN_ALL_ACCESS;
  if (access & GENERIC_READ) access |= TOKEN_READ;
  if (access & GENERIC_WRITE) access |= TOKEN_ADJUST_PRIVILEGES | TOKEN_ADJUST_GROUPS | TOKEN_ADJUST_DEFAULT;
  HANDLE token = NewLocalHandle(HandleKind::Token);
  {
    std::lock_guard<std::mutex> guard(gTokenLock);
    gTokenAccess[token] = access;
  }
  *TokenHandle = token;
  return TRUE;
}

BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD, BOOL, PHANDLE TokenHandle) {
  if (!TokenHandle) return Fail(ERROR_INVALID_PARAMETER);
  if (ThreadHandle != GetCurrentThread()) {
    uint64_t bootId;
    if (!DaemonHandle(ThreadHandle, HandleKind::Thread, &bootId) &&
        !LocalHandle(ThreadHandle, HandleKind::Thread))
      return Fail(ERROR_INVALID_HANDLE);
  }
  // No thread impersonates anybody on this system.
  *TokenHandle = nullptr;
  return Fail(ERROR_NO_TOKEN);
}

BOOL WINAPI GetTokenInformation(HANDLE TokenHandle, TOKEN_INFORMATION_CLASS TokenInformationClass,
                                LPVOID TokenInformation, DWORD TokenInformationLength,
                                PDWORD ReturnLength) {
  if (!ReturnLength || (TokenInformationLength && !TokenInformation)) return Fail(ERROR_NOACCESS);
  DWORD access;
  if (!TokenAccess(TokenHandle, &access)) return FALSE;
  if (!(access & TOKEN_QUERY)) return Fail(ERROR_ACCESS_DENIED);
  // The classes offered hold no pointers, so the answer means the same in
  // the caller's buffer as in the window.
  if (TokenInformationClass != TokenStatistics && TokenInformationClass != TokenSessionId &&
      TokenInformationClass != TokenPrivileges)
    return Fail(ERROR_INVALID_PARAMETER);
  wire::QueryTokenRequest request{};
  request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::QueryToken)};
  request.infoClass = static_cast<uint32_t>(TokenInformationClass);
  ReplyData reply;
  std::vector<uint8_t> answer;
  if (!AskForAnswer(request, {}, TokenInformationLength, &reply, &answer)) return FALSE;
  *ReturnLength = static_cast<DWORD>(reply.information);
  if (reply.status < 0) return Fail(RtlNtStatusToDosError(reply.status));
  memcpy(TokenInformation, answer.data(), std::min<size_t>(answer.size(), TokenInformationLength));
  return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid) {
  if (!lpName || !lpLuid) return Fail(ERROR_INVALID_PARAMETER);
  // Another machine's privileges would be asked of it; there is none.
  if (lpSystemName && *lpSystemName) return Fail(RPC_S_SERVER_UNAVAILABLE);
  for (const PrivilegeName &p : kPrivileges) {
    if (lstrcmpiW(p.name, lpName) != 0) continue;
    *lpLuid = LUID{p.id, 0};
    return TRUE;
  }
  return Fail(ERROR_NO_SUCH_PRIVILEGE);
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                  PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                  PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength) {
  DWORD access;
  if (!TokenAccess(TokenHandle, &access)) return FALSE;
  // The previous state is read from the token: that needs query access too.
  DWORD needed = TOKEN_ADJUST_PRIVILEGES | (PreviousState ? TOKEN_QUERY : 0);
  if ((access & needed) != needed) return Fail(ERROR_ACCESS_DENIED);
  if (!DisableAllPrivileges && !NewState) return Fail(ERROR_INVALID_PARAMETER);
  if (PreviousState && !ReturnLength) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<wire::PrivilegeRecord> records;
  if (!DisableAllPrivileges) {
    if (NewState->PrivilegeCount > wire::kMaxPrivileges) return Fail(ERROR_INVALID_PARAMETER);
    for (DWORD i = 0; i < NewState->PrivilegeCount; ++i) {
      const LUID_AND_ATTRIBUTES &p = NewState->Privileges[i];
      // A privilege marked removed is taken as disabled: tokens here never
      // lose one for good.
      records.push_back({p.Luid.LowPart, p.Luid.HighPart,
                         (p.Attributes & SE_PRIVILEGE_ENABLED) && !(p.Attributes & SE_PRIVILEGE_REMOVED)
                             ? static_cast<uint32_t>(SE_PRIVILEGE_ENABLED)
                             : 0u});
    }
  }
  constexpr DWORD kHead = offsetof(TOKEN_PRIVILEGES, Privileges);
  // Room for the previous state, in records.
  DWORD room = PreviousState && BufferLength > kHead
                   ? (BufferLength - kHead) / sizeof(LUID_AND_ATTRIBUTES) * sizeof(wire::PrivilegeRecord)
                   : 0;
  std::vector<uint8_t> tail(records.size() * sizeof(wire::PrivilegeRecord));
  if (!tail.empty()) memcpy(tail.data(), records.data(), tail.size());
  wire::AdjustPrivilegesRequest request{};
  request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::AdjustPrivileges)};
  request.flags = static_cast<uint8_t>((DisableAllPrivileges ? wire::kAdjustDisableAll : 0) |
                                       (PreviousState ? wire::kAdjustWantPrevious : 0));
  request.count = static_cast<uint32_t>(records.size());
  ReplyData reply;
  std::vector<uint8_t> answer;
  if (!AskForAnswer(request, tail, room, &reply, &answer)) return FALSE;
  DWORD changed = static_cast<DWORD>(reply.information / sizeof(wire::PrivilegeRecord));
  if (PreviousState) *ReturnLength = kHead + changed * sizeof(LUID_AND_ATTRIBUTES);
  if (reply.status == kStatusBufferTooSmall) return Fail(ERROR_INSUFFICIENT_BUFFER);
  if (reply.status < 0) return Fail(RtlNtStatusToDosError(reply.status));
  if (PreviousState) {
    PreviousState->PrivilegeCount = changed;
    for (DWORD i = 0; i < changed; ++i) {
      wire::PrivilegeRecord r;
      memcpy(&r, answer.data() + i * sizeof r, sizeof r);
      PreviousState->Privileges[i] = LUID_AND_ATTRIBUTES{LUID{r.luidLow, r.luidHigh}, r.attributes};
    }
  }
  // Success either way; the last error tells whether every privilege was there.
  SetLastError(reply.status == kStatusNotAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  return TRUE;
}
