// DeleteAllAutoVolumes: forget every automatic volume.
#include "engine/control/control_request.h"
#include "engine/start/engine.h"
#include "kernel-support/ks_registry.h"

namespace {

// Every two-character name that starts with a letter goes.
ULONG DeleteVisitor(PVOID, PCUNICODE_STRING Name) {
  return Name->Length == 2 * sizeof(WCHAR) && IsDriveLetter(Name->Buffer[0]) ? KS_ENUM_DELETE : KS_ENUM_SKIP;
}

}  // namespace

NTSTATUS ControlDeleteAllAutoVolumes(ControlRequest *) {
  EngineLock(&Engine.AutoConfigMutex);
  NTSTATUS status = KsEnumerateSubkeys(Engine.AutoKey, nullptr, DeleteVisitor, nullptr);
  EngineUnlock(&Engine.AutoConfigMutex);
  return status;
}
