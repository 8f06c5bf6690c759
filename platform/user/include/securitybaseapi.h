// Security identifiers, access-control lists, token membership, system
// message texts, the process's error mode and local memory: the calls the
// manager makes around a RAM disk's root folder and its error messages.
// windows.h includes this header.
#pragma once

#include <cstdarg>

// Local memory: the process heap under another name, as on Windows today.
typedef HANDLE HLOCAL;
#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)
WINBASEAPI HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes);
// Null on success; the block itself when it is no block of the heap.
WINBASEAPI HLOCAL WINAPI LocalFree(HLOCAL hMem);

// System message texts (English), each ending in CR LF as Windows has it.
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define FORMAT_MESSAGE_MAX_WIDTH_MASK 0x000000FF
#define ERROR_RESOURCE_LANG_NOT_FOUND 15100L
WINBASEAPI DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId,
                                       DWORD dwLanguageId, LPWSTR lpBuffer, DWORD nSize,
                                       va_list *Arguments);

// Whether the system shows its critical-error and open-file dialogs; no
// dialog is ever shown here, the mode is only kept.
#define SEM_FAILCRITICALERRORS 0x0001
#define SEM_NOGPFAULTERRORBOX 0x0002
#define SEM_NOALIGNMENTFAULTEXCEPT 0x0004
#define SEM_NOOPENFILEERRORBOX 0x8000
WINBASEAPI UINT WINAPI SetErrorMode(UINT uMode);
WINBASEAPI UINT WINAPI GetErrorMode(VOID);

// Security identifiers.
typedef PVOID PSID;
typedef struct _SID_IDENTIFIER_AUTHORITY {
  BYTE Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;
#define SECURITY_MAX_SID_SIZE 68
#define ERROR_INVALID_SID 1337L
#define ERROR_INVALID_ACL 1336L
#define ERROR_NO_SECURITY_ON_OBJECT 1350L
typedef enum _WELL_KNOWN_SID_TYPE {
  WinNullSid = 0,
  WinWorldSid = 1,
  WinLocalSid = 2,
  WinCreatorOwnerSid = 3,
  WinCreatorGroupSid = 4,
  WinNtAuthoritySid = 7,
  WinNetworkSid = 9,
  WinBatchSid = 10,
  WinInteractiveSid = 11,
  WinServiceSid = 12,
  WinAnonymousSid = 13,
  WinAuthenticatedUserSid = 17,
  WinLocalSystemSid = 22,
  WinLocalServiceSid = 23,
  WinNetworkServiceSid = 24,
  WinBuiltinDomainSid = 25,
  WinBuiltinAdministratorsSid = 26,
  WinBuiltinUsersSid = 27,
  WinBuiltinGuestsSid = 28,
} WELL_KNOWN_SID_TYPE;
// DomainSid is needed by none of the types offered and may be null.
WINBASEAPI BOOL WINAPI CreateWellKnownSid(WELL_KNOWN_SID_TYPE WellKnownSidType, PSID DomainSid,
                                          PSID pSid, DWORD *cbSid);
WINBASEAPI BOOL WINAPI IsValidSid(PSID pSid);
WINBASEAPI DWORD WINAPI GetLengthSid(PSID pSid);
WINBASEAPI BOOL WINAPI EqualSid(PSID pSid1, PSID pSid2);
// Whether the group is enabled in the token (null: the caller's own;
// a primary token given here is refused as on Windows: ERROR_NO_IMPERSONATION_TOKEN).
#define ERROR_NO_IMPERSONATION_TOKEN 1309L
WINBASEAPI BOOL WINAPI CheckTokenMembership(HANDLE TokenHandle, PSID SidToCheck, PBOOL IsMember);

// Access-control lists (ACL itself is windows.h's) and their entries.
typedef struct _ACE_HEADER {
  BYTE AceType;
  BYTE AceFlags;
  WORD AceSize;
} ACE_HEADER, *PACE_HEADER;
typedef struct _ACCESS_ALLOWED_ACE {
  ACE_HEADER Header;
  ACCESS_MASK Mask;
  DWORD SidStart;
} ACCESS_ALLOWED_ACE, *PACCESS_ALLOWED_ACE;
typedef ACCESS_ALLOWED_ACE ACCESS_DENIED_ACE, *PACCESS_DENIED_ACE;
#define ACL_REVISION 2
#define ACCESS_ALLOWED_ACE_TYPE 0x0
#define ACCESS_DENIED_ACE_TYPE 0x1
#define OBJECT_INHERIT_ACE 0x1
#define CONTAINER_INHERIT_ACE 0x2
#define NO_PROPAGATE_INHERIT_ACE 0x4
#define INHERIT_ONLY_ACE 0x8
#define INHERITED_ACE 0x10
#define VALID_INHERIT_FLAGS 0x1F
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_PROTECTED 0x1000
#define PROTECTED_DACL_SECURITY_INFORMATION 0x80000000L
#define UNPROTECTED_DACL_SECURITY_INFORMATION 0x20000000L
#define ERROR_NONE_MAPPED 1332L
#define ERROR_INVALID_OWNER 1307L
#define ERROR_INVALID_PRIMARY_GROUP 1308L
