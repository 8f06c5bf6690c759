// One process-notification dispatcher per driver, registered with
// PsSetCreateProcessNotifyRoutine, calling a creation and an exit handler.
#pragma once

#include "kernel-support/kernel.h"

// Called with the process id and the referenced process object; in the
// context of the process being created or ending.
typedef VOID KS_PROCESS_HANDLER(HANDLE ProcessId, PEPROCESS Process);

// Installs the creation handler, registering the dispatcher when none was
// installed; null clears both handlers and withdraws the registration.
NTSTATUS KsSetProcessCreationHandler(KS_PROCESS_HANDLER *Handler);
// Installs (or with null clears) the exit handler; it is called while a
// creation handler keeps the dispatcher registered.
VOID KsSetProcessExitHandler(KS_PROCESS_HANDLER *Handler);

// Called by KsInitialize.
VOID KsProcessNotifyInitialize();
