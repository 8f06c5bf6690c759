// System threads that run a routine with a context and end with its status.
#pragma once

#include "kernel-support/kernel.h"

typedef NTSTATUS KS_THREAD_ROUTINE(PVOID Context);

// Starts Routine(Context) in a new system thread. Thread (optional) receives
// a reference to the thread object for KsWaitForThread.
NTSTATUS KsStartThread(KS_THREAD_ROUTINE *Routine, PVOID Context, PETHREAD *Thread);
// Waits until the thread has ended, then drops the reference and nulls it.
VOID KsWaitForThread(PETHREAD *Thread);
