// GetNamedSecurityInfoW, SetNamedSecurityInfoW and SetEntriesInAclW for
// files and folders: the descriptor is read and written through
// GetFileSecurityW / SetFileSecurityW, that is through the file system's own
// query and set security requests, so a file system without security
// refuses as it does on Windows.
#include <aclapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr SECURITY_INFORMATION kKnownInformation =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
    SACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION;
constexpr WORD kSaclPresent = 0x0010;

struct RelativeDescriptor {
  BYTE revision, sbz1;
  WORD control;
  DWORD owner, group, sacl, dacl;
};
struct AbsoluteDescriptor {
  BYTE revision, sbz1;
  WORD control;
  PSID owner, group;
  PACL sacl, dacl;
};

// Whether the list's entries lie within it.
bool ValidAcl(const ACL *acl) {
  if (!acl) return true;
  if (acl->AclSize < sizeof(ACL) || (acl->AclRevision != 2 && acl->AclRevision != 4)) return false;
  auto *base = reinterpret_cast<const uint8_t *>(acl);
  size_t at = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    if (at + sizeof(ACE_HEADER) > acl->AclSize) return false;
    ACE_HEADER header;
    memcpy(&header, base + at, sizeof header);
    if (header.AceSize < sizeof(ACE_HEADER) || at + header.AceSize > acl->AclSize) return false;
    at += header.AceSize;
  }
  return true;
}

// The entries of a list, each as its bytes.
std::vector<std::vector<uint8_t>> Entries(const ACL *acl) {
  std::vector<std::vector<uint8_t>> entries;
  if (!acl) return entries;
  auto *base = reinterpret_cast<const uint8_t *>(acl);
  size_t at = sizeof(ACL);
  for (WORD i = 0; i < acl->AceCount; ++i) {
    ACE_HEADER header;
    memcpy(&header, base + at, sizeof header);
    entries.emplace_back(base + at, base + at + header.AceSize);
    at += header.AceSize;
  }
  return entries;
}

// The SID of an allow or deny entry; null for other kinds.
const uint8_t *EntrySid(const std::vector<uint8_t> &entry) {
  if (entry[0] != ACCESS_ALLOWED_ACE_TYPE && entry[0] != ACCESS_DENIED_ACE_TYPE) return nullptr;
  if (entry.size() < 8 + 8) return nullptr;
  const uint8_t *sid = entry.data() + 8;
  if (8 + 8 + size_t{sid[1]} * 4 > entry.size()) return nullptr;
  return sid;
}

std::vector<uint8_t> MakeEntry(BYTE type, BYTE flags, ACCESS_MASK mask, PSID sid) {
  DWORD sidLength = GetLengthSid(sid);
  std::vector<uint8_t> entry(8 + sidLength);
  WORD size = static_cast<WORD>(entry.size());
  entry[0] = type;
  entry[1] = flags;
  memcpy(entry.data() + 2, &size, 2);
  memcpy(entry.data() + 4, &mask, 4);
  memcpy(entry.data() + 8, sid, sidLength);
  return entry;
}

}  // namespace

DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                   SECURITY_INFORMATION SecurityInfo, PSID *ppsidOwner, PSID *ppsidGroup,
                                   PACL *ppDacl, PACL *ppSacl, PSECURITY_DESCRIPTOR *ppSecurityDescriptor) {
  if (!pObjectName) return ERROR_INVALID_PARAMETER;
  if ((ppsidOwner || ppsidGroup || ppDacl || ppSacl) && !ppSecurityDescriptor) return ERROR_INVALID_PARAMETER;
  if (ObjectType != SE_FILE_OBJECT) return ObjectType == SE_UNKNOWN_OBJECT_TYPE ? ERROR_INVALID_PARAMETER
                                                                                 : ERROR_CALL_NOT_IMPLEMENTED;
  SecurityInfo &= OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                  SACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  std::vector<uint8_t> buffer(256);
  while (!GetFileSecurityW(pObjectName, SecurityInfo, buffer.data(), static_cast<DWORD>(buffer.size()),
                           &needed)) {
    DWORD error = GetLastError();
    if (error != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return error;
    buffer.resize(needed);
  }
  size_t size = std::max<size_t>(needed, sizeof(RelativeDescriptor));
  auto *block = static_cast<uint8_t *>(LocalAlloc(LPTR, size));
  if (!block) return ERROR_NOT_ENOUGH_MEMORY;
  memcpy(block, buffer.data(), std::min<size_t>(size, buffer.size()));
  RelativeDescriptor head;
  memcpy(&head, block, sizeof head);
  auto at = [&](DWORD offset) -> uint8_t * { return offset && offset < size ? block + offset : nullptr; };
  if (ppsidOwner) *ppsidOwner = (SecurityInfo & OWNER_SECURITY_INFORMATION) ? at(head.owner) : nullptr;
  if (ppsidGroup) *ppsidGroup = (SecurityInfo & GROUP_SECURITY_INFORMATION) ? at(head.group) : nullptr;
  if (ppDacl)
    *ppDacl = (SecurityInfo & DACL_SECURITY_INFORMATION) && (head.control & SE_DACL_PRESENT)
                  ? reinterpret_cast<PACL>(at(head.dacl))
                  : nullptr;
  if (ppSacl)
    *ppSacl = (SecurityInfo & SACL_SECURITY_INFORMATION) && (head.control & kSaclPresent)
                  ? reinterpret_cast<PACL>(at(head.sacl))
                  : nullptr;
  if (ppSecurityDescriptor)
    *ppSecurityDescriptor = block;
  else
    LocalFree(block);
  return ERROR_SUCCESS;
}

DWORD WINAPI SetNamedSecurityInfoW(LPWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                   SECURITY_INFORMATION SecurityInfo, PSID psidOwner, PSID psidGroup,
                                   PACL pDacl, PACL pSacl) {
  if (!pObjectName || (SecurityInfo & ~kKnownInformation)) return ERROR_INVALID_PARAMETER;
  if (ObjectType != SE_FILE_OBJECT) return ObjectType == SE_UNKNOWN_OBJECT_TYPE ? ERROR_INVALID_PARAMETER
                                                                                 : ERROR_CALL_NOT_IMPLEMENTED;
  if ((SecurityInfo & OWNER_SECURITY_INFORMATION) && !IsValidSid(psidOwner)) return ERROR_INVALID_OWNER;
  if ((SecurityInfo & GROUP_SECURITY_INFORMATION) && !IsValidSid(psidGroup)) return ERROR_INVALID_PRIMARY_GROUP;
  if (!ValidAcl(pDacl) || !ValidAcl(pSacl)) return ERROR_INVALID_ACL;
  AbsoluteDescriptor descriptor{1, 0, 0, nullptr, nullptr, nullptr, nullptr};
  if (SecurityInfo & OWNER_SECURITY_INFORMATION) descriptor.owner = psidOwner;
  if (SecurityInfo & GROUP_SECURITY_INFORMATION) descriptor.group = psidGroup;
  if (SecurityInfo & DACL_SECURITY_INFORMATION) {
    descriptor.control |= SE_DACL_PRESENT;  // a null list present: everyone may do everything
    descriptor.dacl = pDacl;
    if (SecurityInfo & PROTECTED_DACL_SECURITY_INFORMATION) descriptor.control |= SE_DACL_PROTECTED;
  }
  if (SecurityInfo & SACL_SECURITY_INFORMATION) {
    descriptor.control |= kSaclPresent;
    descriptor.sacl = pSacl;
  }
  SECURITY_INFORMATION which = SecurityInfo & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                               DACL_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION);
  if (!SetFileSecurityW(pObjectName, which, &descriptor)) return GetLastError();
  return ERROR_SUCCESS;
}

DWORD WINAPI SetEntriesInAclW(ULONG cCountOfExplicitEntries, PEXPLICIT_ACCESS_W pListOfExplicitEntries,
                              PACL OldAcl, PACL *NewAcl) {
  if (!NewAcl || (cCountOfExplicitEntries && !pListOfExplicitEntries)) return ERROR_INVALID_PARAMETER;
  if (!ValidAcl(OldAcl)) return ERROR_INVALID_ACL;
  *NewAcl = nullptr;
  std::vector<std::vector<uint8_t>> denied, allowed, inherited;
  for (auto &entry : Entries(OldAcl)) {
    if (entry[1] & INHERITED_ACE)
      inherited.push_back(entry);
    else if (entry[0] == ACCESS_DENIED_ACE_TYPE)
      denied.push_back(entry);
    else
      allowed.push_back(entry);
  }
  auto dropTrustee = [](std::vector<std::vector<uint8_t>> &list, PSID sid) {
    std::erase_if(list, [&](const std::vector<uint8_t> &entry) {
      const uint8_t *entrySid = EntrySid(entry);
      return entrySid && GetLengthSid(const_cast<uint8_t *>(entrySid)) == GetLengthSid(sid) &&
             memcmp(entrySid, sid, GetLengthSid(sid)) == 0;
    });
  };
  for (ULONG i = 0; i < cCountOfExplicitEntries; ++i) {
    const EXPLICIT_ACCESS_W &e = pListOfExplicitEntries[i];
    if (e.Trustee.pMultipleTrustee || e.Trustee.MultipleTrusteeOperation != NO_MULTIPLE_TRUSTEE)
      return ERROR_INVALID_PARAMETER;
    // Accounts are not looked up by name on this system: trustees are SIDs.
    if (e.Trustee.TrusteeForm == TRUSTEE_IS_NAME) return ERROR_NONE_MAPPED;
    if (e.Trustee.TrusteeForm != TRUSTEE_IS_SID) return ERROR_INVALID_PARAMETER;
    PSID sid = e.Trustee.ptstrName;
    if (!IsValidSid(sid)) return ERROR_INVALID_SID;
    BYTE flags = static_cast<BYTE>(e.grfInheritance & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE |
                                                        NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE));
    switch (e.grfAccessMode) {
      case NOT_USED_ACCESS:
        break;
      case GRANT_ACCESS:
        allowed.push_back(MakeEntry(ACCESS_ALLOWED_ACE_TYPE, flags, e.grfAccessPermissions, sid));
        break;
      case SET_ACCESS:
        dropTrustee(denied, sid);
        dropTrustee(allowed, sid);
        allowed.push_back(MakeEntry(ACCESS_ALLOWED_ACE_TYPE, flags, e.grfAccessPermissions, sid));
        break;
      case DENY_ACCESS:
        denied.push_back(MakeEntry(ACCESS_DENIED_ACE_TYPE, flags, e.grfAccessPermissions, sid));
        break;
      case REVOKE_ACCESS:
        dropTrustee(denied, sid);
        dropTrustee(allowed, sid);
        break;
      default:  // audit entries belong to a system list, which this call does not build
        return ERROR_INVALID_PARAMETER;
    }
  }
  size_t size = sizeof(ACL);
  size_t count = 0;
  for (auto *list : {&denied, &allowed, &inherited})
    for (auto &entry : *list) size += entry.size(), ++count;
  if (size > 0xFFFF || count > 0xFFFF) return ERROR_INVALID_ACL;
  auto *acl = static_cast<uint8_t *>(LocalAlloc(LPTR, size));
  if (!acl) return ERROR_NOT_ENOUGH_MEMORY;
  ACL head{ACL_REVISION, 0, static_cast<WORD>(size), static_cast<WORD>(count), 0};
  memcpy(acl, &head, sizeof head);
  size_t at = sizeof(ACL);
  for (auto *list : {&denied, &allowed, &inherited})
    for (auto &entry : *list) {
      memcpy(acl + at, entry.data(), entry.size());
      at += entry.size();
    }
  *NewAcl = reinterpret_cast<PACL>(acl);
  return ERROR_SUCCESS;
}
