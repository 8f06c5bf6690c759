// GetAutoVolumes: the recorded automatic volumes.
#include "engine/auto/auto_volume_keys.h"
#include "engine/control/control_request.h"
#include "engine/start/engine.h"
#include "engine/protocol/engine_protocol.h"
#include "kernel-support/ks_registry.h"

namespace {

ULONG CountVisitor(PVOID Context, PCUNICODE_STRING Name) {
  if (IsAutoVolumeKeyName(Name)) ++*static_cast<ULONG *>(Context);
  return KS_ENUM_SKIP;
}

}  // namespace

NTSTATUS ControlGetAutoVolumes(ControlRequest *Request) {
  ULONG count = 0;
  EngineLock(&Engine.AutoConfigMutex);
  NTSTATUS status = KsEnumerateSubkeys(Engine.AutoKey, KS_WSTR("?:"), CountVisitor, &count);
  EngineUnlock(&Engine.AutoConfigMutex);
  if (!NT_SUCCESS(status)) return status;
  // Reading the records comes with the automatic volumes themselves.
  if (count != 0) return STATUS_NOT_IMPLEMENTED;

  ULONG needed = sizeof(AutoVolumeListReply);
  if (Request->OutputLength == 0) {
    Request->Information = needed;
    return STATUS_SUCCESS;
  }
  if (Request->OutputLength < needed) return STATUS_BUFFER_TOO_SMALL;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  EngineStoreLE(Request->Buffer, uint32_t{0});
  Request->Information = needed;
  return STATUS_SUCCESS;
}
