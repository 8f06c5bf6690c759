// Zw routines for registry keys, symbolic links and files.
#pragma once

#include "nt/io.h"

// Registry.
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_OPTION_NON_VOLATILE 0x00000000L
#define REG_OPTION_VOLATILE 0x00000001L
#define REG_CREATED_NEW_KEY 0x00000001L
#define REG_OPENED_EXISTING_KEY 0x00000002L
#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

typedef enum _KEY_VALUE_INFORMATION_CLASS {
  KeyValueBasicInformation,
  KeyValueFullInformation,
  KeyValuePartialInformation,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG NameLength;
  WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

typedef struct _KEY_VALUE_FULL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataOffset;
  ULONG DataLength;
  ULONG NameLength;
  WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
  ULONG TitleIndex;
  ULONG Type;
  ULONG DataLength;
  UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

typedef enum _KEY_INFORMATION_CLASS {
  KeyBasicInformation,
  KeyNodeInformation,
  KeyFullInformation,
} KEY_INFORMATION_CLASS;

typedef struct _KEY_BASIC_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG NameLength;
  WCHAR Name[1];
} KEY_BASIC_INFORMATION, *PKEY_BASIC_INFORMATION;

typedef struct _KEY_FULL_INFORMATION {
  LARGE_INTEGER LastWriteTime;
  ULONG TitleIndex;
  ULONG ClassOffset;
  ULONG ClassLength;
  ULONG SubKeys;
  ULONG MaxNameLen;
  ULONG MaxClassLen;
  ULONG Values;
  ULONG MaxValueNameLen;
  ULONG MaxValueDataLen;
  WCHAR Class[1];
} KEY_FULL_INFORMATION, *PKEY_FULL_INFORMATION;

NTSYSAPI NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                              POBJECT_ATTRIBUTES ObjectAttributes, ULONG TitleIndex,
                              PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSYSAPI NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                            POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS ZwDeleteKey(HANDLE KeyHandle);
NTSYSAPI NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex,
                                ULONG Type, PVOID Data, ULONG DataSize);
NTSYSAPI NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                  KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                  PVOID KeyValueInformation, ULONG Length, PULONG ResultLength);
NTSYSAPI NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
NTSYSAPI NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index,
                                      KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                      PVOID KeyValueInformation, ULONG Length,
                                      PULONG ResultLength);
NTSYSAPI NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index,
                                 KEY_INFORMATION_CLASS KeyInformationClass,
                                 PVOID KeyInformation, ULONG Length, PULONG ResultLength);
NTSYSAPI NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                             PVOID KeyInformation, ULONG Length, PULONG ResultLength);
NTSYSAPI NTSTATUS ZwFlushKey(HANDLE KeyHandle);

// Loads the driver of a service key (Services\<name> under
// \Registry\Machine\System\CurrentControlSet) from its ImagePath.
NTSYSAPI NTSTATUS ZwLoadDriver(PUNICODE_STRING DriverServiceName);

// Symbolic links.
#define SYMBOLIC_LINK_QUERY 0x0001
#define SYMBOLIC_LINK_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | 0x1)
NTSYSAPI NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                           POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                            PULONG ReturnedLength);

// Files and devices.
// Loads or unloads the driver of a service key
// ("\Registry\Machine\System\CurrentControlSet\Services\<name>").
NTSYSAPI NTSTATUS ZwLoadDriver(PUNICODE_STRING DriverServiceName);
NTSYSAPI NTSTATUS ZwUnloadDriver(PUNICODE_STRING DriverServiceName);
NTSYSAPI NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                               POBJECT_ATTRIBUTES ObjectAttributes,
                               PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize,
                               ULONG FileAttributes, ULONG ShareAccess, ULONG CreateDisposition,
                               ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength);
NTSYSAPI NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                             POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                             ULONG ShareAccess, ULONG OpenOptions);
NTSYSAPI NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine,
                                        PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                        ULONG IoControlCode, PVOID InputBuffer,
                                        ULONG InputBufferLength, PVOID OutputBuffer,
                                        ULONG OutputBufferLength);
NTSYSAPI NTSTATUS ZwFsControlFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine,
                                  PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                  ULONG FsControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                                  PVOID OutputBuffer, ULONG OutputBufferLength);
NTSYSAPI NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
                             PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                             PLARGE_INTEGER ByteOffset, PULONG Key);
NTSYSAPI NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
                              PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                              PLARGE_INTEGER ByteOffset, PULONG Key);
NTSYSAPI NTSTATUS ZwOpenProcess(PHANDLE ProcessHandle, ACCESS_MASK DesiredAccess,
                                POBJECT_ATTRIBUTES ObjectAttributes, PCLIENT_ID ClientId);

// File information, volume information, flushing and deletion.
NTSYSAPI NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                         PVOID FileInformation, ULONG Length,
                                         FILE_INFORMATION_CLASS FileInformationClass);
NTSYSAPI NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                       PVOID FileInformation, ULONG Length,
                                       FILE_INFORMATION_CLASS FileInformationClass);
NTSYSAPI NTSTATUS ZwQueryVolumeInformationFile(HANDLE FileHandle,
                                               PIO_STATUS_BLOCK IoStatusBlock,
                                               PVOID FsInformation, ULONG Length,
                                               FS_INFORMATION_CLASS FsInformationClass);
NTSYSAPI NTSTATUS ZwSetVolumeInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                             PVOID FsInformation, ULONG Length,
                                             FS_INFORMATION_CLASS FsInformationClass);
// Entries of a directory whose names match FileName (kept from the first
// call of a handle until a restart), as FileInformationClass records.
NTSYSAPI NTSTATUS ZwQueryDirectoryFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine,
                                       PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                                       PVOID FileInformation, ULONG Length,
                                       FILE_INFORMATION_CLASS FileInformationClass,
                                       BOOLEAN ReturnSingleEntry, PUNICODE_STRING FileName,
                                       BOOLEAN RestartScan);
// A file's security descriptor (self-relative), as far as its file system keeps one.
NTSYSAPI NTSTATUS ZwQuerySecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                        PSECURITY_DESCRIPTOR SecurityDescriptor, ULONG Length,
                                        PULONG LengthNeeded);
NTSYSAPI NTSTATUS ZwSetSecurityObject(HANDLE Handle, SECURITY_INFORMATION SecurityInformation,
                                      PSECURITY_DESCRIPTOR SecurityDescriptor);
NTSYSAPI NTSTATUS ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock);
NTSYSAPI NTSTATUS ZwDeleteFile(POBJECT_ATTRIBUTES ObjectAttributes);
NTSYSAPI NTSTATUS ZwQueryAttributesFile(POBJECT_ATTRIBUTES ObjectAttributes,
                                        PFILE_BASIC_INFORMATION FileInformation);
NTSYSAPI NTSTATUS ZwQueryFullAttributesFile(POBJECT_ATTRIBUTES ObjectAttributes,
                                            PFILE_NETWORK_OPEN_INFORMATION FileInformation);

// Sections over files or over paging-file memory, and their views.
NTSYSAPI NTSTATUS ZwCreateSection(PHANDLE SectionHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes,
                                  PLARGE_INTEGER MaximumSize, ULONG SectionPageProtection,
                                  ULONG AllocationAttributes, HANDLE FileHandle);
NTSYSAPI NTSTATUS ZwMapViewOfSection(HANDLE SectionHandle, HANDLE ProcessHandle,
                                     PVOID *BaseAddress, ULONG_PTR ZeroBits, SIZE_T CommitSize,
                                     PLARGE_INTEGER SectionOffset, PSIZE_T ViewSize,
                                     SECTION_INHERIT InheritDisposition, ULONG AllocationType,
                                     ULONG Win32Protect);
NTSYSAPI NTSTATUS ZwUnmapViewOfSection(HANDLE ProcessHandle, PVOID BaseAddress);
