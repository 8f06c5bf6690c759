// Security descriptor strings to self-relative descriptors.
#include "se/sddl.h"

#include "nt/pool.h"
#include "nt/rtl.h"
#include "se/security_internal.h"

#include <cstring>
#include <optional>

using namespace bw::sec;

namespace {

struct Code {
  const char16_t *text;
  ULONG value;
};

constexpr Code kRights[] = {
    {u"GA", GENERIC_ALL},
    {u"GR", GENERIC_READ},
    {u"GW", GENERIC_WRITE},
    {u"GX", GENERIC_EXECUTE},
    {u"FA", FILE_ALL_ACCESS},
    {u"FR", FILE_GENERIC_READ},
    {u"FW", FILE_GENERIC_WRITE},
    {u"FX", FILE_GENERIC_EXECUTE},
    {u"KA", 0x000F003F},  // KEY_ALL_ACCESS
    {u"KR", 0x00020019},  // KEY_READ
    {u"KW", 0x00020006},  // KEY_WRITE
    {u"KX", 0x00020019},  // KEY_EXECUTE
    {u"RC", READ_CONTROL},
    {u"WD", WRITE_DAC},
    {u"WO", WRITE_OWNER},
    {u"SD", DELETE},
    {u"CC", 0x0001},
    {u"DC", 0x0002},
    {u"LC", 0x0004},
    {u"SW", 0x0008},
    {u"RP", 0x0010},
    {u"WP", 0x0020},
    {u"DT", 0x0040},
    {u"LO", 0x0080},
    {u"CR", 0x0100},
    {u"NW", SYSTEM_MANDATORY_LABEL_NO_WRITE_UP},
    {u"NR", SYSTEM_MANDATORY_LABEL_NO_READ_UP},
    {u"NX", SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP},
};

constexpr Code kAceTypes[] = {
    {u"A", ACCESS_ALLOWED_ACE_TYPE},
    {u"D", ACCESS_DENIED_ACE_TYPE},
    {u"AU", SYSTEM_AUDIT_ACE_TYPE},
    {u"ML", SYSTEM_MANDATORY_LABEL_ACE_TYPE},
};

constexpr Code kAceFlags[] = {
    {u"OI", OBJECT_INHERIT_ACE},         {u"CI", CONTAINER_INHERIT_ACE},
    {u"NP", NO_PROPAGATE_INHERIT_ACE},   {u"IO", INHERIT_ONLY_ACE},
    {u"ID", INHERITED_ACE},              {u"SA", SUCCESSFUL_ACCESS_ACE_FLAG},
    {u"FA", FAILED_ACCESS_ACE_FLAG},
};

struct Alias {
  const char16_t *text;
  std::array<UCHAR, 6> authority;
  ULONG rids[2];
  UCHAR count;
};

constexpr Alias kAliases[] = {
    {u"SY", kNtAuthority, {SECURITY_LOCAL_SYSTEM_RID}, 1},
    {u"BA", kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS}, 2},
    {u"BU", kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS}, 2},
    {u"BG", kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_GUESTS}, 2},
    {u"PU", kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_POWER_USERS}, 2},
    {u"WD", kWorldAuthority, {SECURITY_WORLD_RID}, 1},
    {u"AU", kNtAuthority, {SECURITY_AUTHENTICATED_USER_RID}, 1},
    {u"AN", kNtAuthority, {SECURITY_ANONYMOUS_LOGON_RID}, 1},
    {u"IU", kNtAuthority, {SECURITY_INTERACTIVE_RID}, 1},
    {u"NU", kNtAuthority, {SECURITY_NETWORK_RID}, 1},
    {u"SU", kNtAuthority, {SECURITY_SERVICE_RID}, 1},
    {u"LS", kNtAuthority, {SECURITY_LOCAL_SERVICE_RID}, 1},
    {u"NS", kNtAuthority, {SECURITY_NETWORK_SERVICE_RID}, 1},
    {u"RC", kNtAuthority, {SECURITY_RESTRICTED_CODE_RID}, 1},
    {u"PS", kNtAuthority, {SECURITY_PRINCIPAL_SELF_RID}, 1},
    {u"CO", kCreatorAuthority, {SECURITY_CREATOR_OWNER_RID}, 1},
    {u"CG", kCreatorAuthority, {SECURITY_CREATOR_GROUP_RID}, 1},
    {u"OW", kCreatorAuthority, {SECURITY_CREATOR_OWNER_RIGHTS_RID}, 1},
    {u"LW", kMandatoryLabelAuthority, {SECURITY_MANDATORY_LOW_RID}, 1},
    {u"ME", kMandatoryLabelAuthority, {SECURITY_MANDATORY_MEDIUM_RID}, 1},
    {u"MP", kMandatoryLabelAuthority, {SECURITY_MANDATORY_MEDIUM_PLUS_RID}, 1},
    {u"HI", kMandatoryLabelAuthority, {SECURITY_MANDATORY_HIGH_RID}, 1},
    {u"SI", kMandatoryLabelAuthority, {SECURITY_MANDATORY_SYSTEM_RID}, 1},
};

template <size_t N>
std::optional<ULONG> Lookup(const Code (&table)[N], std::u16string_view text) {
  for (const Code &c : table)
    if (text == c.text) return c.value;
  return std::nullopt;
}

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

int HexValue(char16_t c) {
  if (IsDigit(c)) return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Unsigned number: "0x" hexadecimal or decimal, the whole text, at most `max`.
std::optional<ULONGLONG> ParseNumber(std::u16string_view text, ULONGLONG max) {
  if (text.empty()) return std::nullopt;
  ULONGLONG value = 0;
  if (text.size() > 2 && text[0] == u'0' && (text[1] == u'x' || text[1] == u'X')) {
    for (char16_t c : text.substr(2)) {
      int d = HexValue(c);
      if (d < 0 || value > (max >> 4)) return std::nullopt;
      value = value * 16 + d;
    }
  } else {
    for (char16_t c : text) {
      if (!IsDigit(c)) return std::nullopt;
      ULONG d = c - u'0';
      if (value > (max - d) / 10) return std::nullopt;
      value = value * 10 + d;
    }
  }
  if (value > max) return std::nullopt;
  return value;
}

// A run of two-letter codes, all from one table.
template <size_t N>
std::optional<ULONG> ParseCodes(const Code (&table)[N], std::u16string_view text) {
  if (text.size() % 2) return std::nullopt;
  ULONG value = 0;
  for (size_t i = 0; i < text.size(); i += 2) {
    auto v = Lookup(table, text.substr(i, 2));
    if (!v) return std::nullopt;
    value |= *v;
  }
  return value;
}

struct Ace {
  UCHAR type;
  UCHAR flags;
  ACCESS_MASK mask;
  SidBytes sid;
};

struct AclText {
  bool present = false;
  bool null = false;
  USHORT control = 0;
  std::vector<Ace> aces;
};

std::vector<std::u16string_view> Split(std::u16string_view text, char16_t sep) {
  std::vector<std::u16string_view> parts;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == text.npos ? text.npos : at - start));
    if (at == text.npos) return parts;
    start = at + 1;
  }
}

bool ParseAce(std::u16string_view text, Ace *ace) {
  auto f = Split(text, u';');
  if (f.size() != 6) return false;
  auto type = Lookup(kAceTypes, f[0]);
  auto flags = ParseCodes(kAceFlags, f[1]);
  if (!type || !flags) return false;
  // Object guids belong to object ace types, which this parser does not take.
  if (!f[3].empty() || !f[4].empty()) return false;
  std::optional<ULONGLONG> mask;
  if (!f[2].empty() && IsDigit(f[2][0]))
    mask = ParseNumber(f[2], 0xFFFFFFFFull);
  else
    mask = ParseCodes(kRights, f[2]);
  if (!mask) return false;
  if (*type == SYSTEM_MANDATORY_LABEL_ACE_TYPE && (*mask & ~ULONG(SYSTEM_MANDATORY_LABEL_VALID_MASK)))
    return false;
  ace->type = static_cast<UCHAR>(*type);
  ace->flags = static_cast<UCHAR>(*flags);
  ace->mask = static_cast<ACCESS_MASK>(*mask);
  return bw::SddlToSid(f[5], &ace->sid);
}

// "flags(ace)(ace)..." of a D: or S: part.
bool ParseAcl(std::u16string_view text, bool isDacl, AclText *acl) {
  if (acl->present) return false;  // the part appeared twice
  acl->present = true;
  const USHORT protectedBit = isDacl ? SE_DACL_PROTECTED : SE_SACL_PROTECTED;
  const USHORT inheritedBit = isDacl ? SE_DACL_AUTO_INHERITED : SE_SACL_AUTO_INHERITED;
  const USHORT requestBit = isDacl ? SE_DACL_AUTO_INHERIT_REQ : SE_SACL_AUTO_INHERIT_REQ;
  constexpr std::u16string_view kNoAccessControl = u"NO_ACCESS_CONTROL";
  while (!text.empty() && text[0] != u'(') {
    if (text.starts_with(kNoAccessControl)) {
      acl->null = true;
      text.remove_prefix(kNoAccessControl.size());
    } else if (text.starts_with(u"P")) {
      acl->control |= protectedBit;
      text.remove_prefix(1);
    } else if (text.starts_with(u"AI")) {
      acl->control |= inheritedBit;
      text.remove_prefix(2);
    } else if (text.starts_with(u"AR")) {
      acl->control |= requestBit;
      text.remove_prefix(2);
    } else {
      return false;
    }
  }
  while (!text.empty()) {
    if (acl->null || text[0] != u'(') return false;
    size_t close = text.find(u')');
    if (close == text.npos) return false;
    Ace ace;
    if (!ParseAce(text.substr(1, close - 1), &ace)) return false;
    acl->aces.push_back(std::move(ace));
    text.remove_prefix(close + 1);
  }
  return true;
}

// Lays the aces out as an ACL in `storage`, through the kernel's own routines.
NTSTATUS BuildAcl(const AclText &text, std::vector<ULONG> *storage, PACL *acl) {
  *acl = nullptr;
  if (!text.present || text.null) return STATUS_SUCCESS;
  ULONG size = sizeof(ACL);
  for (const Ace &a : text.aces) size += kAceBaseLength + static_cast<ULONG>(a.sid.size());
  if (size > 0xFFFC) return STATUS_INVALID_PARAMETER;
  storage->assign(size / sizeof(ULONG), 0);
  PACL out = reinterpret_cast<PACL>(storage->data());
  NTSTATUS status = RtlCreateAcl(out, size, ACL_REVISION);
  if (!NT_SUCCESS(status)) return status;
  std::vector<ULONG> aceBuffer;
  for (const Ace &a : text.aces) {
    ULONG aceSize = kAceBaseLength + static_cast<ULONG>(a.sid.size());
    aceBuffer.assign(aceSize / sizeof(ULONG), 0);
    auto *ace = reinterpret_cast<PACCESS_ALLOWED_ACE>(aceBuffer.data());
    ace->Header.AceType = a.type;
    ace->Header.AceFlags = a.flags;
    ace->Header.AceSize = static_cast<USHORT>(aceSize);
    ace->Mask = a.mask;
    memcpy(&ace->SidStart, a.sid.data(), a.sid.size());
    status = RtlAddAce(out, ACL_REVISION, 0xFFFFFFFF, ace, aceSize);
    if (!NT_SUCCESS(status)) return status;
  }
  *acl = out;
  return STATUS_SUCCESS;
}

}  // namespace

namespace bw {

bool SddlToSid(std::u16string_view text, std::vector<UCHAR> *sid) {
  if (text.size() == 2) {
    for (const Alias &a : kAliases) {
      if (text == a.text) {
        *sid = a.count == 1 ? MakeSid(a.authority, {a.rids[0]})
                            : MakeSid(a.authority, {a.rids[0], a.rids[1]});
        return true;
      }
    }
    return false;
  }
  if (!text.starts_with(u"S-1-")) return false;
  auto parts = Split(text.substr(4), u'-');
  if (parts.size() > 1 + SID_MAX_SUB_AUTHORITIES) return false;
  auto authority = ParseNumber(parts[0], 0xFFFFFFFFFFFFull);
  if (!authority) return false;
  sid->assign(RtlLengthRequiredSid(static_cast<ULONG>(parts.size() - 1)), 0);
  auto *s = reinterpret_cast<SID *>(sid->data());
  s->Revision = SID_REVISION;
  s->SubAuthorityCount = static_cast<UCHAR>(parts.size() - 1);
  for (int i = 0; i < 6; ++i)
    s->IdentifierAuthority.Value[i] = static_cast<UCHAR>(*authority >> (8 * (5 - i)));
  for (size_t i = 1; i < parts.size(); ++i) {
    // Sub-authorities are plain decimal.
    for (char16_t c : parts[i])
      if (!IsDigit(c)) return false;
    auto rid = ParseNumber(parts[i], 0xFFFFFFFFull);
    if (!rid) return false;
    ULONG value = static_cast<ULONG>(*rid);
    memcpy(sid->data() + kSidHeaderLength + (i - 1) * sizeof(ULONG), &value, sizeof value);
  }
  return true;
}

NTSTATUS SddlToSecurityDescriptor(std::u16string_view sddl, PSECURITY_DESCRIPTOR *out,
                                  ULONG poolTag) {
  if (!out) return STATUS_INVALID_PARAMETER;
  *out = nullptr;

  // Split into parts at each "O:", "G:", "D:" or "S:"; none of these pairs
  // can occur inside a part ("S-1-" has a dash after the S).
  auto isPartStart = [&](size_t i) {
    if (i + 1 >= sddl.size() || sddl[i + 1] != u':') return false;
    char16_t c = sddl[i];
    return c == u'O' || c == u'G' || c == u'D' || c == u'S';
  };
  std::optional<SidBytes> owner, group;
  AclText dacl, sacl;
  size_t at = 0;
  while (at < sddl.size()) {
    if (!isPartStart(at)) return STATUS_INVALID_PARAMETER;
    char16_t kind = sddl[at];
    size_t end = at + 2;
    while (end < sddl.size() && !isPartStart(end)) ++end;
    std::u16string_view body = sddl.substr(at + 2, end - at - 2);
    bool ok = false;
    switch (kind) {
      case u'O':
      case u'G': {
        auto &slot = kind == u'O' ? owner : group;
        if (slot) return STATUS_INVALID_PARAMETER;
        slot.emplace();
        ok = bw::SddlToSid(body, &*slot);
        break;
      }
      case u'D':
        ok = ParseAcl(body, true, &dacl);
        break;
      case u'S':
        ok = ParseAcl(body, false, &sacl);
        break;
    }
    if (!ok) return STATUS_INVALID_PARAMETER;
    at = end;
  }

  std::vector<ULONG> daclStorage, saclStorage;
  PACL daclPointer, saclPointer;
  NTSTATUS status = BuildAcl(dacl, &daclStorage, &daclPointer);
  if (NT_SUCCESS(status)) status = BuildAcl(sacl, &saclStorage, &saclPointer);
  if (!NT_SUCCESS(status)) return STATUS_INVALID_PARAMETER;

  SECURITY_DESCRIPTOR absolute;
  RtlCreateSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION);
  if (owner) RtlSetOwnerSecurityDescriptor(&absolute, owner->data(), FALSE);
  if (group) RtlSetGroupSecurityDescriptor(&absolute, group->data(), FALSE);
  if (dacl.present) RtlSetDaclSecurityDescriptor(&absolute, TRUE, daclPointer, FALSE);
  if (sacl.present) RtlSetSaclSecurityDescriptor(&absolute, TRUE, saclPointer, FALSE);
  absolute.Control |= dacl.control | sacl.control;

  ULONG length = 0;
  status = RtlAbsoluteToSelfRelativeSD(&absolute, nullptr, &length);
  if (status != STATUS_BUFFER_TOO_SMALL) return STATUS_INVALID_PARAMETER;
  PVOID block = ExAllocatePoolWithTag(PagedPool, length, poolTag);
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  status = RtlAbsoluteToSelfRelativeSD(&absolute, block, &length);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(block, poolTag);
    return status;
  }
  *out = block;
  return STATUS_SUCCESS;
}

}  // namespace bw
