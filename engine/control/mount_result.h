// The 16-byte reply of MountImage and CreateMemoryVolume.
#pragma once

#include "engine/control/control_request.h"
#include "engine/protocol/engine_protocol.h"

// Once their lengths are valid these requests always succeed: the outcome
// travels in the reply, and the input (which carries the password) is
// cleared before the reply is written over it.
inline NTSTATUS ReplyMountResult(ControlRequest *Request, NTSTATUS Status, ULONG64 Handle,
                                 ULONG ImageStatus) {
  RtlZeroMemory(Request->Buffer, Request->InputLength);
  MountResult reply;
  reply.Status = Status;
  reply.VolumeHandle = Handle;
  reply.ImageStatus = ImageStatus;
  RtlCopyMemory(Request->Buffer, &reply, sizeof(reply));
  Request->Information = sizeof(reply);
  return STATUS_SUCCESS;
}
