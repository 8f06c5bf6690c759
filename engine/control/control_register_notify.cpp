// RegisterNotification: a thread of the caller that receives the engine's
// events as user-mode APCs.
#include "engine/control/control_request.h"
#include "engine/protocol/engine_protocol.h"
#include "kernel-support/ks_object.h"
#include "engine/control/notifications.h"
#include "engine/volume/volume_reaper.h"

NTSTATUS ControlRegisterNotification(ControlRequest *Request) {
  BOOLEAN wow64 = IoIs32bitProcess(Request->Irp);
  ULONG expected = wow64 ? sizeof(NotifyRegistration32) : sizeof(NotifyRegistration);
  if (Request->InputLength != expected) return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;

  HANDLE threadHandle;
  ULONG64 routine;
  if (wow64) {
    NotifyRegistration32 input;
    ReadRecord(Request, &input);
    // 32-bit handles are sign-extended, as the system does for its pseudo-handles.
    threadHandle = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(input.ThreadHandle)));
    routine = input.Routine;
  } else {
    NotifyRegistration input;
    ReadRecord(Request, &input);
    threadHandle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(input.ThreadHandle));
    routine = input.Routine;
  }
  if (!threadHandle) return STATUS_INVALID_PARAMETER;

  // The handle must name a thread: APCs are queued to it. The routine lives
  // in the caller's address space, so the thread must be one of the caller's.
  PVOID object = nullptr;
  NTSTATUS status = KsReferenceObjectByHandle(threadHandle, 0, *PsThreadType, Request->Irp->RequestorMode,
                                              &object);
  if (!NT_SUCCESS(status)) return status;
  auto *thread = static_cast<PETHREAD>(object);
  if (PsGetThreadProcess(thread) != IoGetRequestorProcess(Request->Irp)) {
    KsDereferenceObject(thread);
    return STATUS_INVALID_PARAMETER;
  }

  if (routine == 0) {
    NotifyUnregister(thread);
    KsDereferenceObject(thread);
    return STATUS_SUCCESS;
  }
  VolumeReaperWake();
  return NotifyRegister(thread, routine);
}
