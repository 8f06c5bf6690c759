// Security descriptors of objects: reading them and replacing parts of them.
#include "internal.h"
#include "ob/object.h"
#include "se/security_internal.h"
#include "nt/io.h"
#include "nt/pool.h"

#include <cstring>
#include <mutex>

namespace {

constexpr ULONG kObjectSecurityTag = 0x20206553;  // "Se  "

// Serialises replacements of descriptors; readers of a descriptor hold a
// reference to the object, and a replaced descriptor is freed only after
// the swap.
std::mutex gSecurityLock;

}  // namespace

using namespace bw;

NTSTATUS ObGetObjectSecurity(PVOID Object, PSECURITY_DESCRIPTOR *SecurityDescriptor, PBOOLEAN MemoryAllocated) {
  if (!Object || !SecurityDescriptor || !MemoryAllocated) return STATUS_INVALID_PARAMETER;
  *SecurityDescriptor = nullptr;
  *MemoryAllocated = FALSE;
  std::lock_guard<std::mutex> guard(gSecurityLock);
  PVOID current = HeaderOf(Object)->securityDescriptor;
  if (!current) return STATUS_SUCCESS;
  // A copy, so that a later replacement cannot pull it from under the caller.
  ULONG length = RtlLengthSecurityDescriptor(current);
  PVOID copy = ExAllocatePoolWithTag(PagedPool, length, kObjectSecurityTag);
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(copy, current, length);
  *SecurityDescriptor = copy;
  *MemoryAllocated = TRUE;
  return STATUS_SUCCESS;
}

VOID ObReleaseObjectSecurity(PSECURITY_DESCRIPTOR SecurityDescriptor, BOOLEAN MemoryAllocated) {
  if (SecurityDescriptor && MemoryAllocated) ExFreePool(SecurityDescriptor);
}

NTSTATUS ObSetSecurityObjectByPointer(PVOID Object, SECURITY_INFORMATION SecurityInformation,
                                      PSECURITY_DESCRIPTOR SecurityDescriptor) {
  if (!Object || !SecurityDescriptor || !RtlValidSecurityDescriptor(SecurityDescriptor))
    return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> guard(gSecurityLock);
  ObjectHeader *header = HeaderOf(Object);
  PVOID old = header->securityDescriptor;

  SECURITY_DESCRIPTOR merged;
  RtlCreateSecurityDescriptor(&merged, SECURITY_DESCRIPTOR_REVISION);
  auto take = [&](SECURITY_INFORMATION bits) -> PSECURITY_DESCRIPTOR {
    return (SecurityInformation & bits) ? SecurityDescriptor : old;
  };
  if (PSECURITY_DESCRIPTOR from = take(OWNER_SECURITY_INFORMATION))
    RtlSetOwnerSecurityDescriptor(&merged, sec::SdOwner(from), FALSE);
  if (PSECURITY_DESCRIPTOR from = take(GROUP_SECURITY_INFORMATION))
    RtlSetGroupSecurityDescriptor(&merged, sec::SdGroup(from), FALSE);
  if (PSECURITY_DESCRIPTOR from = take(DACL_SECURITY_INFORMATION)) {
    BOOLEAN present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    RtlGetDaclSecurityDescriptor(from, &present, &dacl, &defaulted);
    if (present) RtlSetDaclSecurityDescriptor(&merged, TRUE, dacl, FALSE);
    merged.Control |= static_cast<PISECURITY_DESCRIPTOR>(from)->Control & SE_DACL_PROTECTED;
  }
  if (PSECURITY_DESCRIPTOR from = take(SACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION)) {
    BOOLEAN present = FALSE, defaulted = FALSE;
    PACL sacl = nullptr;
    RtlGetSaclSecurityDescriptor(from, &present, &sacl, &defaulted);
    if (present) RtlSetSaclSecurityDescriptor(&merged, TRUE, sacl, FALSE);
    merged.Control |= static_cast<PISECURITY_DESCRIPTOR>(from)->Control & SE_SACL_PROTECTED;
  }
  if (SecurityInformation & PROTECTED_DACL_SECURITY_INFORMATION) merged.Control |= SE_DACL_PROTECTED;
  if (SecurityInformation & PROTECTED_SACL_SECURITY_INFORMATION) merged.Control |= SE_SACL_PROTECTED;
  ULONG length = 0;
  NTSTATUS status = RtlAbsoluteToSelfRelativeSD(&merged, nullptr, &length);
  if (status != STATUS_BUFFER_TOO_SMALL) return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
  PVOID relative = ExAllocatePoolWithTag(PagedPool, length, kObjectSecurityTag);
  if (!relative) return STATUS_INSUFFICIENT_RESOURCES;
  status = RtlAbsoluteToSelfRelativeSD(&merged, relative, &length);
  if (!NT_SUCCESS(status)) {
    ExFreePool(relative);
    return status;
  }
  header->securityDescriptor = relative;
  if (header->type == &DeviceType) static_cast<PDEVICE_OBJECT>(Object)->SecurityDescriptor = relative;
  if (old) ExFreePool(old);
  return STATUS_SUCCESS;
}
