#include "kernel-support/ks_apc.h"

#include "kernel-support/ks_alloc.h"

namespace {

struct ApcContext {
  PVOID Argument;
  KS_APC_HOOK *Hook;
  PVOID HookContext;
  BOOLEAN Wow64;
};

VOID FreeApc(PKAPC Apc, ApcContext *Context) {
  KsFree(&Context);
  KsFree(&Apc);
}

// Runs in the target thread when the APC is delivered: the normal context
// becomes the caller's argument, and the APC's memory goes back to the pool.
VOID ApcKernelRoutine(PKAPC Apc, PKNORMAL_ROUTINE *NormalRoutine, PVOID *NormalContext,
                      PVOID *SystemArgument1, PVOID *SystemArgument2) {
  auto *context = static_cast<ApcContext *>(*NormalContext);
  if (context->Hook) context->Hook(context->HookContext);
  *NormalContext = context->Argument;
  if (context->Wow64 && *NormalRoutine) {
    PVOID routine = reinterpret_cast<PVOID>(*NormalRoutine);
    if (NT_SUCCESS(PsWrapApcWow64Thread(NormalContext, &routine)))
      *NormalRoutine = reinterpret_cast<PKNORMAL_ROUTINE>(routine);
    else
      *NormalRoutine = nullptr;
  }
  FreeApc(Apc, context);
}

// The thread ends before the APC is delivered.
VOID ApcRundownRoutine(PKAPC Apc) { FreeApc(Apc, static_cast<ApcContext *>(Apc->NormalContext)); }

}  // namespace

NTSTATUS KsQueueUserApc(PETHREAD Thread, PVOID UserRoutine, PVOID Argument, PVOID SystemArgument1,
                        PVOID SystemArgument2, KS_APC_HOOK *Hook, PVOID HookContext) {
  if (!Thread || !UserRoutine) return STATUS_INVALID_PARAMETER;
  auto *apc = static_cast<PKAPC>(KsAllocate(sizeof(KAPC), KS_TAG_APC));
  auto *context = static_cast<ApcContext *>(KsAllocate(sizeof(ApcContext), KS_TAG_APC_CONTEXT));
  if (!apc || !context) {
    FreeApc(apc, context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlZeroMemory(apc, sizeof(KAPC));
  context->Argument = Argument;
  context->Hook = Hook;
  context->HookContext = HookContext;
  context->Wow64 = PsGetProcessWow64Process(PsGetThreadProcess(Thread)) ? TRUE : FALSE;
  KeInitializeApc(apc, reinterpret_cast<PKTHREAD>(Thread), OriginalApcEnvironment, ApcKernelRoutine,
                  ApcRundownRoutine, reinterpret_cast<PKNORMAL_ROUTINE>(UserRoutine), UserMode, context);
  if (!KeInsertQueueApc(apc, SystemArgument1, SystemArgument2, IO_NO_INCREMENT)) {
    FreeApc(apc, context);
    return STATUS_THREAD_IS_TERMINATING;
  }
  return STATUS_SUCCESS;
}
