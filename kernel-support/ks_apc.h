// User-mode APC delivery to a thread.
#pragma once

#include "kernel-support/kernel.h"

// Runs in the APC's kernel routine, in the target thread, before the user
// routine is called.
typedef VOID KS_APC_HOOK(PVOID HookContext);

// Queues a user-mode APC to Thread: the user routine at UserRoutine (an
// address in the thread's process) runs with Argument as its context and
// SystemArgument1/2 as its arguments. For a thread of a 32-bit process the
// routine is wrapped for the 32-bit side. When the APC cannot be queued
// everything is freed and STATUS_THREAD_IS_TERMINATING is returned.
NTSTATUS KsQueueUserApc(PETHREAD Thread, PVOID UserRoutine, PVOID Argument, PVOID SystemArgument1,
                        PVOID SystemArgument2, KS_APC_HOOK *Hook, PVOID HookContext);
