// Object manager: attributes, references, handles.
#pragma once

#include "nt/ke.h"
#include "nt/status.h"
#include "nt/types.h"

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L
#define OBJ_FORCE_ACCESS_CHECK 0x00000400L

typedef struct _OBJECT_ATTRIBUTES {
  ULONG Length;
  HANDLE RootDirectory;
  PUNICODE_STRING ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
  do {                                            \
    (p)->Length = sizeof(OBJECT_ATTRIBUTES);      \
    (p)->RootDirectory = (r);                     \
    (p)->Attributes = (a);                        \
    (p)->ObjectName = (n);                        \
    (p)->SecurityDescriptor = (s);                \
    (p)->SecurityQualityOfService = NULL;         \
  } while (0)

typedef struct _OBJECT_TYPE *POBJECT_TYPE;

typedef struct _OBJECT_HANDLE_INFORMATION {
  ULONG HandleAttributes;
  ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

typedef struct _OBJECT_NAME_INFORMATION {
  UNICODE_STRING Name;
} OBJECT_NAME_INFORMATION, *POBJECT_NAME_INFORMATION;

extern "C" POBJECT_TYPE *IoFileObjectType;
extern "C" POBJECT_TYPE *IoDeviceObjectType;
extern "C" POBJECT_TYPE *IoDriverObjectType;
extern "C" POBJECT_TYPE *PsThreadType;
extern "C" POBJECT_TYPE *PsProcessType;
extern "C" POBJECT_TYPE *ExEventObjectType;
extern "C" POBJECT_TYPE *SeTokenObjectType;

#define NtCurrentProcess() ((HANDLE)(LONG_PTR)-1)
#define ZwCurrentProcess() NtCurrentProcess()
#define NtCurrentThread() ((HANDLE)(LONG_PTR)-2)
#define ZwCurrentThread() NtCurrentThread()

NTKERNELAPI NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                               POBJECT_TYPE ObjectType,
                                               KPROCESSOR_MODE AccessMode, PVOID *Object,
                                               POBJECT_HANDLE_INFORMATION HandleInformation);
NTKERNELAPI NTSTATUS ObReferenceObjectByHandleWithTag(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                      POBJECT_TYPE ObjectType,
                                                      KPROCESSOR_MODE AccessMode, ULONG Tag,
                                                      PVOID *Object,
                                                      POBJECT_HANDLE_INFORMATION HandleInformation);
NTKERNELAPI NTSTATUS ObReferenceObjectByPointer(PVOID Object, ACCESS_MASK DesiredAccess,
                                                POBJECT_TYPE ObjectType,
                                                KPROCESSOR_MODE AccessMode);
NTKERNELAPI LONG_PTR ObfReferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR ObfDereferenceObject(PVOID Object);
NTKERNELAPI LONG_PTR ObfReferenceObjectWithTag(PVOID Object, ULONG Tag);
NTKERNELAPI LONG_PTR ObfDereferenceObjectWithTag(PVOID Object, ULONG Tag);
#define ObReferenceObject(o) ObfReferenceObject(o)
#define ObDereferenceObject(o) ObfDereferenceObject(o)
#define ObReferenceObjectWithTag(o, t) ObfReferenceObjectWithTag((o), (t))
#define ObDereferenceObjectWithTag(o, t) ObfDereferenceObjectWithTag((o), (t))
NTKERNELAPI POBJECT_TYPE ObGetObjectType(PVOID Object);
NTKERNELAPI VOID ObMakeTemporaryObject(PVOID Object);
NTKERNELAPI NTSTATUS ObQueryNameString(PVOID Object, POBJECT_NAME_INFORMATION ObjectNameInfo,
                                       ULONG Length, PULONG ReturnLength);
NTKERNELAPI NTSTATUS ObOpenObjectByPointer(PVOID Object, ULONG HandleAttributes,
                                           PVOID PassedAccessState, ACCESS_MASK DesiredAccess,
                                           POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                           PHANDLE Handle);

NTSYSAPI NTSTATUS ZwClose(HANDLE Handle);
NTSYSAPI NTSTATUS ZwMakeTemporaryObject(HANDLE Handle);

// Object directories. The stand-in keeps a named directory in the
// namespace until ZwMakeTemporaryObject, as OBJ_PERMANENT asks.
#define DIRECTORY_QUERY 0x0001
#define DIRECTORY_TRAVERSE 0x0002
#define DIRECTORY_CREATE_OBJECT 0x0004
#define DIRECTORY_CREATE_SUBDIRECTORY 0x0008
#define DIRECTORY_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | 0xF)
NTSYSAPI NTSTATUS ZwCreateDirectoryObject(PHANDLE DirectoryHandle, ACCESS_MASK DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes);

// Optional routines are found by name at run time.
NTKERNELAPI PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);
