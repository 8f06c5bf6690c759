// GetFileSecurityW and SetFileSecurityW: an open of the name with the
// rights the parts need (READ_CONTROL to read; WRITE_OWNER, WRITE_DAC to
// change; ACCESS_SYSTEM_SECURITY for the SACL), then NtQuerySecurityObject
// or NtSetSecurityObject. Descriptors travel self-relative; an absolute one
// given to SetFileSecurityW is made self-relative first.
#include "platform/user/src/ntdll/nt_file.h"

#include <cstring>
#include <vector>

using namespace bw;
using namespace bw::user;

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr uint32_t kQuerySecurity = static_cast<uint32_t>(wire::Op::QuerySecurity);
constexpr uint32_t kSetSecurity = static_cast<uint32_t>(wire::Op::SetSecurity);
constexpr uint16_t kDaclPresent = 0x0004, kSaclPresent = 0x0010;

// The descriptor's head, as SECURITY_DESCRIPTOR (absolute: pointers) and
// SECURITY_DESCRIPTOR_RELATIVE (self-relative: offsets) lay it out.
struct Head {
  uint8_t revision;
  uint8_t sbz1;
  uint16_t control;
};
struct Absolute {
  Head head;
  const uint8_t *owner, *group, *sacl, *dacl;
};
struct Relative {
  Head head;
  uint32_t owner, group, sacl, dacl;
};

size_t SidLength(const uint8_t *sid) { return sid ? 8 + 4 * size_t(sid[1]) : 0; }
size_t AclLength(const uint8_t *acl) {
  if (!acl) return 0;
  uint16_t size;
  memcpy(&size, acl + 2, 2);
  return size;
}

// The descriptor as self-relative bytes; false when it is malformed.
bool SelfRelative(const void *descriptor, std::vector<uint8_t> *out) {
  auto *head = static_cast<const Head *>(descriptor);
  if (head->revision != 1) return false;
  if (head->control & SE_SELF_RELATIVE) {
    auto *r = static_cast<const Relative *>(descriptor);
    auto *base = static_cast<const uint8_t *>(descriptor);
    size_t end = sizeof(Relative);
    auto extend = [&](uint32_t offset, size_t length) {
      if (offset) end = std::max(end, offset + length);
    };
    extend(r->owner, r->owner ? SidLength(base + r->owner) : 0);
    extend(r->group, r->group ? SidLength(base + r->group) : 0);
    if (r->head.control & kSaclPresent) extend(r->sacl, r->sacl ? AclLength(base + r->sacl) : 0);
    if (r->head.control & kDaclPresent) extend(r->dacl, r->dacl ? AclLength(base + r->dacl) : 0);
    out->assign(base, base + end);
    return true;
  }
  auto *a = static_cast<const Absolute *>(descriptor);
  Relative r{{1, 0, static_cast<uint16_t>(a->head.control | SE_SELF_RELATIVE)}, 0, 0, 0, 0};
  out->assign(sizeof r, 0);
  auto append = [&](const uint8_t *part, size_t length) -> uint32_t {
    if (!part) return 0;
    uint32_t at = static_cast<uint32_t>(out->size());
    out->insert(out->end(), part, part + length);
    return at;
  };
  r.owner = append(a->owner, SidLength(a->owner));
  r.group = append(a->group, SidLength(a->group));
  if (a->head.control & kSaclPresent) r.sacl = append(a->sacl, AclLength(a->sacl));
  if (a->head.control & kDaclPresent) r.dacl = append(a->dacl, AclLength(a->dacl));
  memcpy(out->data(), &r, sizeof r);
  return true;
}

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
  if (!pSecurityDescriptor || !SelfRelative(pSecurityDescriptor, &descriptor))
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
