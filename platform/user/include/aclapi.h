// Security of named objects (files and folders) and the building of
// access-control lists from explicit entries.
#pragma once

#include <windows.h>

typedef enum _SE_OBJECT_TYPE {
  SE_UNKNOWN_OBJECT_TYPE = 0,
  SE_FILE_OBJECT,
  SE_SERVICE,
  SE_PRINTER,
  SE_REGISTRY_KEY,
  SE_LMSHARE,
  SE_KERNEL_OBJECT,
  SE_WINDOW_OBJECT,
} SE_OBJECT_TYPE;

typedef enum _ACCESS_MODE {
  NOT_USED_ACCESS = 0,
  GRANT_ACCESS,
  SET_ACCESS,
  DENY_ACCESS,
  REVOKE_ACCESS,
  SET_AUDIT_SUCCESS,
  SET_AUDIT_FAILURE,
} ACCESS_MODE;

typedef enum _MULTIPLE_TRUSTEE_OPERATION { NO_MULTIPLE_TRUSTEE, TRUSTEE_IS_IMPERSONATE } MULTIPLE_TRUSTEE_OPERATION;
typedef enum _TRUSTEE_FORM {
  TRUSTEE_IS_SID = 0,
  TRUSTEE_IS_NAME,
  TRUSTEE_BAD_FORM,
  TRUSTEE_IS_OBJECTS_AND_SID,
  TRUSTEE_IS_OBJECTS_AND_NAME,
} TRUSTEE_FORM;
typedef enum _TRUSTEE_TYPE {
  TRUSTEE_IS_UNKNOWN = 0,
  TRUSTEE_IS_USER,
  TRUSTEE_IS_GROUP,
  TRUSTEE_IS_DOMAIN,
  TRUSTEE_IS_ALIAS,
  TRUSTEE_IS_WELL_KNOWN_GROUP,
  TRUSTEE_IS_DELETED,
  TRUSTEE_IS_INVALID,
  TRUSTEE_IS_COMPUTER,
} TRUSTEE_TYPE;

typedef struct _TRUSTEE_W {
  struct _TRUSTEE_W *pMultipleTrustee;
  MULTIPLE_TRUSTEE_OPERATION MultipleTrusteeOperation;
  TRUSTEE_FORM TrusteeForm;
  TRUSTEE_TYPE TrusteeType;
  LPWSTR ptstrName;  // with TRUSTEE_IS_SID: the SID
} TRUSTEE_W, *PTRUSTEE_W;

#define NO_INHERITANCE 0x0
#define SUB_OBJECTS_ONLY_INHERIT 0x1
#define SUB_CONTAINERS_ONLY_INHERIT 0x2
#define SUB_CONTAINERS_AND_OBJECTS_INHERIT 0x3
#define INHERIT_NO_PROPAGATE 0x4
#define INHERIT_ONLY 0x8

typedef struct _EXPLICIT_ACCESS_W {
  DWORD grfAccessPermissions;
  ACCESS_MODE grfAccessMode;
  DWORD grfInheritance;
  TRUSTEE_W Trustee;
} EXPLICIT_ACCESS_W, *PEXPLICIT_ACCESS_W;

// Results are Win32 error codes. What *ppSecurityDescriptor receives is
// freed with LocalFree; the owner, group and lists point into it.
WINBASEAPI DWORD WINAPI GetNamedSecurityInfoW(LPCWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                              SECURITY_INFORMATION SecurityInfo, PSID *ppsidOwner,
                                              PSID *ppsidGroup, PACL *ppDacl, PACL *ppSacl,
                                              PSECURITY_DESCRIPTOR *ppSecurityDescriptor);
WINBASEAPI DWORD WINAPI SetNamedSecurityInfoW(LPWSTR pObjectName, SE_OBJECT_TYPE ObjectType,
                                              SECURITY_INFORMATION SecurityInfo, PSID psidOwner,
                                              PSID psidGroup, PACL pDacl, PACL pSacl);
// A new list (LocalFree) holding OldAcl with the entries merged in:
// explicit denials first, then explicit grants, then the inherited entries
// of OldAcl.
WINBASEAPI DWORD WINAPI SetEntriesInAclW(ULONG cCountOfExplicitEntries,
                                         PEXPLICIT_ACCESS_W pListOfExplicitEntries, PACL OldAcl,
                                         PACL *NewAcl);
