// Library start-up: allocation slots, the driver's identity and the optional
// kernel routines. Both drivers call KsInitialize first in DriverEntry and
// KsUninitialize last when they unload or fail to start.
#pragma once

#include "kernel-support/kernel.h"

// Reported when an optional kernel routine is missing; start-up goes on.
constexpr NTSTATUS KS_STATUS_ROUTINE_MISSING = static_cast<NTSTATUS>(0xC0000287);

typedef POBJECT_TYPE (*KS_OB_GET_OBJECT_TYPE)(PVOID Object);
typedef LONG_PTR (*KS_OB_REFERENCE_WITH_TAG)(PVOID Object, ULONG Tag);
typedef NTSTATUS (*KS_OB_REFERENCE_BY_HANDLE_WITH_TAG)(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                                        POBJECT_TYPE ObjectType,
                                                        KPROCESSOR_MODE AccessMode, ULONG Tag,
                                                        PVOID *Object,
                                                        POBJECT_HANDLE_INFORMATION Information);
typedef BOOLEAN (*KS_KE_ARE_ALL_APCS_DISABLED)(VOID);

// Routines found by name at start; null when the kernel lacks them. The
// object-callback routines are only looked up.
struct KS_OPTIONAL_ROUTINES {
  KS_OB_GET_OBJECT_TYPE ObGetObjectType;
  PVOID ObRegisterCallbacks;
  PVOID ObUnRegisterCallbacks;
  KS_OB_REFERENCE_WITH_TAG ObfReferenceObjectWithTag;
  KS_OB_REFERENCE_WITH_TAG ObfDereferenceObjectWithTag;
  KS_OB_REFERENCE_BY_HANDLE_WITH_TAG ObReferenceObjectByHandleWithTag;
};

NTSTATUS KsInitialize(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath);
VOID KsUninitialize();
// KsInitialize's result is fatal only when this says so.
constexpr BOOLEAN KsInitializeSucceeded(NTSTATUS Status) {
  return NT_SUCCESS(Status) || Status == KS_STATUS_ROUTINE_MISSING;
}

PDRIVER_OBJECT KsDriverObject();
// "\Registry\Machine\System\CurrentControlSet\Services\<service name>".
PCUNICODE_STRING KsServiceKeyPath();
// The process the driver started in (the system process).
PEPROCESS KsStartProcess();
const KS_OPTIONAL_ROUTINES *KsOptionalRoutines();
// Looked up on first use; FALSE when the kernel lacks the routine.
BOOLEAN KsAreAllApcsDisabled();
