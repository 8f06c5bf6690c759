// The Win32 interface user-mode programs of this system call, on the host
// stand-in: handles, device I/O, last error, heap, threads, alertable waits.
#pragma once

#if defined(BW_DRIVER_CODE)
#error "driver code is kernel-mode code: it cannot include the Win32 headers"
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>  // memcpy and memset, which the SDK headers bring too

#define WINAPI
#define NTAPI
#define WINBASEAPI extern "C"
#define CALLBACK

typedef int BOOL;
typedef unsigned char BOOLEAN, BYTE, UCHAR, *PUCHAR, *LPBYTE;
typedef uint16_t WORD, USHORT;
typedef uint32_t DWORD, *PDWORD, *LPDWORD, ULONG, *PULONG, UINT;
typedef int32_t LONG, NTSTATUS;
typedef uint32_t ACCESS_MASK;
typedef uint64_t ULONGLONG, DWORDLONG, DWORD64, ULONG_PTR, DWORD_PTR, SIZE_T, *PSIZE_T;
typedef int64_t LONGLONG, LONG_PTR;
typedef void VOID, *PVOID, *LPVOID;
typedef const void *LPCVOID;
typedef void *HANDLE, **PHANDLE, *LPHANDLE;
typedef char16_t WCHAR, *LPWSTR, *PWSTR;
typedef const char16_t *LPCWSTR, *PCWSTR;
typedef char CHAR, *LPSTR;
typedef const char *LPCSTR;
typedef UINT *PUINT;
typedef BOOL *PBOOL;
typedef BYTE *PBYTE;
typedef uint64_t DWORDLONG;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_IO_COMPLETION 0x000000C0L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED 0xFFFFFFFF
#define STILL_ACTIVE 0x00000103L

// Access, sharing, dispositions, flags.
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_READONLY 0x00000001
#define FILE_ATTRIBUTE_HIDDEN 0x00000002
#define FILE_ATTRIBUTE_SYSTEM 0x00000004
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_ATTRIBUTE_TEMPORARY 0x00000100
#define FILE_ATTRIBUTE_COMPRESSED 0x00000800
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_FLAG_NO_BUFFERING 0x20000000
#define FILE_FLAG_WRITE_THROUGH 0x80000000
#define FILE_FLAG_RANDOM_ACCESS 0x10000000
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000
#define FILE_FLAG_DELETE_ON_CLOSE 0x04000000
#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000
// Specific and standard rights.
#define FILE_READ_DATA 0x0001
#define FILE_LIST_DIRECTORY 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_APPEND_DATA 0x0004
#define FILE_READ_ATTRIBUTES 0x0080
#define FILE_WRITE_ATTRIBUTES 0x0100
#define DELETE 0x00010000L
#define READ_CONTROL 0x00020000L
#define WRITE_DAC 0x00040000L
#define WRITE_OWNER 0x00080000L
#define SYNCHRONIZE 0x00100000L
#define ACCESS_SYSTEM_SECURITY 0x01000000L
#define MAXIMUM_ALLOWED 0x02000000L
#define FILE_ALL_ACCESS 0x001F01FF
#define MAX_PATH 260

// Errors this system's programs meet.
#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_LOCK_VIOLATION 33L
#define ERROR_FILE_EXISTS 80L
#define ERROR_DISK_FULL 112L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_DIRECTORY 267L
#define ERROR_INVALID_SECURITY_DESCR 1338L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_NOT_READY 21L
#define ERROR_BAD_COMMAND 22L
#define ERROR_GEN_FAILURE 31L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_FILE_TOO_LARGE 223L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_NOACCESS 998L
#define ERROR_SERVICE_NOT_ACTIVE 1062L
#define ERROR_NOT_FOUND 1168L
#define ERROR_NO_SUCH_LOGON_SESSION 1312L
#define ERROR_BAD_LENGTH 24L
#define ERROR_IMPLEMENTATION_LIMIT 1292L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_DEVICE_REMOVED 1617L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_INVALID_DATA 13L
#define ERROR_ALREADY_ASSIGNED 85L
#define ERROR_NO_TOKEN 1008L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_NOT_ALL_ASSIGNED 1300L
#define ERROR_NO_SUCH_PRIVILEGE 1313L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_WINDOW_OF_OTHER_THREAD 1408L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_NOT_ENOUGH_QUOTA 1816L
#define RPC_S_SERVER_UNAVAILABLE 1722L
#define ERROR_OBJECT_NOT_FOUND 4312L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_INTERNAL_ERROR 1359L
#define ERROR_INSTALL_SOURCE_ABSENT 1612L
#define ERROR_INSTALL_PACKAGE_INVALID 1620L

typedef struct _SECURITY_ATTRIBUTES {
  DWORD nLength;
  LPVOID lpSecurityDescriptor;
  BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef struct _OVERLAPPED {
  ULONG_PTR Internal;      // the NTSTATUS of the request
  ULONG_PTR InternalHigh;  // bytes transferred
  union {
    struct {
      DWORD Offset;
      DWORD OffsetHigh;
    };
    PVOID Pointer;
  };
  HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

// Last error.
WINBASEAPI DWORD WINAPI GetLastError(VOID);
WINBASEAPI VOID WINAPI SetLastError(DWORD dwErrCode);
WINBASEAPI ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);

// Files and devices.
WINBASEAPI HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile);
WINBASEAPI BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped);
WINBASEAPI BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait);
WINBASEAPI BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
WINBASEAPI BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
WINBASEAPI BOOL WINAPI FlushFileBuffers(HANDLE hFile);
WINBASEAPI BOOL WINAPI CloseHandle(HANDLE hObject);

// Volume names: "R:\" gives "\\?\Volume{GUID}\", asked of the mount manager.
WINBASEAPI BOOL WINAPI GetVolumeNameForVolumeMountPointW(LPCWSTR lpszVolumeMountPoint,
                                                         LPWSTR lpszVolumeName, DWORD cchBufferLength);

// Heap.
#define HEAP_ZERO_MEMORY 0x00000008
WINBASEAPI HANDLE WINAPI GetProcessHeap(VOID);
WINBASEAPI LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes);
WINBASEAPI LPVOID WINAPI HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes);
WINBASEAPI BOOL WINAPI HeapFree(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem);
WINBASEAPI SIZE_T WINAPI HeapSize(HANDLE hHeap, DWORD dwFlags, LPCVOID lpMem);

// Processes and threads.
typedef DWORD(WINAPI *LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
// The routine of a user-mode APC the kernel queues: context and two arguments.
typedef VOID(NTAPI *PNTAPCFUNC)(ULONG_PTR ApcContext, ULONG_PTR SystemArgument1,
                                ULONG_PTR SystemArgument2);
#define CREATE_SUSPENDED 0x00000004
WINBASEAPI HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes,
                                      SIZE_T dwStackSize, LPTHREAD_START_ROUTINE lpStartAddress,
                                      LPVOID lpParameter, DWORD dwCreationFlags,
                                      LPDWORD lpThreadId);
WINBASEAPI HANDLE WINAPI GetCurrentThread(VOID);
WINBASEAPI HANDLE WINAPI GetCurrentProcess(VOID);
WINBASEAPI DWORD WINAPI GetCurrentThreadId(VOID);
WINBASEAPI DWORD WINAPI GetCurrentProcessId(VOID);
WINBASEAPI BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
WINBASEAPI BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode);
WINBASEAPI DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
WINBASEAPI DWORD WINAPI SleepEx(DWORD dwMilliseconds, BOOL bAlertable);
WINBASEAPI VOID WINAPI Sleep(DWORD dwMilliseconds);
WINBASEAPI BOOL WINAPI IsWow64Process(HANDLE hProcess, BOOL *Wow64Process);

// Drive letters and DOS device names, as the calling process's logon
// session sees them (its own links before the global ones).
#define DRIVE_UNKNOWN 0
#define DRIVE_NO_ROOT_DIR 1
#define DRIVE_REMOVABLE 2
#define DRIVE_FIXED 3
#define DRIVE_REMOTE 4
#define DRIVE_CDROM 5
#define DRIVE_RAMDISK 6
WINBASEAPI DWORD WINAPI QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax);
WINBASEAPI DWORD WINAPI GetLogicalDrives(VOID);
WINBASEAPI UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName);

// Sessions and tokens: what a program needs to learn its logon session.
typedef struct _LUID {
  DWORD LowPart;
  LONG HighPart;
} LUID, *PLUID;
typedef union _LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  };
  LONGLONG QuadPart;
} LARGE_INTEGER;
typedef enum _TOKEN_INFORMATION_CLASS {
  TokenPrivileges = 3,
  TokenStatistics = 10,
  TokenSessionId = 12,
} TOKEN_INFORMATION_CLASS;
typedef struct _TOKEN_STATISTICS {
  LUID TokenId;
  LUID AuthenticationId;
  LARGE_INTEGER ExpirationTime;
  int TokenType;           // TOKEN_TYPE
  int ImpersonationLevel;  // SECURITY_IMPERSONATION_LEVEL
  DWORD DynamicCharged;
  DWORD DynamicAvailable;
  DWORD GroupCount;
  DWORD PrivilegeCount;
  LUID ModifiedId;
} TOKEN_STATISTICS, *PTOKEN_STATISTICS;
#define TOKEN_ASSIGN_PRIMARY 0x0001
#define TOKEN_DUPLICATE 0x0002
#define TOKEN_IMPERSONATE 0x0004
#define TOKEN_QUERY 0x0008
#define TOKEN_QUERY_SOURCE 0x0010
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_ADJUST_GROUPS 0x0040
#define TOKEN_ADJUST_DEFAULT 0x0080
#define TOKEN_ADJUST_SESSIONID 0x0100
#define TOKEN_ALL_ACCESS 0x000F01FF
#define TOKEN_READ 0x00020008
// Privileges: names, their attributes, and the token's set of them.
#define SE_PRIVILEGE_ENABLED_BY_DEFAULT 0x00000001L
#define SE_PRIVILEGE_ENABLED 0x00000002L
#define SE_PRIVILEGE_REMOVED 0x00000004L
#define SE_PRIVILEGE_USED_FOR_ACCESS 0x80000000L
#define SE_SHUTDOWN_NAME u"SeShutdownPrivilege"
#define SE_LOAD_DRIVER_NAME u"SeLoadDriverPrivilege"
#define SE_CHANGE_NOTIFY_NAME u"SeChangeNotifyPrivilege"
#define ANYSIZE_ARRAY 1
#pragma pack(push, 4)
typedef struct _LUID_AND_ATTRIBUTES {
  LUID Luid;
  DWORD Attributes;
} LUID_AND_ATTRIBUTES, *PLUID_AND_ATTRIBUTES;
#pragma pack(pop)
typedef struct _TOKEN_PRIVILEGES {
  DWORD PrivilegeCount;
  LUID_AND_ATTRIBUTES Privileges[ANYSIZE_ARRAY];
} TOKEN_PRIVILEGES, *PTOKEN_PRIVILEGES;
WINBASEAPI BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD *pSessionId);
WINBASEAPI BOOL WINAPI OpenProcessToken(HANDLE ProcessHandle, DWORD DesiredAccess,
                                        PHANDLE TokenHandle);
WINBASEAPI BOOL WINAPI GetTokenInformation(HANDLE TokenHandle,
                                           TOKEN_INFORMATION_CLASS TokenInformationClass,
                                           LPVOID TokenInformation, DWORD TokenInformationLength,
                                           PDWORD ReturnLength);
// The calling thread's impersonation token; a thread that impersonates
// nobody (every thread here) has none: ERROR_NO_TOKEN.
WINBASEAPI BOOL WINAPI OpenThreadToken(HANDLE ThreadHandle, DWORD DesiredAccess, BOOL OpenAsSelf,
                                       PHANDLE TokenHandle);
WINBASEAPI BOOL WINAPI LookupPrivilegeValueW(LPCWSTR lpSystemName, LPCWSTR lpName, PLUID lpLuid);
// Succeeds with ERROR_NOT_ALL_ASSIGNED as last error when the token does
// not hold one of the privileges, ERROR_SUCCESS otherwise.
WINBASEAPI BOOL WINAPI AdjustTokenPrivileges(HANDLE TokenHandle, BOOL DisableAllPrivileges,
                                             PTOKEN_PRIVILEGES NewState, DWORD BufferLength,
                                             PTOKEN_PRIVILEGES PreviousState, PDWORD ReturnLength);

typedef LARGE_INTEGER *PLARGE_INTEGER;
typedef union _ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  };
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

// Files and folders by name and handle. Paths are DOS paths ("R:\a\b",
// "R:/a"), "\\?\" paths taken as they are, "\\.\" device paths, or
// relative to the process's current directory (at first the host's
// working directory on drive Z:). A path that starts with a single
// backslash is taken as an NT path ("\??\Z:\tmp", "\Device\...").
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
WINBASEAPI BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                                        PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod);
WINBASEAPI BOOL WINAPI SetEndOfFile(HANDLE hFile);
WINBASEAPI BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize);
WINBASEAPI DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer);
// The system's folders on drive C: ("C:\Windows\System32", "C:\Windows"):
// their length without the terminator, or with a buffer too small the size
// it needs, terminator included.
WINBASEAPI UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);
WINBASEAPI UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize);
WINBASEAPI BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName);
WINBASEAPI BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName,
                                        LPSECURITY_ATTRIBUTES lpSecurityAttributes);
WINBASEAPI BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName);
WINBASEAPI BOOL WINAPI DeleteFileW(LPCWSTR lpFileName);
#define MOVEFILE_REPLACE_EXISTING 0x00000001
#define MOVEFILE_COPY_ALLOWED 0x00000002
#define MOVEFILE_DELAY_UNTIL_REBOOT 0x00000004
#define MOVEFILE_WRITE_THROUGH 0x00000008
WINBASEAPI BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName,
                                   DWORD dwFlags);
WINBASEAPI BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName,
                                 BOOL bFailIfExists);
WINBASEAPI DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName);
WINBASEAPI BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes);

// What a file says of itself by name (GetFileExInfoStandard only) or by an
// open handle; its times through a handle (a null time is left as it is).
typedef enum _GET_FILEEX_INFO_LEVELS { GetFileExInfoStandard, GetFileExMaxInfoLevel } GET_FILEEX_INFO_LEVELS;
typedef struct _WIN32_FILE_ATTRIBUTE_DATA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
} WIN32_FILE_ATTRIBUTE_DATA, *LPWIN32_FILE_ATTRIBUTE_DATA;
typedef struct _BY_HANDLE_FILE_INFORMATION {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD dwVolumeSerialNumber;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD nNumberOfLinks;
  DWORD nFileIndexHigh;
  DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;
WINBASEAPI BOOL WINAPI GetFileAttributesExW(LPCWSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId,
                                            LPVOID lpFileInformation);
WINBASEAPI BOOL WINAPI GetFileInformationByHandle(HANDLE hFile,
                                                  LPBY_HANDLE_FILE_INFORMATION lpFileInformation);
WINBASEAPI BOOL WINAPI GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime,
                                   LPFILETIME lpLastAccessTime, LPFILETIME lpLastWriteTime);
WINBASEAPI BOOL WINAPI SetFileTime(HANDLE hFile, const FILETIME *lpCreationTime,
                                   const FILETIME *lpLastAccessTime,
                                   const FILETIME *lpLastWriteTime);

typedef struct _WIN32_FIND_DATAW {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  WCHAR cFileName[MAX_PATH];
  WCHAR cAlternateFileName[14];
} WIN32_FIND_DATAW, *PWIN32_FIND_DATAW, *LPWIN32_FIND_DATAW;
WINBASEAPI HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData);
WINBASEAPI BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData);
WINBASEAPI BOOL WINAPI FindClose(HANDLE hFindFile);

// Volumes.
#define FILE_CASE_SENSITIVE_SEARCH 0x00000001
#define FILE_CASE_PRESERVED_NAMES 0x00000002
#define FILE_UNICODE_ON_DISK 0x00000004
#define FILE_PERSISTENT_ACLS 0x00000008
WINBASEAPI BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName,
                                           PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                           PULARGE_INTEGER lpTotalNumberOfBytes,
                                           PULARGE_INTEGER lpTotalNumberOfFreeBytes);
WINBASEAPI BOOL WINAPI GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer,
                                             DWORD nVolumeNameSize,
                                             LPDWORD lpVolumeSerialNumber,
                                             LPDWORD lpMaximumComponentLength,
                                             LPDWORD lpFileSystemFlags,
                                             LPWSTR lpFileSystemNameBuffer,
                                             DWORD nFileSystemNameSize);
WINBASEAPI BOOL WINAPI SetVolumeLabelW(LPCWSTR lpRootPathName, LPCWSTR lpVolumeName);

// Security descriptors of files, self-relative (or absolute, for a change).
typedef DWORD SECURITY_INFORMATION, *PSECURITY_INFORMATION;
typedef PVOID PSECURITY_DESCRIPTOR;
#define OWNER_SECURITY_INFORMATION 0x00000001L
#define GROUP_SECURITY_INFORMATION 0x00000002L
#define DACL_SECURITY_INFORMATION 0x00000004L
#define SACL_SECURITY_INFORMATION 0x00000008L
#define SE_SELF_RELATIVE 0x8000
WINBASEAPI BOOL WINAPI GetFileSecurityW(LPCWSTR lpFileName,
                                        SECURITY_INFORMATION RequestedInformation,
                                        PSECURITY_DESCRIPTOR pSecurityDescriptor, DWORD nLength,
                                        LPDWORD lpnLengthNeeded);
WINBASEAPI BOOL WINAPI SetFileSecurityW(LPCWSTR lpFileName,
                                        SECURITY_INFORMATION SecurityInformation,
                                        PSECURITY_DESCRIPTOR pSecurityDescriptor);

// Security descriptors built in memory (the absolute form), for the
// security attributes of named objects.
#define SECURITY_DESCRIPTOR_REVISION 1
#define SECURITY_DESCRIPTOR_MIN_LENGTH 40
#define SE_DACL_PRESENT 0x0004
#define SE_DACL_DEFAULTED 0x0008
#define ERROR_INVALID_REVISION 1305L
typedef PVOID PSID;
typedef struct _ACL {
  BYTE AclRevision;
  BYTE Sbz1;
  WORD AclSize;
  WORD AceCount;
  WORD Sbz2;
} ACL, *PACL;
typedef WORD SECURITY_DESCRIPTOR_CONTROL;
typedef struct _SECURITY_DESCRIPTOR {
  BYTE Revision;
  BYTE Sbz1;
  SECURITY_DESCRIPTOR_CONTROL Control;
  PSID Owner;
  PSID Group;
  PACL Sacl;
  PACL Dacl;
} SECURITY_DESCRIPTOR, *PISECURITY_DESCRIPTOR;
WINBASEAPI BOOL WINAPI InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                                    DWORD dwRevision);
// A present DACL that is null lets everyone in; an absent one leaves the
// creator's default.
WINBASEAPI BOOL WINAPI SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR pSecurityDescriptor,
                                                 BOOL bDaclPresent, PACL pDacl, BOOL bDaclDefaulted);

// Mutexes: named ones are shared by every process that names them ("Global\"
// for the whole system, "Local\" or no prefix for the caller's session) and
// last while a handle to one is open.
#define MUTANT_QUERY_STATE 0x0001
#define MUTEX_MODIFY_STATE MUTANT_QUERY_STATE
#define MUTEX_ALL_ACCESS 0x1F0001
#define ERROR_NOT_OWNER 288L
WINBASEAPI HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                                      LPCWSTR lpName);
WINBASEAPI HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
WINBASEAPI BOOL WINAPI ReleaseMutex(HANDLE hMutex);

// Critical sections: a recursive lock of the process's threads.
typedef struct _RTL_CRITICAL_SECTION {
  PVOID DebugInfo;
  LONG LockCount;
  LONG RecursionCount;
  HANDLE OwningThread;
  HANDLE LockSemaphore;  // here: the host lock behind it
  ULONG_PTR SpinCount;
} CRITICAL_SECTION, *PCRITICAL_SECTION, *LPCRITICAL_SECTION;
WINBASEAPI VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINBASEAPI VOID WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINBASEAPI BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINBASEAPI VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINBASEAPI VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// The machine's memory, from the host's. dwLength must be the size of the
// record, else ERROR_INVALID_PARAMETER.
typedef struct _MEMORYSTATUSEX {
  DWORD dwLength;
  DWORD dwMemoryLoad;
  DWORDLONG ullTotalPhys;
  DWORDLONG ullAvailPhys;
  DWORDLONG ullTotalPageFile;
  DWORDLONG ullAvailPageFile;
  DWORDLONG ullTotalVirtual;
  DWORDLONG ullAvailVirtual;
  DWORDLONG ullAvailExtendedVirtual;
} MEMORYSTATUSEX, *LPMEMORYSTATUSEX;
WINBASEAPI BOOL WINAPI GlobalMemoryStatusEx(LPMEMORYSTATUSEX lpBuffer);
WINBASEAPI BOOL WINAPI GetNumaHighestNodeNumber(PULONG HighestNodeNumber);

// Strings: compared without regard to case (a null string sorts first).
WINBASEAPI int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
WINBASEAPI int WINAPI lstrlenW(LPCWSTR lpString);

// Initialization files: the lines of a section, "key=value" each
// terminated, one more terminator after the last. Comments are left out.
WINBASEAPI DWORD WINAPI GetPrivateProfileSectionW(LPCWSTR lpAppName, LPWSTR lpReturnedString,
                                                  DWORD nSize, LPCWSTR lpFileName);

// Environment variables of the process (names without regard to case).
// "%NAME%" in an expansion is the variable's value; an unknown name stays as
// written. Both return the count with the terminator when the buffer is too
// small, and Get returns the length without it when it fits.
#define ERROR_ENVVAR_NOT_FOUND 203L
WINBASEAPI DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize);
WINBASEAPI BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue);
WINBASEAPI DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize);

// Locales: the user's default, from the host user's locale.
typedef WORD LANGID;
typedef DWORD LCID;
#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define PRIMARYLANGID(lgid) ((WORD)(lgid) & 0x3ff)
#define SUBLANGID(lgid) ((WORD)(lgid) >> 10)
#define MAKELCID(lgid, srtid) ((DWORD)((((DWORD)((WORD)(srtid))) << 16) | ((DWORD)((WORD)(lgid)))))
#define LANGIDFROMLCID(lcid) ((WORD)(lcid))
#define SORT_DEFAULT 0x0
#define LANG_NEUTRAL 0x00
#define LANG_ENGLISH 0x09
#define LANG_CHINESE 0x04
#define SUBLANG_DEFAULT 0x01
#define SUBLANG_CHINESE_TRADITIONAL 0x01
#define SUBLANG_CHINESE_SIMPLIFIED 0x02
WINBASEAPI LANGID WINAPI GetUserDefaultLangID(VOID);
WINBASEAPI LCID WINAPI GetUserDefaultLCID(VOID);
WINBASEAPI LANGID WINAPI GetUserDefaultUILanguage(VOID);

// Host stand-in controls (no Windows counterpart).
// Declares the calling process a 32-bit process on the 64-bit system. Must
// come before the first call that reaches the system (BRIMWELL_WOW64=1 in the
// environment does the same).
WINBASEAPI BOOL WINAPI BwDeclareWow64Process(BOOL Wow64);
// The 32-bit address under which a 32-bit process's code knows `routine`.
WINBASEAPI DWORD WINAPI BwWow64RoutineAddress(PNTAPCFUNC routine);
// User-mode APCs waiting for the calling thread's next alertable wait.
WINBASEAPI DWORD WINAPI BwPendingApcCount(VOID);
// Logon sessions. A process belongs to the session BRIMWELL_LOGON_SESSION
// names ("HHHHHHHH-LLLLLLLL", the high and low part of its authentication
// id in hex), else to its user's default one; the system refuses one that
// has ended (ERROR_NO_SUCH_LOGON_SESSION) or is another user's
// (ERROR_ACCESS_DENIED) on the process's first call.
#define BW_LOGON_SESSION_VARIABLE "BRIMWELL_LOGON_SESSION"
typedef struct _BW_LOGON_SESSION {
  LUID LogonId;
  DWORD Uid;        // the host user it belongs to
  BOOL IsDefault;   // the user's default session, which lasts while the system runs
  DWORD Processes;  // live processes in it
} BW_LOGON_SESSION;
// Begins a fresh logon session of the caller's own host user.
WINBASEAPI BOOL WINAPI BwBeginLogonSession(PLUID LogonId);
// Ends one of the caller's sessions: its links go, drivers are told.
WINBASEAPI BOOL WINAPI BwEndLogonSession(const LUID *LogonId);
// The caller's sessions: *Count receives how many there are; with a
// buffer too small for them, ERROR_INSUFFICIENT_BUFFER.
WINBASEAPI BOOL WINAPI BwListLogonSessions(BW_LOGON_SESSION *Sessions, DWORD Capacity,
                                           DWORD *Count);
// "HHHHHHHH-LLLLLLLL" ↔ LUID; parsing fails on anything else.
WINBASEAPI VOID WINAPI BwFormatLogonSession(const LUID *LogonId, CHAR Text[18]);
WINBASEAPI BOOL WINAPI BwParseLogonSession(LPCSTR Text, PLUID LogonId);

// Declared in their own headers on Windows, which windows.h includes too.
#include "winuser.h"
#include "winsvc.h"
#include "winreg.h"
#include "securitybaseapi.h"
