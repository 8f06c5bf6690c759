// Run-time library: security descriptors and generic mappings.
#include "nt/rtl.h"
#include "nt/security.h"
#include "se/security_internal.h"

#include <cstring>

using namespace bw::sec;

namespace {

constexpr ULONG kRelativeHeader = sizeof(SECURITY_DESCRIPTOR_RELATIVE);

PISECURITY_DESCRIPTOR Absolute(PSECURITY_DESCRIPTOR sd) {
  return static_cast<PISECURITY_DESCRIPTOR>(sd);
}

// Setters only work on the absolute form, whose parts are pointers.
NTSTATUS CheckSettable(PSECURITY_DESCRIPTOR sd) {
  if (Absolute(sd)->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  if (IsSelfRelative(sd)) return STATUS_BAD_DESCRIPTOR_FORMAT;
  return STATUS_SUCCESS;
}

ULONG SidSpace(PSID sid) { return sid ? RoundUp4(RtlLengthSid(sid)) : 0; }
ULONG AclSpace(PACL acl) { return acl ? RoundUp4(acl->AclSize) : 0; }

// A part of a self-relative descriptor must start past the header, on a
// ULONG boundary, inside the block.
bool OffsetUsable(ULONG offset, ULONG length) {
  return offset >= kRelativeHeader && offset < length && (offset & 3) == 0;
}

}  // namespace

NTSTATUS NTAPI RtlCreateSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                           ULONG Revision) {
  if (Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  memset(SecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  Absolute(SecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return STATUS_SUCCESS;
}

BOOLEAN NTAPI RtlValidSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
  if (!SecurityDescriptor) return FALSE;
  if (Absolute(SecurityDescriptor)->Revision != SECURITY_DESCRIPTOR_REVISION) return FALSE;
  PSID owner = SdOwner(SecurityDescriptor);
  if (owner && !RtlValidSid(owner)) return FALSE;
  PSID group = SdGroup(SecurityDescriptor);
  if (group && !RtlValidSid(group)) return FALSE;
  PACL dacl = SdDacl(SecurityDescriptor);
  if (dacl && !RtlValidAcl(dacl)) return FALSE;
  PACL sacl = SdSacl(SecurityDescriptor);
  if (sacl && !RtlValidAcl(sacl)) return FALSE;
  return TRUE;
}

BOOLEAN NTAPI RtlValidRelativeSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptorInput,
                                                 ULONG SecurityDescriptorLength,
                                                 SECURITY_INFORMATION RequiredInformation) {
  if (!SecurityDescriptorInput || SecurityDescriptorLength < kRelativeHeader) return FALSE;
  auto *sd = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(SecurityDescriptorInput);
  auto *base = static_cast<PUCHAR>(SecurityDescriptorInput);
  ULONG length = SecurityDescriptorLength;
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION || !(sd->Control & SE_SELF_RELATIVE))
    return FALSE;

  auto sidOk = [&](ULONG offset, SECURITY_INFORMATION bit) {
    if (!offset) return (RequiredInformation & bit) == 0;
    return OffsetUsable(offset, length) && SidFits(base + offset, length - offset);
  };
  auto aclOk = [&](ULONG offset, USHORT presentFlag, SECURITY_INFORMATION bit) {
    if (!(sd->Control & presentFlag)) return (RequiredInformation & bit) == 0;
    if (!offset) return true;  // present but null
    return OffsetUsable(offset, length) &&
           AclFits(reinterpret_cast<PACL>(base + offset), length - offset);
  };
  return sidOk(sd->Owner, OWNER_SECURITY_INFORMATION) &&
         sidOk(sd->Group, GROUP_SECURITY_INFORMATION) &&
         aclOk(sd->Dacl, SE_DACL_PRESENT, DACL_SECURITY_INFORMATION) &&
         aclOk(sd->Sacl, SE_SACL_PRESENT, SACL_SECURITY_INFORMATION);
}

ULONG NTAPI RtlLengthSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor) {
  ULONG length = IsSelfRelative(SecurityDescriptor) ? kRelativeHeader : sizeof(SECURITY_DESCRIPTOR);
  return length + SidSpace(SdOwner(SecurityDescriptor)) + SidSpace(SdGroup(SecurityDescriptor)) +
         AclSpace(SdDacl(SecurityDescriptor)) + AclSpace(SdSacl(SecurityDescriptor));
}

NTSTATUS NTAPI RtlGetControlSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                               PSECURITY_DESCRIPTOR_CONTROL Control,
                                               PULONG Revision) {
  *Revision = Absolute(SecurityDescriptor)->Revision;
  if (*Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  *Control = Absolute(SecurityDescriptor)->Control;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            BOOLEAN DaclPresent, PACL Dacl,
                                            BOOLEAN DaclDefaulted) {
  NTSTATUS status = CheckSettable(SecurityDescriptor);
  if (!NT_SUCCESS(status)) return status;
  auto *sd = Absolute(SecurityDescriptor);
  sd->Control &= ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
  sd->Dacl = nullptr;
  if (DaclPresent) {
    sd->Control |= SE_DACL_PRESENT;
    sd->Dacl = Dacl;
    if (DaclDefaulted) sd->Control |= SE_DACL_DEFAULTED;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            BOOLEAN SaclPresent, PACL Sacl,
                                            BOOLEAN SaclDefaulted) {
  NTSTATUS status = CheckSettable(SecurityDescriptor);
  if (!NT_SUCCESS(status)) return status;
  auto *sd = Absolute(SecurityDescriptor);
  sd->Control &= ~(SE_SACL_PRESENT | SE_SACL_DEFAULTED);
  sd->Sacl = nullptr;
  if (SaclPresent) {
    sd->Control |= SE_SACL_PRESENT;
    sd->Sacl = Sacl;
    if (SaclDefaulted) sd->Control |= SE_SACL_DEFAULTED;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Owner,
                                             BOOLEAN OwnerDefaulted) {
  NTSTATUS status = CheckSettable(SecurityDescriptor);
  if (!NT_SUCCESS(status)) return status;
  auto *sd = Absolute(SecurityDescriptor);
  sd->Owner = Owner;
  sd->Control &= ~SE_OWNER_DEFAULTED;
  if (OwnerDefaulted) sd->Control |= SE_OWNER_DEFAULTED;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID Group,
                                             BOOLEAN GroupDefaulted) {
  NTSTATUS status = CheckSettable(SecurityDescriptor);
  if (!NT_SUCCESS(status)) return status;
  auto *sd = Absolute(SecurityDescriptor);
  sd->Group = Group;
  sd->Control &= ~SE_GROUP_DEFAULTED;
  if (GroupDefaulted) sd->Control |= SE_GROUP_DEFAULTED;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetDaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            PBOOLEAN DaclPresent, PACL *Dacl,
                                            PBOOLEAN DaclDefaulted) {
  auto *sd = Absolute(SecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  *DaclPresent = (sd->Control & SE_DACL_PRESENT) ? TRUE : FALSE;
  // Callers may read these even when the DACL is absent; give them defined values.
  *Dacl = SdDacl(SecurityDescriptor);
  *DaclDefaulted = (*DaclPresent && (sd->Control & SE_DACL_DEFAULTED)) ? TRUE : FALSE;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetSaclSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor,
                                            PBOOLEAN SaclPresent, PACL *Sacl,
                                            PBOOLEAN SaclDefaulted) {
  auto *sd = Absolute(SecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  *SaclPresent = (sd->Control & SE_SACL_PRESENT) ? TRUE : FALSE;
  *Sacl = SdSacl(SecurityDescriptor);
  *SaclDefaulted = (*SaclPresent && (sd->Control & SE_SACL_DEFAULTED)) ? TRUE : FALSE;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetOwnerSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID *Owner,
                                             PBOOLEAN OwnerDefaulted) {
  auto *sd = Absolute(SecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  *Owner = SdOwner(SecurityDescriptor);
  *OwnerDefaulted = (sd->Control & SE_OWNER_DEFAULTED) ? TRUE : FALSE;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlGetGroupSecurityDescriptor(PSECURITY_DESCRIPTOR SecurityDescriptor, PSID *Group,
                                             PBOOLEAN GroupDefaulted) {
  auto *sd = Absolute(SecurityDescriptor);
  if (sd->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  *Group = SdGroup(SecurityDescriptor);
  *GroupDefaulted = (sd->Control & SE_GROUP_DEFAULTED) ? TRUE : FALSE;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlAbsoluteToSelfRelativeSD(PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                           PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                           PULONG BufferLength) {
  auto *abs = Absolute(AbsoluteSecurityDescriptor);
  if (abs->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  if (abs->Control & SE_SELF_RELATIVE) return STATUS_BAD_DESCRIPTOR_FORMAT;

  PSID owner = abs->Owner;
  PSID group = abs->Group;
  PACL dacl = SdDacl(abs);
  PACL sacl = SdSacl(abs);
  ULONG length = kRelativeHeader + AclSpace(sacl) + AclSpace(dacl) + SidSpace(owner) +
                 SidSpace(group);
  if (*BufferLength < length) {
    *BufferLength = length;
    return STATUS_BUFFER_TOO_SMALL;
  }

  auto *base = static_cast<PUCHAR>(SelfRelativeSecurityDescriptor);
  memset(base, 0, length);
  auto *rel = static_cast<PISECURITY_DESCRIPTOR_RELATIVE>(SelfRelativeSecurityDescriptor);
  rel->Revision = abs->Revision;
  rel->Sbz1 = abs->Sbz1;
  rel->Control = abs->Control | SE_SELF_RELATIVE;
  // Same order as the kernel: SACL, DACL, owner, group.
  ULONG at = kRelativeHeader;
  if (sacl) {
    memcpy(base + at, sacl, sacl->AclSize);
    rel->Sacl = at;
    at += AclSpace(sacl);
  }
  if (dacl) {
    memcpy(base + at, dacl, dacl->AclSize);
    rel->Dacl = at;
    at += AclSpace(dacl);
  }
  if (owner) {
    memcpy(base + at, owner, RtlLengthSid(owner));
    rel->Owner = at;
    at += SidSpace(owner);
  }
  if (group) {
    memcpy(base + at, group, RtlLengthSid(group));
    rel->Group = at;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI RtlSelfRelativeToAbsoluteSD(PSECURITY_DESCRIPTOR SelfRelativeSecurityDescriptor,
                                           PSECURITY_DESCRIPTOR AbsoluteSecurityDescriptor,
                                           PULONG AbsoluteSecurityDescriptorSize, PACL Dacl,
                                           PULONG DaclSize, PACL Sacl, PULONG SaclSize,
                                           PSID Owner, PULONG OwnerSize, PSID PrimaryGroup,
                                           PULONG PrimaryGroupSize) {
  PSECURITY_DESCRIPTOR rel = SelfRelativeSecurityDescriptor;
  if (Absolute(rel)->Revision != SECURITY_DESCRIPTOR_REVISION) return STATUS_UNKNOWN_REVISION;
  if (!IsSelfRelative(rel)) return STATUS_BAD_DESCRIPTOR_FORMAT;

  PSID relOwner = SdOwner(rel);
  PSID relGroup = SdGroup(rel);
  PACL relDacl = SdDacl(rel);
  PACL relSacl = SdSacl(rel);
  ULONG needAbs = sizeof(SECURITY_DESCRIPTOR);
  ULONG needDacl = relDacl ? relDacl->AclSize : 0;
  ULONG needSacl = relSacl ? relSacl->AclSize : 0;
  ULONG needOwner = relOwner ? RtlLengthSid(relOwner) : 0;
  ULONG needGroup = relGroup ? RtlLengthSid(relGroup) : 0;
  if (*AbsoluteSecurityDescriptorSize < needAbs || *DaclSize < needDacl || *SaclSize < needSacl ||
      *OwnerSize < needOwner || *PrimaryGroupSize < needGroup) {
    *AbsoluteSecurityDescriptorSize = needAbs;
    *DaclSize = needDacl;
    *SaclSize = needSacl;
    *OwnerSize = needOwner;
    *PrimaryGroupSize = needGroup;
    return STATUS_BUFFER_TOO_SMALL;
  }

  auto *abs = Absolute(AbsoluteSecurityDescriptor);
  auto *relHeader = Absolute(rel);
  abs->Revision = relHeader->Revision;
  abs->Sbz1 = relHeader->Sbz1;
  abs->Control = relHeader->Control & ~SE_SELF_RELATIVE;
  abs->Owner = abs->Group = nullptr;
  abs->Dacl = abs->Sacl = nullptr;
  if (relDacl) {
    memcpy(Dacl, relDacl, needDacl);
    abs->Dacl = Dacl;
  }
  if (relSacl) {
    memcpy(Sacl, relSacl, needSacl);
    abs->Sacl = Sacl;
  }
  if (relOwner) {
    memcpy(Owner, relOwner, needOwner);
    abs->Owner = Owner;
  }
  if (relGroup) {
    memcpy(PrimaryGroup, relGroup, needGroup);
    abs->Group = PrimaryGroup;
  }
  return STATUS_SUCCESS;
}

VOID NTAPI RtlMapGenericMask(PACCESS_MASK AccessMask, const GENERIC_MAPPING *GenericMapping) {
  ACCESS_MASK mask = *AccessMask;
  if (mask & GENERIC_READ) mask |= GenericMapping->GenericRead;
  if (mask & GENERIC_WRITE) mask |= GenericMapping->GenericWrite;
  if (mask & GENERIC_EXECUTE) mask |= GenericMapping->GenericExecute;
  if (mask & GENERIC_ALL) mask |= GenericMapping->GenericAll;
  *AccessMask = mask & ~ACCESS_MASK(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
}
