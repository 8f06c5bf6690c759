// What the mingw-w64 DDK headers lack or get wrong for these drivers, so
// that the driver sources compile for Windows with that tool chain. Forced
// in front of every source of such a build (-include); the host build never
// sees it. Each item says why it is here.
#pragma once

// mingw's intrin.h already defines these two; its wdm.h defines them again.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

#include <ntifs.h>
#include <bcrypt.h>
#include <mountdev.h>
#include <ntdddisk.h>
#include <ntddvol.h>
// The kit declares the device-interface arrival and removal events in
// wdmguid.h; drivers here see them with the rest of Plug and Play.
#include <wdmguid.h>
#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

// The WDK's acquire/release loads and stores (wdm.h of recent kits). On x64
// plain loads are acquires and plain stores releases; the compiler barrier
// keeps the compiler from moving accesses across them.
FORCEINLINE LONG ReadAcquire(LONG const volatile *Source) {
  LONG value = *Source;
  _ReadWriteBarrier();
  return value;
}
FORCEINLINE LONG ReadNoFence(LONG const volatile *Source) { return *Source; }
FORCEINLINE VOID WriteRelease(LONG volatile *Destination, LONG Value) {
  _ReadWriteBarrier();
  *Destination = Value;
}
FORCEINLINE VOID WriteNoFence(LONG volatile *Destination, LONG Value) { *Destination = Value; }
FORCEINLINE ULONG ReadULongAcquire(ULONG const volatile *Source) {
  ULONG value = *Source;
  _ReadWriteBarrier();
  return value;
}
FORCEINLINE ULONG ReadULongNoFence(ULONG const volatile *Source) { return *Source; }
FORCEINLINE VOID WriteULongRelease(ULONG volatile *Destination, ULONG Value) {
  _ReadWriteBarrier();
  *Destination = Value;
}
FORCEINLINE LONG64 ReadAcquire64(LONG64 const volatile *Source) {
  LONG64 value = *Source;
  _ReadWriteBarrier();
  return value;
}
FORCEINLINE LONG64 ReadNoFence64(LONG64 const volatile *Source) { return *Source; }
FORCEINLINE VOID WriteRelease64(LONG64 volatile *Destination, LONG64 Value) {
  _ReadWriteBarrier();
  *Destination = Value;
}
FORCEINLINE PVOID ReadPointerAcquire(PVOID const volatile *Source) {
  PVOID value = *Source;
  _ReadWriteBarrier();
  return value;
}
FORCEINLINE PVOID ReadPointerNoFence(PVOID const volatile *Source) { return *Source; }
FORCEINLINE VOID WritePointerRelease(PVOID volatile *Destination, PVOID Value) {
  _ReadWriteBarrier();
  *Destination = Value;
}
FORCEINLINE VOID WritePointerNoFence(PVOID volatile *Destination, PVOID Value) { *Destination = Value; }

// ntifs.h of the WDK has these; mingw's has only the pointer type or none.
typedef NTSTATUS NTAPI SE_LOGON_SESSION_TERMINATED_ROUTINE(PLUID LogonId);
typedef PKPROCESS PRKPROCESS;
NTKERNELAPI PEPROCESS NTAPI PsGetThreadProcess(PETHREAD Thread);
NTSYSAPI NTSTATUS NTAPI RtlAddMandatoryAce(PACL Acl, ULONG AceRevision, ULONG AceFlags, PSID Sid, UCHAR AceType,
                                           ACCESS_MASK AccessMask);
NTKERNELAPI NTSTATUS NTAPI ObSetSecurityObjectByPointer(PVOID Object, SECURITY_INFORMATION SecurityInformation,
                                                        PSECURITY_DESCRIPTOR SecurityDescriptor);
#ifndef SECURITY_MAX_SID_SIZE
#define SECURITY_MAX_SID_SIZE (sizeof(SID) - sizeof(ULONG) + (SID_MAX_SUB_AUTHORITIES * sizeof(ULONG)))
#endif
#ifndef PROCESS_VM_OPERATION
#define PROCESS_VM_OPERATION 0x0008
#endif

// Exported by the kernel but declared by no kit header: drivers that use
// them declare them, as here.
NTKERNELAPI ULONG NTAPI PsGetProcessSessionId(PEPROCESS Process);
NTKERNELAPI PVOID NTAPI PsGetProcessWow64Process(PEPROCESS Process);
NTKERNELAPI PCHAR NTAPI PsGetProcessImageFileName(PEPROCESS Process);
NTSYSAPI ULONG NTAPI RtlComputeCrc32(ULONG PartialCrc, const VOID *Buffer, ULONG Length);
typedef enum _KAPC_ENVIRONMENT {
  OriginalApcEnvironment,
  AttachedApcEnvironment,
  CurrentApcEnvironment,
  InsertApcEnvironment
} KAPC_ENVIRONMENT;
NTKERNELAPI VOID NTAPI KeInitializeApc(PRKAPC Apc, PRKTHREAD Thread, KAPC_ENVIRONMENT Environment,
                                       PKKERNEL_ROUTINE KernelRoutine, PKRUNDOWN_ROUTINE RundownRoutine,
                                       PKNORMAL_ROUTINE NormalRoutine, KPROCESSOR_MODE ProcessorMode,
                                       PVOID NormalContext);
NTKERNELAPI BOOLEAN NTAPI KeInsertQueueApc(PRKAPC Apc, PVOID SystemArgument1, PVOID SystemArgument2,
                                           KPRIORITY Increment);
// The kernel exports the C library's formatter; the WDK declares it in its
// C library headers, which this build does not use.
int __cdecl _vsnwprintf(wchar_t *Buffer, size_t Count, const wchar_t *Format, va_list Arguments);

#ifdef __cplusplus
}
#endif

// On the host stand-in DriverEntry must be made visible from a library
// built with hidden symbols; a Windows driver's entry needs no export.
#define DRIVER_ENTRY_EXPORT extern "C"
