// The letters that live in a logon session go when it ends.
#include "engine/system/logon_sessions.h"

#include "engine/start/engine.h"
#include "kernel-support/ks_alloc.h"
#include "engine/volume/volume_parts.h"
#include "engine/volume/volume_table.h"

namespace {

// Volumes whose letters go, referenced during the walk and handled after
// it: removing a letter waits for the mount manager and notifies the
// listeners, neither of which may happen under TableMutex.
struct SessionVolumes {
  LUID LogonId;
  ULONG Count;
  ULONG Capacity;
  VolumeBlock **Volumes;
};

BOOLEAN OwnedBySession(VolumeBlock *Volume, const LUID &LogonId) {
  return VolumeHasFlags(Volume, VOLUME_HAS_LETTER) && Volume->SessionLocal &&
         Volume->LogonId.LowPart == LogonId.LowPart && Volume->LogonId.HighPart == LogonId.HighPart;
}

ULONG CountVisitor(PVOID Context, ULONG64, PVOID Value) {
  auto *found = static_cast<SessionVolumes *>(Context);
  if (OwnedBySession(static_cast<VolumeBlock *>(Value), found->LogonId)) ++found->Count;
  return KS_VISIT_CONTINUE;
}

ULONG CollectVisitor(PVOID Context, ULONG64, PVOID Value) {
  auto *found = static_cast<SessionVolumes *>(Context);
  auto *volume = static_cast<VolumeBlock *>(Value);
  if (found->Count < found->Capacity && OwnedBySession(volume, found->LogonId) &&
      VolumeReferenceLocked(volume))
    found->Volumes[found->Count++] = volume;
  return KS_VISIT_CONTINUE;
}

}  // namespace

VOID DropLogonSessionLinks(LUID LogonId) {
  SessionVolumes found = {LogonId, 0, 0, nullptr};
  TableLock();
  if (Engine.VolumeTable) KsHashTableWalk(Engine.VolumeTable, CountVisitor, &found);
  if (found.Count) {
    found.Volumes = static_cast<VolumeBlock **>(KsAllocate(found.Count * sizeof(VolumeBlock *), KS_TAG_GENERIC, PagedPool));
    found.Capacity = found.Volumes ? found.Count : 0;
    found.Count = 0;
    if (found.Volumes) KsHashTableWalk(Engine.VolumeTable, CollectVisitor, &found);
  }
  TableUnlock();
  for (ULONG i = 0; i < found.Count; ++i) {
    VolumeBlock *volume = found.Volumes[i];
    // Checked again: the letter may have gone since the walk.
    if (OwnedBySession(volume, LogonId) && NT_SUCCESS(VolumeRemoveLetters(volume, -1)))
      VolumeRemoveIfUnmounted(volume);
    VolumeRelease(&volume);
  }
  KsFree(&found.Volumes);
}

NTSTATUS EngineLogonSessionTerminated(PLUID LogonId) {
  if (LogonId) DropLogonSessionLinks(*LogonId);
  return STATUS_SUCCESS;
}
