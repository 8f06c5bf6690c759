// Run-time library: access-control lists.
#include "nt/rtl.h"
#include "nt/security.h"
#include "se/security_internal.h"

#include <cstring>

using namespace bw::sec;

namespace {

bool RevisionInRange(ULONG revision) {
  return revision >= MIN_ACL_REVISION && revision <= MAX_ACL_REVISION;
}

// Offset of the first byte after the last ace, or false when the aces do
// not fit the ACL's size.
bool UsedLength(const ACL *acl, ULONG *used) {
  ULONG at = sizeof(ACL);
  auto *base = reinterpret_cast<const UCHAR *>(acl);
  for (USHORT i = 0; i < acl->AceCount; ++i) {
    if (at + sizeof(ACE_HEADER) > acl->AclSize) return false;
    auto *ace = reinterpret_cast<const ACE_HEADER *>(base + at);
    if (ace->AceSize < sizeof(ACE_HEADER) || at + ace->AceSize > acl->AclSize) return false;
    at += ace->AceSize;
  }
  *used = at;
  return true;
}

NTSTATUS AddKnownAce(PACL Acl, ULONG AceRevision, ULONG AceFlags, ULONG validFlags,
                     ACCESS_MASK AccessMask, PSID Sid, UCHAR type) {
  if (!RtlValidSid(Sid)) return STATUS_INVALID_SID;
  if (Acl->AclRevision > MAX_ACL_REVISION || AceRevision > MAX_ACL_REVISION)
    return STATUS_REVISION_MISMATCH;
  if (AceFlags & ~validFlags) return STATUS_INVALID_PARAMETER;
  if (!RtlValidAcl(Acl)) return STATUS_INVALID_ACL;
  ULONG used;
  if (!UsedLength(Acl, &used)) return STATUS_INVALID_ACL;
  ULONG aceSize = kAceBaseLength + RtlLengthSid(Sid);
  if (used + aceSize > Acl->AclSize) return STATUS_ALLOTTED_SPACE_EXCEEDED;

  auto *ace = reinterpret_cast<PACCESS_ALLOWED_ACE>(reinterpret_cast<PUCHAR>(Acl) + used);
  ace->Header.AceType = type;
  ace->Header.AceFlags = static_cast<UCHAR>(AceFlags);
  ace->Header.AceSize = static_cast<USHORT>(aceSize);
  ace->Mask = AccessMask;
  memcpy(&ace->SidStart, Sid, RtlLengthSid(Sid));
  Acl->AceCount++;
  if (AceRevision > Acl->AclRevision) Acl->AclRevision = static_cast<UCHAR>(AceRevision);
  return STATUS_SUCCESS;
}

// Address of ace `index`, or of the free space when index == AceCount.
PUCHAR AceAt(PACL acl, ULONG index) {
  PUCHAR p = reinterpret_cast<PUCHAR>(acl) + sizeof(ACL);
  for (ULONG i = 0; i < index; ++i) p += reinterpret_cast<PACE_HEADER>(p)->AceSize;
  return p;
}

}  // namespace

namespace bw::sec {

bool AclFits(const ACL *acl, ULONG available) {
  if (available < sizeof(ACL) || acl->AclSize > available) return false;
  return RtlValidAcl(const_cast<PACL>(acl));
}

}  // namespace bw::sec

NTSTATUS NTAPI RtlCreateAcl(PACL Acl, ULONG AclLength, ULONG AclRevision) {
  if (AclLength < sizeof(ACL)) return STATUS_BUFFER_TOO_SMALL;
  if (!RevisionInRange(AclRevision) || AclLength > 0xFFFF) return STATUS_INVALID_PARAMETER;
  // Aces are ULONG-aligned; never claim bytes past the caller's buffer.
  AclLength &= ~3u;
  Acl->AclRevision = static_cast<UCHAR>(AclRevision);
  Acl->Sbz1 = 0;
  Acl->AclSize = static_cast<USHORT>(AclLength);
  Acl->AceCount = 0;
  Acl->Sbz2 = 0;
  return STATUS_SUCCESS;
}

BOOLEAN NTAPI RtlValidAcl(PACL Acl) {
  if (!Acl || !RevisionInRange(Acl->AclRevision)) return FALSE;
  if (Acl->AclSize < sizeof(ACL) || (Acl->AclSize & 3)) return FALSE;
  ULONG at = sizeof(ACL);
  auto *base = reinterpret_cast<PUCHAR>(Acl);
  for (USHORT i = 0; i < Acl->AceCount; ++i) {
    if (at + sizeof(ACE_HEADER) > Acl->AclSize) return FALSE;
    auto *ace = reinterpret_cast<PACE_HEADER>(base + at);
    if (ace->AceSize < sizeof(ACE_HEADER) || (ace->AceSize & 3) ||
        at + ace->AceSize > Acl->AclSize)
      return FALSE;
    if (ace->AceType >= ACCESS_MIN_MS_OBJECT_ACE_TYPE &&
        ace->AceType <= ACCESS_MAX_MS_OBJECT_ACE_TYPE && Acl->AclRevision < ACL_REVISION_DS)
      return FALSE;
    if (AceHasPlainSid(ace->AceType)) {
      if (ace->AceSize < kAceBaseLength + kSidHeaderLength) return FALSE;
      if (!SidFits(AceSid(ace), ace->AceSize - kAceBaseLength)) return FALSE;
    }
    at += ace->AceSize;
  }
  return TRUE;
}

NTSTATUS NTAPI RtlAddAccessAllowedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                      PSID Sid) {
  return AddKnownAce(Acl, AceRevision, 0, 0, AccessMask, Sid, ACCESS_ALLOWED_ACE_TYPE);
}

NTSTATUS NTAPI RtlAddAccessAllowedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                        ACCESS_MASK AccessMask, PSID Sid) {
  return AddKnownAce(Acl, AceRevision, AceFlags, VALID_INHERIT_FLAGS, AccessMask, Sid,
                     ACCESS_ALLOWED_ACE_TYPE);
}

NTSTATUS NTAPI RtlAddAccessDeniedAce(PACL Acl, ULONG AceRevision, ACCESS_MASK AccessMask,
                                     PSID Sid) {
  return AddKnownAce(Acl, AceRevision, 0, 0, AccessMask, Sid, ACCESS_DENIED_ACE_TYPE);
}

NTSTATUS NTAPI RtlAddAccessDeniedAceEx(PACL Acl, ULONG AceRevision, ULONG AceFlags,
                                       ACCESS_MASK AccessMask, PSID Sid) {
  return AddKnownAce(Acl, AceRevision, AceFlags, VALID_INHERIT_FLAGS, AccessMask, Sid,
                     ACCESS_DENIED_ACE_TYPE);
}

NTSTATUS NTAPI RtlAddMandatoryAce(PACL Acl, ULONG AceRevision, ULONG AceFlags, PSID Sid,
                                  UCHAR AceType, ACCESS_MASK AccessMask) {
  if (AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE) return STATUS_INVALID_PARAMETER;
  if (AccessMask & ~SYSTEM_MANDATORY_LABEL_VALID_MASK) return STATUS_INVALID_PARAMETER;
  return AddKnownAce(Acl, AceRevision, AceFlags, VALID_INHERIT_FLAGS, AccessMask, Sid, AceType);
}

NTSTATUS NTAPI RtlAddAce(PACL Acl, ULONG AceRevision, ULONG StartingAceIndex, PVOID AceList,
                         ULONG AceListLength) {
  if (!RtlValidAcl(Acl)) return STATUS_INVALID_PARAMETER;
  if (AceRevision > MAX_ACL_REVISION) return STATUS_INVALID_PARAMETER;
  // The list must be whole aces, end to end.
  ULONG count = 0;
  for (ULONG at = 0; at < AceListLength; ++count) {
    if (AceListLength - at < sizeof(ACE_HEADER)) return STATUS_INVALID_PARAMETER;
    auto *ace = reinterpret_cast<PACE_HEADER>(static_cast<PUCHAR>(AceList) + at);
    if (ace->AceSize < sizeof(ACE_HEADER) || (ace->AceSize & 3) ||
        ace->AceSize > AceListLength - at)
      return STATUS_INVALID_PARAMETER;
    at += ace->AceSize;
  }
  if (Acl->AceCount + count > 0xFFFF) return STATUS_INVALID_PARAMETER;
  ULONG used;
  if (!UsedLength(Acl, &used)) return STATUS_INVALID_PARAMETER;
  if (used + AceListLength > Acl->AclSize) return STATUS_BUFFER_TOO_SMALL;

  ULONG index = StartingAceIndex > Acl->AceCount ? Acl->AceCount : StartingAceIndex;
  PUCHAR insertAt = AceAt(Acl, index);
  PUCHAR end = reinterpret_cast<PUCHAR>(Acl) + used;
  memmove(insertAt + AceListLength, insertAt, end - insertAt);
  memcpy(insertAt, AceList, AceListLength);
  Acl->AceCount = static_cast<USHORT>(Acl->AceCount + count);
  if (AceRevision > Acl->AclRevision) Acl->AclRevision = static_cast<UCHAR>(AceRevision);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetAce(PACL Acl, ULONG AceIndex, PVOID *Ace) {
  if (!RevisionInRange(Acl->AclRevision) || AceIndex >= Acl->AceCount)
    return STATUS_INVALID_PARAMETER;
  ULONG used;
  if (!UsedLength(Acl, &used)) return STATUS_INVALID_PARAMETER;
  *Ace = AceAt(Acl, AceIndex);
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlDeleteAce(PACL Acl, ULONG AceIndex) {
  if (!RevisionInRange(Acl->AclRevision) || AceIndex >= Acl->AceCount)
    return STATUS_INVALID_PARAMETER;
  ULONG used;
  if (!UsedLength(Acl, &used)) return STATUS_INVALID_PARAMETER;
  PUCHAR ace = AceAt(Acl, AceIndex);
  ULONG size = reinterpret_cast<PACE_HEADER>(ace)->AceSize;
  PUCHAR end = reinterpret_cast<PUCHAR>(Acl) + used;
  memmove(ace, ace + size, end - (ace + size));
  memset(end - size, 0, size);
  Acl->AceCount--;
  return STATUS_SUCCESS;
}
