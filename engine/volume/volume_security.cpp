// Security of a volume's own device, and the tokens access decisions use.
#include "engine/protocol/engine_protocol.h"
#include "engine/volume/volume_device.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_token.h"
#include "kernel-support/ks_version.h"

namespace {

constexpr ACCESS_MASK kCreatorAccess = 0x001F01FF;

// Replaces the device's DACL by its current one plus a full-access entry for
// the creator's user SID.
NTSTATUS GrantCreator(PDEVICE_OBJECT Device, PSID User) {
  PSECURITY_DESCRIPTOR current = nullptr;
  BOOLEAN allocated = FALSE;
  NTSTATUS status = ObGetObjectSecurity(Device, &current, &allocated);
  if (!NT_SUCCESS(status)) return status;
  BOOLEAN present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  if (current) status = RtlGetDaclSecurityDescriptor(current, &present, &dacl, &defaulted);
  ULONG oldSize = (NT_SUCCESS(status) && present && dacl) ? dacl->AclSize : sizeof(ACL);
  ULONG size = oldSize + sizeof(ACCESS_ALLOWED_ACE) - sizeof(ULONG) + RtlLengthSid(User);
  PACL acl = NT_SUCCESS(status) ? static_cast<PACL>(KsAllocate(size, KS_TAG_ACL, PagedPool)) : nullptr;
  if (NT_SUCCESS(status) && !acl) status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) {
    if (present && dacl) {
      RtlCopyMemory(acl, dacl, dacl->AclSize);
      acl->AclSize = static_cast<USHORT>(size);
    } else {
      status = RtlCreateAcl(acl, size, ACL_REVISION);
    }
  }
  if (NT_SUCCESS(status)) status = RtlAddAccessAllowedAce(acl, ACL_REVISION, kCreatorAccess, User);
  SECURITY_DESCRIPTOR descriptor;
  if (NT_SUCCESS(status)) status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, acl, FALSE);
  if (NT_SUCCESS(status))
    status = ObSetSecurityObjectByPointer(Device, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                          &descriptor);
  KsFree(&acl);
  ObReleaseObjectSecurity(current, allocated);
  return status;
}

// A NULL DACL; on systems after version 5 also a low integrity label, so
// that processes of low integrity may write too.
NTSTATUS OpenToEverybody(PDEVICE_OBJECT Device) {
  SECURITY_DESCRIPTOR descriptor;
  NTSTATUS status = RtlCreateSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  if (NT_SUCCESS(status)) status = RtlSetDaclSecurityDescriptor(&descriptor, TRUE, nullptr, FALSE);
  SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION;
  UCHAR sidBuffer[SECURITY_MAX_SID_SIZE];
  PACL sacl = nullptr;
  if (NT_SUCCESS(status) && KsSystemVersion()->Major > 5) {
    SID_IDENTIFIER_AUTHORITY mandatory = SECURITY_MANDATORY_LABEL_AUTHORITY;
    PSID low = sidBuffer;
    status = RtlInitializeSid(low, &mandatory, 1);
    if (NT_SUCCESS(status)) {
      *RtlSubAuthoritySid(low, 0) = SECURITY_MANDATORY_LOW_RID;
      ULONG size = sizeof(ACL) + sizeof(SYSTEM_MANDATORY_LABEL_ACE) - sizeof(ULONG) + RtlLengthSid(low);
      sacl = static_cast<PACL>(KsAllocate(size, KS_TAG_ACL, PagedPool));
      status = sacl ? RtlCreateAcl(sacl, size, ACL_REVISION) : STATUS_INSUFFICIENT_RESOURCES;
      if (NT_SUCCESS(status))
        status = RtlAddMandatoryAce(sacl, ACL_REVISION, 0, low, SYSTEM_MANDATORY_LABEL_ACE_TYPE,
                                    SYSTEM_MANDATORY_LABEL_NO_WRITE_UP);
      if (NT_SUCCESS(status)) status = RtlSetSaclSecurityDescriptor(&descriptor, TRUE, sacl, FALSE);
      parts |= LABEL_SECURITY_INFORMATION;
    }
  }
  if (NT_SUCCESS(status)) status = ObSetSecurityObjectByPointer(Device, parts, &descriptor);
  KsFree(&sacl);
  return status;
}

}  // namespace

// Passive level, in the creating thread.
NTSTATUS VolumeSecureDevice(PDEVICE_OBJECT Device, ULONG MountFlags) {
  if (MountFlags & ENGINE_MOUNT_NO_SECURITY) return OpenToEverybody(Device);
  KS_TOKEN token;
  NTSTATUS status = KsReferenceToken(PsGetCurrentThread(), nullptr, &token);
  if (!NT_SUCCESS(status)) return status;
  PSID user = nullptr;
  status = KsQueryTokenUserSid(&token, &user);
  KsReleaseToken(&token);
  if (!NT_SUCCESS(status)) return status;
  status = GrantCreator(Device, user);
  KsFree(&user);
  return status;
}
