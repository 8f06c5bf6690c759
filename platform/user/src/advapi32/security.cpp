// GetFileSecurityW and SetFileSecurityW: an open of the name with the
// rights the parts need (READ_CONTROL to read; WRITE_OWNER, WRITE_DAC to
// change; ACCESS_SYSTEM_SECURITY for the SACL), then NtQuerySecurityObject
// or NtSetSecurityObject. Descriptors travel self-relative; an absolute one
// given to SetFileSecurityW is made self-relative first.
#include "platform/user/src/client/descriptors.h"
#include "platform/user/src/ntdll/nt_file.h"

#include <cstring>
#include <vector>

using namespace bw;
using namespace bw::user;

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr uint32_t kQuerySecurity = static_cast<uint32_t>(wire::Op::QuerySecurity);
constexpr uint32_t kSetSecurity = static_cast<uint32_t>(wire::Op::SetSecurity);

ACCESS_MASK QueryAccess(SECURITY_INFORMATION which) {
  ACCESS_MASK access = 0;
  if (which & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))
    access |= READ_CONTROL;
  if (which & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
  return access;
}

ACCESS_MASK SetAccess(SECURITY_INFORMATION which) {
  ACCESS_MASK access = 0;
  if (which & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) access |= WRITE_OWNER;
  if (which & DACL_SECURITY_INFORMATION) access |= WRITE_DAC;
  if (which & SACL_SECURITY_INFORMATION) access |= ACCESS_SYSTEM_SECURITY;
  return access;
}

}  // namespace

BOOL WINAPI GetFileSecurityW(LPCWSTR lpFileName, SECURITY_INFORMATION RequestedInformation,
                             PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD nLength,
                             LPDWORD lpnLengthNeeded) {
  if (!lpnLengthNeeded || (nLength && !pSecurityDescriptor))
    return FailWith(ERROR_INVALID_PARAMETER);
  HANDLE handle;
  NTSTATUS status = OpenPath(lpFileName, QueryAccess(RequestedInformation), kShareAll, kFileOpen,
                             kFileOpenForBackupIntent, &handle);
  if (status < 0) return Fail(status);
  uint64_t needed = 0;
  status = NtFileRequest(handle, kQuerySecurity, RequestedInformation, pSecurityDescriptor,
                         nLength, false, true, &needed);
  CloseQuietly(handle);
  *lpnLengthNeeded = static_cast<DWORD>(needed);
  if (status < 0) return Fail(status);
  return TRUE;
}

BOOL WINAPI SetFileSecurityW(LPCWSTR lpFileName, SECURITY_INFORMATION SecurityInformation,
                             PSECURITY_DESCRIPTOR pSecurityDescriptor) {
  std::vector<uint8_t> descriptor;
  if (!pSecurityDescriptor || !SelfRelativeDescriptor(pSecurityDescriptor, &descriptor))
    return FailWith(ERROR_INVALID_SECURITY_DESCR);
  HANDLE handle;
  NTSTATUS status = OpenPath(lpFileName, SetAccess(SecurityInformation), kShareAll, kFileOpen,
                             kFileOpenForBackupIntent, &handle);
  if (status < 0) return Fail(status);
  status = NtFileRequest(handle, kSetSecurity, SecurityInformation, descriptor.data(),
                         static_cast<ULONG>(descriptor.size()), true, false);
  CloseQuietly(handle);
  if (status < 0) return Fail(status);
  return TRUE;
}
