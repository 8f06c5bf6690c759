// GetAutoVolumes: the recorded automatic volumes.
#include "engine/auto/auto_volume_list.h"
#include "engine/control/control_request.h"
#include "kernel-support/ks_alloc.h"

NTSTATUS ControlGetAutoVolumes(ControlRequest *Request) {
  PVOID list;
  ULONG length;
  NTSTATUS status = AutoVolumesRead(&list, &length);
  if (!NT_SUCCESS(status)) return status;
  // No room at all asks for the size.
  if (Request->OutputLength == 0) {
    Request->Information = length;
  } else if (Request->OutputLength < length) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else if (!Request->Buffer) {
    status = STATUS_INVALID_USER_BUFFER;
  } else {
    RtlCopyMemory(Request->Buffer, list, length);
    Request->Information = length;
  }
  KsFree(&list);
  return status;
}
