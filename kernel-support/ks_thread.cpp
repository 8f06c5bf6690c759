#include "kernel-support/ks_thread.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_object.h"

namespace {

struct ThreadStart {
  KS_THREAD_ROUTINE *Routine;
  PVOID Context;
};

VOID ThreadMain(PVOID StartContext) {
  auto *start = static_cast<ThreadStart *>(StartContext);
  KS_THREAD_ROUTINE *routine = start->Routine;
  PVOID context = start->Context;
  KsFree(&start);
  PsTerminateSystemThread(routine(context));
}

}  // namespace

NTSTATUS KsStartThread(KS_THREAD_ROUTINE *Routine, PVOID Context, PETHREAD *Thread) {
  if (!Routine) return STATUS_INVALID_PARAMETER;
  if (Thread) *Thread = nullptr;
  auto *start = static_cast<ThreadStart *>(KsAllocate(sizeof(ThreadStart), KS_TAG_GENERIC));
  if (!start) return STATUS_INSUFFICIENT_RESOURCES;
  start->Routine = Routine;
  start->Context = Context;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle;
  NTSTATUS status =
      PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, ThreadMain, start);
  if (!NT_SUCCESS(status)) {
    KsFree(&start);
    return status;
  }
  // The thread owns its start block from here on.
  if (Thread) {
    PVOID object = nullptr;
    NTSTATUS reference = KsReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &object);
    // The handle was just returned to us, so this does not fail in practice;
    // the thread runs either way, so report success and leave *Thread null.
    if (NT_SUCCESS(reference)) *Thread = static_cast<PETHREAD>(object);
  }
  ZwClose(handle);
  return status;
}

VOID KsWaitForThread(PETHREAD *Thread) {
  if (!Thread || !*Thread) return;
  KeWaitForSingleObject(*Thread, Executive, KernelMode, FALSE, nullptr);
  KsReleaseObject(Thread);
}
