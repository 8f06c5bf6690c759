// The access check: a token against a security descriptor.
#include "nt/rtl.h"
#include "se/security_internal.h"
#include "se/token.h"

using namespace bw::sec;

namespace {

constexpr ULONG kDefaultLabelRid = SECURITY_MANDATORY_MEDIUM_RID;
constexpr ACCESS_MASK kNotFromAces = MAXIMUM_ALLOWED | ACCESS_SYSTEM_SECURITY;

bool IsOwnerRightsSid(PSID sid) {
  static const SidBytes ownerRights =
      MakeSid(kCreatorAuthority, {SECURITY_CREATOR_OWNER_RIGHTS_RID});
  return RtlLengthSid(sid) == ownerRights.size() &&
         memcmp(sid, ownerRights.data(), ownerRights.size()) == 0;
}

bool Applies(PACE_HEADER ace) {
  return !(ace->AceFlags & INHERIT_ONLY_ACE) && AceHasPlainSid(ace->AceType);
}

// The rights a token below the object's integrity level may still ask for.
ACCESS_MASK LabelAllows(PACL sacl, const bw::Token &token, const GENERIC_MAPPING &mapping) {
  ULONG objectLevel = kDefaultLabelRid;
  ULONG policy = SYSTEM_MANDATORY_LABEL_NO_WRITE_UP;
  if (sacl) {
    PACE_HEADER ace = FirstAce(sacl);
    for (USHORT i = 0; i < sacl->AceCount; ++i, ace = NextAce(ace)) {
      if (ace->AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE || !Applies(ace)) continue;
      auto *sid = static_cast<SID *>(AceSid(ace));
      static const SID_IDENTIFIER_AUTHORITY kLabel = SECURITY_MANDATORY_LABEL_AUTHORITY;
      if (sid->SubAuthorityCount == 0 ||
          memcmp(&sid->IdentifierAuthority, &kLabel, sizeof kLabel) != 0)
        continue;
      objectLevel = sid->SubAuthority[sid->SubAuthorityCount - 1];
      policy = AceMask(ace) & SYSTEM_MANDATORY_LABEL_VALID_MASK;
      break;
    }
  }
  if (token.IntegrityLevel() >= objectLevel) return ~ACCESS_MASK(0);

  // No write up: only what reading and executing stand for remains, so
  // deleting or changing the object's security is writing too.
  const bool noRead = policy & SYSTEM_MANDATORY_LABEL_NO_READ_UP;
  const bool noExecute = policy & SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP;
  if (policy & SYSTEM_MANDATORY_LABEL_NO_WRITE_UP) {
    ACCESS_MASK allowed = 0;
    if (!noRead) allowed |= mapping.GenericRead;
    if (!noExecute) allowed |= mapping.GenericExecute;
    return allowed;
  }
  // Otherwise refuse the read or execute rights named, except those that
  // also belong to a permitted kind of access (READ_CONTROL, SYNCHRONIZE).
  ACCESS_MASK refused = 0, kept = mapping.GenericWrite;
  (noRead ? refused : kept) |= mapping.GenericRead;
  (noExecute ? refused : kept) |= mapping.GenericExecute;
  return ~(refused & ~kept);
}

}  // namespace

namespace bw {

NTSTATUS AccessCheck(PSECURITY_DESCRIPTOR sd, const Token &token, ACCESS_MASK desired,
                     const GENERIC_MAPPING &mapping, ACCESS_MASK *granted) {
  if (!granted) return STATUS_INVALID_PARAMETER;
  *granted = 0;
  if (!sd || !RtlValidSecurityDescriptor(sd)) return STATUS_INVALID_SECURITY_DESCR;

  ACCESS_MASK want = desired;
  RtlMapGenericMask(&want, &mapping);
  const bool maximum = (want & MAXIMUM_ALLOWED) != 0;
  want &= ~ACCESS_MASK(MAXIMUM_ALLOWED);

  // Rights that come from privileges rather than from the DACL.
  ACCESS_MASK fromPrivileges = 0;
  if (want & ACCESS_SYSTEM_SECURITY) {
    if (!token.PrivilegeEnabled(SE_SECURITY_PRIVILEGE)) return STATUS_PRIVILEGE_NOT_HELD;
    fromPrivileges |= ACCESS_SYSTEM_SECURITY;
  }
  if (((want & WRITE_OWNER) || maximum) && token.PrivilegeEnabled(SE_TAKE_OWNERSHIP_PRIVILEGE))
    fromPrivileges |= WRITE_OWNER;

  ACCESS_MASK allowed = fromPrivileges;
  PACL dacl = SdDacl(sd);
  if (!dacl) {
    // No DACL, or a NULL one: no protection.
    allowed |= maximum ? mapping.GenericAll | want : want;
  } else {
    ACCESS_MASK denied = 0;
    PSID owner = SdOwner(sd);
    bool isOwner = owner && token.IsMember(owner);
    bool ownerRightsAce = false;
    PACE_HEADER ace = FirstAce(dacl);
    for (USHORT i = 0; i < dacl->AceCount; ++i, ace = NextAce(ace))
      if (Applies(ace) && IsOwnerRightsSid(AceSid(ace))) ownerRightsAce = true;
    if (isOwner && !ownerRightsAce) allowed |= READ_CONTROL | WRITE_DAC;

    ace = FirstAce(dacl);
    for (USHORT i = 0; i < dacl->AceCount; ++i, ace = NextAce(ace)) {
      if (!Applies(ace)) continue;
      bool deny = ace->AceType == ACCESS_DENIED_ACE_TYPE;
      if (!deny && ace->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
      PSID sid = AceSid(ace);
      bool matches = IsOwnerRightsSid(sid) ? isOwner : token.MatchesSid(sid, deny);
      if (!matches) continue;
      ACCESS_MASK mask = AceMask(ace);
      RtlMapGenericMask(&mask, &mapping);
      mask &= ~kNotFromAces;
      if (deny) {
        denied |= mask & ~allowed;
        if (!maximum && (want & denied)) return STATUS_ACCESS_DENIED;
      } else {
        allowed |= mask & ~denied;
        if (!maximum && (want & ~allowed) == 0) break;
      }
    }
  }

  ACCESS_MASK label = LabelAllows(SdSacl(sd), token, mapping);
  if ((want & ~allowed) || (want & ~label)) return STATUS_ACCESS_DENIED;
  ACCESS_MASK result = maximum ? allowed & label : want;
  if (result == 0 && maximum) return STATUS_ACCESS_DENIED;
  *granted = result;
  return STATUS_SUCCESS;
}

}  // namespace bw
