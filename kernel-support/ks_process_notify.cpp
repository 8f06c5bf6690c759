#include "kernel-support/ks_process_notify.h"

#include "kernel-support/ks_object.h"

namespace {

// Each slot is read once per call, so a handler replaced meanwhile is
// either the old one or the new one.
PVOID volatile gCreationHandler;
PVOID volatile gExitHandler;

// Whether the dispatcher is registered; changed only under gRegistrationLock,
// held at passive level since the registration call requires it.
BOOLEAN gRegistered;
FAST_MUTEX gRegistrationLock;

VOID LockRegistration() {
  KeEnterCriticalRegion();
  ExAcquireFastMutexUnsafe(&gRegistrationLock);
}

VOID UnlockRegistration() {
  ExReleaseFastMutexUnsafe(&gRegistrationLock);
  KeLeaveCriticalRegion();
}

VOID ProcessNotifyDispatcher(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create) {
  UNREFERENCED_PARAMETER(ParentId);
  if (ProcessId == reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1))) return;
  auto *handler = reinterpret_cast<KS_PROCESS_HANDLER *>(ReadPointerAcquire(Create ? &gCreationHandler : &gExitHandler));
  if (!handler) return;
  PEPROCESS process;
  if (!NT_SUCCESS(PsLookupProcessByProcessId(ProcessId, &process))) return;
  handler(ProcessId, process);
  KsDereferenceObject(process);
}

}  // namespace

VOID KsProcessNotifyInitialize() {
  ExInitializeFastMutex(&gRegistrationLock);
  gRegistered = FALSE;
  gCreationHandler = nullptr;
  gExitHandler = nullptr;
}

NTSTATUS KsSetProcessCreationHandler(KS_PROCESS_HANDLER *Handler) {
  NTSTATUS status = STATUS_SUCCESS;
  LockRegistration();
  if (Handler) {
    if (!gRegistered) {
      status = PsSetCreateProcessNotifyRoutine(ProcessNotifyDispatcher, FALSE);
      gRegistered = NT_SUCCESS(status);
    }
    if (NT_SUCCESS(status))
      WritePointerRelease(&gCreationHandler, reinterpret_cast<PVOID>(Handler));
  } else {
    WritePointerRelease(&gCreationHandler, nullptr);
    WritePointerRelease(&gExitHandler, nullptr);
    if (gRegistered) {
      status = PsSetCreateProcessNotifyRoutine(ProcessNotifyDispatcher, TRUE);
      // A registration the system no longer knows is gone all the same.
      if (status == STATUS_PROCEDURE_NOT_FOUND) status = STATUS_SUCCESS;
      gRegistered = FALSE;
    }
  }
  UnlockRegistration();
  return status;
}

VOID KsSetProcessExitHandler(KS_PROCESS_HANDLER *Handler) {
  WritePointerRelease(&gExitHandler, reinterpret_cast<PVOID>(Handler));
}
