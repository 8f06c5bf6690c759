// Private helpers of the security routines: reading descriptors in either
// form, walking aces, building SIDs on the host side.
#pragma once

#include "nt/security.h"

#include <array>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace bw::sec {

constexpr ULONG kSidHeaderLength = 8;  // Revision, count, authority
constexpr ULONG kAceBaseLength = 8;    // ACE_HEADER + Mask: the SID follows

inline ULONG RoundUp4(ULONG n) { return (n + 3) & ~3u; }

inline bool IsSelfRelative(const VOID *sd) {
  return (static_cast<const SECURITY_DESCRIPTOR *>(sd)->Control & SE_SELF_RELATIVE) != 0;
}

// The parts of a descriptor: pointers in the absolute form, offsets from
// the start (0 = none) in the self-relative one.
template <typename T>
T *SdPart(PSECURITY_DESCRIPTOR sd, ULONG SECURITY_DESCRIPTOR_RELATIVE::*offset,
          PVOID SECURITY_DESCRIPTOR::*pointer) {
  if (IsSelfRelative(sd)) {
    ULONG at = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(sd)->*offset;
    return at ? reinterpret_cast<T *>(static_cast<PUCHAR>(sd) + at) : nullptr;
  }
  return static_cast<T *>(static_cast<PISECURITY_DESCRIPTOR>(sd)->*pointer);
}

inline PSID SdOwner(PSECURITY_DESCRIPTOR sd) {
  return SdPart<VOID>(sd, &SECURITY_DESCRIPTOR_RELATIVE::Owner, &SECURITY_DESCRIPTOR::Owner);
}

inline PSID SdGroup(PSECURITY_DESCRIPTOR sd) {
  return SdPart<VOID>(sd, &SECURITY_DESCRIPTOR_RELATIVE::Group, &SECURITY_DESCRIPTOR::Group);
}

// Null when the DACL is absent or present but null ("NULL DACL").
inline PACL SdDacl(PSECURITY_DESCRIPTOR sd) {
  if (!(static_cast<PISECURITY_DESCRIPTOR>(sd)->Control & SE_DACL_PRESENT)) return nullptr;
  if (IsSelfRelative(sd)) {
    ULONG at = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(sd)->Dacl;
    return at ? reinterpret_cast<PACL>(static_cast<PUCHAR>(sd) + at) : nullptr;
  }
  return static_cast<PISECURITY_DESCRIPTOR>(sd)->Dacl;
}

inline PACL SdSacl(PSECURITY_DESCRIPTOR sd) {
  if (!(static_cast<PISECURITY_DESCRIPTOR>(sd)->Control & SE_SACL_PRESENT)) return nullptr;
  if (IsSelfRelative(sd)) {
    ULONG at = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(sd)->Sacl;
    return at ? reinterpret_cast<PACL>(static_cast<PUCHAR>(sd) + at) : nullptr;
  }
  return static_cast<PISECURITY_DESCRIPTOR>(sd)->Sacl;
}

// Ace types laid out as header, mask, SID.
inline bool AceHasPlainSid(UCHAR type) {
  switch (type) {
    case ACCESS_ALLOWED_ACE_TYPE:
    case ACCESS_DENIED_ACE_TYPE:
    case SYSTEM_AUDIT_ACE_TYPE:
    case SYSTEM_ALARM_ACE_TYPE:
    case SYSTEM_MANDATORY_LABEL_ACE_TYPE:
      return true;
    default:
      return false;
  }
}

inline PACE_HEADER FirstAce(PACL acl) { return reinterpret_cast<PACE_HEADER>(acl + 1); }
inline PACE_HEADER NextAce(PACE_HEADER ace) {
  return reinterpret_cast<PACE_HEADER>(reinterpret_cast<PUCHAR>(ace) + ace->AceSize);
}
inline ACCESS_MASK AceMask(PACE_HEADER ace) {
  return reinterpret_cast<PACCESS_ALLOWED_ACE>(ace)->Mask;
}
inline PSID AceSid(PACE_HEADER ace) { return &reinterpret_cast<PACCESS_ALLOWED_ACE>(ace)->SidStart; }

// Checks that the SID is valid and fits in `available` bytes.
bool SidFits(const VOID *sid, ULONG available);
// Checks an ACL's structure and that it fits in `available` bytes.
bool AclFits(const ACL *acl, ULONG available);

// A SID as a host-side byte string.
using SidBytes = std::vector<UCHAR>;

inline SidBytes MakeSid(std::array<UCHAR, 6> authority, std::initializer_list<ULONG> rids) {
  SidBytes out(kSidHeaderLength + rids.size() * sizeof(ULONG));
  out[0] = SID_REVISION;
  out[1] = static_cast<UCHAR>(rids.size());
  memcpy(&out[2], authority.data(), 6);
  size_t at = kSidHeaderLength;
  for (ULONG rid : rids) {
    memcpy(&out[at], &rid, sizeof rid);
    at += sizeof rid;
  }
  return out;
}

inline SidBytes CopySid(PSID sid) {
  auto *p = static_cast<const UCHAR *>(sid);
  return SidBytes(p, p + RtlLengthSid(sid));
}

inline constexpr std::array<UCHAR, 6> kWorldAuthority = {0, 0, 0, 0, 0, 1};
inline constexpr std::array<UCHAR, 6> kLocalAuthority = {0, 0, 0, 0, 0, 2};
inline constexpr std::array<UCHAR, 6> kCreatorAuthority = {0, 0, 0, 0, 0, 3};
inline constexpr std::array<UCHAR, 6> kNtAuthority = {0, 0, 0, 0, 0, 5};
inline constexpr std::array<UCHAR, 6> kMandatoryLabelAuthority = {0, 0, 0, 0, 0, 16};

}  // namespace bw::sec
