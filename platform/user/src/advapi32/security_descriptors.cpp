// Security descriptors a program builds in its own memory, in the absolute
// form: an empty one, and its DACL.
#include <windows.h>

#include <cstring>

BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                         DWORD dwRevision) {
  if (!pSecurityDescriptor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwRevision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_INVALID_REVISION);
    return FALSE;
  }
  memset(pSecurityDescriptor, 0, sizeof(SECURITY_DESCRIPTOR));
  static_cast<PISECURITY_DESCRIPTOR>(pSecurityDescriptor)->Revision = SECURITY_DESCRIPTOR_REVISION;
  return TRUE;
}

BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor, BOOL bDaclPresent,
                                      PACL pDacl, BOOL bDaclDefaulted) {
  auto *descriptor = static_cast<PISECURITY_DESCRIPTOR>(pSecurityDescriptor);
  if (!descriptor) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (descriptor->Revision != SECURITY_DESCRIPTOR_REVISION) {
    SetLastError(ERROR_INVALID_REVISION);
    return FALSE;
  }
  // Only the absolute form has room for a pointer.
  if (descriptor->Control & SE_SELF_RELATIVE) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return FALSE;
  }
  descriptor->Control &= ~(SE_DACL_PRESENT | SE_DACL_DEFAULTED);
  descriptor->Dacl = nullptr;
  if (bDaclPresent) {
    descriptor->Control |= SE_DACL_PRESENT;
    descriptor->Dacl = pDacl;
    if (bDaclDefaulted) descriptor->Control |= SE_DACL_DEFAULTED;
  }
  return TRUE;
}
