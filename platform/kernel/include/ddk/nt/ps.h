// Processes and threads.
#pragma once

#include "nt/ke.h"
#include "nt/ob.h"

typedef struct _CLIENT_ID {
  HANDLE UniqueProcess;
  HANDLE UniqueThread;
} CLIENT_ID, *PCLIENT_ID;

typedef VOID KSTART_ROUTINE(PVOID StartContext);
typedef KSTART_ROUTINE *PKSTART_ROUTINE;

#define THREAD_ALL_ACCESS 0x001FFFFF
#define PROCESS_ALL_ACCESS 0x001FFFFF
#define PROCESS_VM_OPERATION 0x0008

NTKERNELAPI NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess,
                                          POBJECT_ATTRIBUTES ObjectAttributes,
                                          HANDLE ProcessHandle, PCLIENT_ID ClientId,
                                          PKSTART_ROUTINE StartRoutine, PVOID StartContext);
NTKERNELAPI __attribute__((noreturn)) NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
// The system process, in which drivers start and system threads run.
NTKERNELAPI PEPROCESS PsInitialSystemProcess;
NTKERNELAPI PEPROCESS PsGetCurrentProcess(VOID);
#define IoGetCurrentProcess PsGetCurrentProcess
NTKERNELAPI PETHREAD PsGetCurrentThread(VOID);
NTKERNELAPI HANDLE PsGetCurrentProcessId(VOID);
NTKERNELAPI HANDLE PsGetCurrentThreadId(VOID);
NTKERNELAPI HANDLE PsGetProcessId(PEPROCESS Process);
NTKERNELAPI HANDLE PsGetThreadId(PETHREAD Thread);
NTKERNELAPI PEPROCESS PsGetThreadProcess(PETHREAD Thread);
NTKERNELAPI BOOLEAN PsIsThreadTerminating(PETHREAD Thread);
NTKERNELAPI BOOLEAN PsIsSystemThread(PETHREAD Thread);
NTKERNELAPI ULONG PsGetProcessSessionId(PEPROCESS Process);
NTKERNELAPI ULONG PsGetCurrentProcessSessionId(VOID);
NTKERNELAPI PVOID PsGetProcessWow64Process(PEPROCESS Process);
NTKERNELAPI PCHAR PsGetProcessImageFileName(PEPROCESS Process);
NTKERNELAPI NTSTATUS PsLookupProcessByProcessId(HANDLE ProcessId, PEPROCESS *Process);
NTKERNELAPI NTSTATUS PsLookupThreadByThreadId(HANDLE ThreadId, PETHREAD *Thread);
NTKERNELAPI KPROCESSOR_MODE ExGetPreviousMode(VOID);
// Wraps the normal routine of a user-mode APC for a thread of a 32-bit process.
NTKERNELAPI NTSTATUS PsWrapApcWow64Thread(PVOID *ApcContext, PVOID *ApcRoutine);

typedef VOID CREATE_PROCESS_NOTIFY_ROUTINE(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create);
typedef CREATE_PROCESS_NOTIFY_ROUTINE *PCREATE_PROCESS_NOTIFY_ROUTINE;
NTKERNELAPI NTSTATUS PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine,
                                                     BOOLEAN Remove);

// Tokens.
typedef PVOID PACCESS_TOKEN;
NTKERNELAPI PACCESS_TOKEN PsReferencePrimaryToken(PEPROCESS Process);
NTKERNELAPI VOID PsDereferencePrimaryToken(PACCESS_TOKEN PrimaryToken);
typedef enum _SECURITY_IMPERSONATION_LEVEL {
  SecurityAnonymous,
  SecurityIdentification,
  SecurityImpersonation,
  SecurityDelegation
} SECURITY_IMPERSONATION_LEVEL;
NTKERNELAPI PACCESS_TOKEN PsReferenceImpersonationToken(PETHREAD Thread, PBOOLEAN CopyOnOpen,
                                                        PBOOLEAN EffectiveOnly,
                                                        SECURITY_IMPERSONATION_LEVEL *Level);
NTKERNELAPI VOID PsDereferenceImpersonationToken(PACCESS_TOKEN ImpersonationToken);

// Logon sessions.
typedef NTSTATUS SE_LOGON_SESSION_TERMINATED_ROUTINE(PLUID LogonId);
typedef SE_LOGON_SESSION_TERMINATED_ROUTINE *PSE_LOGON_SESSION_TERMINATED_ROUTINE;
NTKERNELAPI NTSTATUS SeRegisterLogonSessionTerminatedRoutine(
    PSE_LOGON_SESSION_TERMINATED_ROUTINE CallbackRoutine);
NTKERNELAPI NTSTATUS SeUnregisterLogonSessionTerminatedRoutine(
    PSE_LOGON_SESSION_TERMINATED_ROUTINE CallbackRoutine);

// User-space memory of a process.
#define MEM_COMMIT 0x00001000
#define MEM_RESERVE 0x00002000
#define MEM_RELEASE 0x00008000
#define PAGE_READWRITE 0x04
NTSYSAPI NTSTATUS ZwAllocateVirtualMemory(HANDLE ProcessHandle, PVOID *BaseAddress,
                                          ULONG_PTR ZeroBits, PSIZE_T RegionSize,
                                          ULONG AllocationType, ULONG Protect);
NTSYSAPI NTSTATUS ZwFreeVirtualMemory(HANDLE ProcessHandle, PVOID *BaseAddress,
                                      PSIZE_T RegionSize, ULONG FreeType);
