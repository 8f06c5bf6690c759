#include "kernel-support/ks_init.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_process_notify.h"
#include "kernel-support/ks_string.h"
#include "kernel-support/ks_version.h"

namespace {

PDRIVER_OBJECT gDriverObject;
PUNICODE_STRING gServiceKeyPath;
PEPROCESS gStartProcess;
KS_OPTIONAL_ROUTINES gRoutines;

PVOID volatile gAreAllApcsDisabled;  // the looked-up KeAreAllApcsDisabled, or nothing
volatile LONG gAreAllApcsDisabledLooked;

const WCHAR kServicesKey[] = KS_WSTR("\\Registry\\Machine\\System\\CurrentControlSet\\Services");

PVOID LookUp(PCWSTR Name, NTSTATUS *Status) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, Name);
  PVOID routine = MmGetSystemRoutineAddress(&name);
  if (!routine) *Status = KS_STATUS_ROUTINE_MISSING;
  return routine;
}

}  // namespace

NTSTATUS KsInitialize(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath) {
  if (!DriverObject || !RegistryPath) return STATUS_INVALID_PARAMETER;
  KsSetAllocator(nullptr, nullptr);

  // The service key is rebuilt from the service name so that it always has
  // the machine-wide form, whatever spelling the system passed.
  UNICODE_STRING serviceName;
  KsLastPathComponent(RegistryPath, TRUE, &serviceName);
  if (serviceName.Length == 0) return STATUS_INVALID_PARAMETER;
  NTSTATUS status = KsFormatString(&gServiceKeyPath, KS_WSTR("%s\\%wZ"), kServicesKey, &serviceName);
  if (!NT_SUCCESS(status)) return status;

  gDriverObject = DriverObject;
  gStartProcess = PsGetCurrentProcess();
  KsRefreshSystemVersion();
  KsProcessNotifyInitialize();

  NTSTATUS lookup = STATUS_SUCCESS;
  RtlZeroMemory(&gRoutines, sizeof(gRoutines));
  gRoutines.ObGetObjectType = reinterpret_cast<KS_OB_GET_OBJECT_TYPE>(LookUp(KS_WSTR("ObGetObjectType"), &lookup));
  gRoutines.ObRegisterCallbacks = LookUp(KS_WSTR("ObRegisterCallbacks"), &lookup);
  gRoutines.ObUnRegisterCallbacks = LookUp(KS_WSTR("ObUnRegisterCallbacks"), &lookup);
  gRoutines.ObfReferenceObjectWithTag =
      reinterpret_cast<KS_OB_REFERENCE_WITH_TAG>(LookUp(KS_WSTR("ObfReferenceObjectWithTag"), &lookup));
  gRoutines.ObfDereferenceObjectWithTag =
      reinterpret_cast<KS_OB_REFERENCE_WITH_TAG>(LookUp(KS_WSTR("ObfDereferenceObjectWithTag"), &lookup));
  gRoutines.ObReferenceObjectByHandleWithTag = reinterpret_cast<KS_OB_REFERENCE_BY_HANDLE_WITH_TAG>(
      LookUp(KS_WSTR("ObReferenceObjectByHandleWithTag"), &lookup));
  return lookup;
}

VOID KsUninitialize() {
  KsFreeString(&gServiceKeyPath);
  gDriverObject = nullptr;
  gStartProcess = nullptr;
  KsSetAllocator(nullptr, nullptr);
}

PDRIVER_OBJECT KsDriverObject() { return gDriverObject; }

PCUNICODE_STRING KsServiceKeyPath() { return gServiceKeyPath; }

PEPROCESS KsStartProcess() { return gStartProcess; }

const KS_OPTIONAL_ROUTINES *KsOptionalRoutines() { return &gRoutines; }

BOOLEAN KsAreAllApcsDisabled() {
  if (!ReadAcquire(&gAreAllApcsDisabledLooked)) {
    NTSTATUS ignored = STATUS_SUCCESS;
    PVOID routine = LookUp(KS_WSTR("KeAreAllApcsDisabled"), &ignored);
    WritePointerNoFence(&gAreAllApcsDisabled, routine);
    WriteRelease(&gAreAllApcsDisabledLooked, 1);
  }
  auto routine = reinterpret_cast<KS_KE_ARE_ALL_APCS_DISABLED>(ReadPointerNoFence(&gAreAllApcsDisabled));
  return routine ? routine() : FALSE;
}
