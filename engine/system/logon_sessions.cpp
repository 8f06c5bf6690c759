#include "engine/system/logon_sessions.h"

#include "engine/start/engine.h"
#include "engine/volume/volume_parts.h"

namespace {

ULONG DropVisitor(PVOID Context, ULONG64, PVOID Value) {
  auto *logonId = static_cast<const LUID *>(Context);
  auto *volume = static_cast<VolumeBlock *>(Value);
  if (VolumeHasFlags(volume, VOLUME_HAS_LETTER) && volume->SessionLocal &&
      volume->LogonId.LowPart == logonId->LowPart && volume->LogonId.HighPart == logonId->HighPart) {
    VolumeRemoveLetters(volume, -1);
  }
  return KS_VISIT_CONTINUE;
}

}  // namespace

VOID DropLogonSessionLinks(LUID LogonId) {
  TableLock();
  KsHashTableWalk(Engine.VolumeTable, DropVisitor, &LogonId);
  TableUnlock();
}

NTSTATUS EngineLogonSessionTerminated(PLUID LogonId) {
  if (LogonId) DropLogonSessionLinks(*LogonId);
  return STATUS_SUCCESS;
}
