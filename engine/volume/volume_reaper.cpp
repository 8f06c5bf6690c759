#include "engine/volume/volume_reaper.h"

#include "engine/start/engine.h"
#include "kernel-support/ks_thread.h"
#include "engine/control/notifications.h"
#include "engine/volume/volume_parts.h"
#include "engine/volume/volume_table.h"

namespace {

// While volumes exist the reaper also looks every 100 ms: an open count
// reaching 0 or a queue running dry does not always wake it.
constexpr LONGLONG kPollInterval = -100 * 10000LL;

// An unmounted volume that still has a letter waits for the letter's
// removal, which takes it offline: reaped before, the removal would find no
// volume and the letter's owner would be told the unmount failed.
BOOLEAN IsRipe(VolumeBlock *Volume) {
  return !VolumeHasAnyFlag(Volume, VOLUME_IN_SERVICE | VOLUME_HAS_LETTER | VOLUME_REMOVAL_DEFERRED | VOLUME_DELETED) &&
         ReadAcquire(&Volume->OpenCount) == 0 && VolumeQueueIsEmpty(Volume);
}

// Under TableMutex: drops the table's reference of every ripe volume. Those
// whose count reaches 0 are chained for destruction after the walk.
ULONG ReapVisitor(PVOID Context, ULONG64, PVOID Value) {
  auto *volume = static_cast<VolumeBlock *>(Value);
  if (!IsRipe(volume)) return KS_VISIT_CONTINUE;
  KIRQL irql;
  KeAcquireSpinLock(&volume->SpinLock, &irql);
  LONG64 left = --volume->ReferenceCount;
  if (left != 0) VolumeSetFlags(volume, VOLUME_REMOVAL_DEFERRED);
  KeReleaseSpinLock(&volume->SpinLock, irql);
  if (left == 0) {
    auto **list = static_cast<VolumeBlock **>(Context);
    volume->ReapNext = *list;
    *list = volume;
  }
  return KS_VISIT_CONTINUE;
}

VOID ReapVolumes() {
  VolumeBlock *ripe = nullptr;
  TableLock();
  KsHashTableWalk(Engine.VolumeTable, ReapVisitor, &ripe);
  TableUnlock();
  // Destruction waits for the volume's worker, so it runs outside TableMutex;
  // with no references left nobody else can reach these volumes.
  while (ripe) {
    VolumeBlock *volume = ripe;
    ripe = volume->ReapNext;
    VolumeFinalize(volume);
  }
}

NTSTATUS VolumeReaper(PVOID) {
  while (!ReadAcquire(&Engine.ReaperStopping)) {
    LARGE_INTEGER interval;
    interval.QuadPart = kPollInterval;
    BOOLEAN poll = VolumeTableCount() != 0 && KeGetCurrentIrql() < DISPATCH_LEVEL;
    KeWaitForSingleObject(&Engine.ReaperEvent, Executive, KernelMode, FALSE, poll ? &interval : nullptr);
    KeClearEvent(&Engine.ReaperEvent);
    if (ReadAcquire(&Engine.ReaperStopping)) break;
    ReapVolumes();
    NotifyDropTerminatedThreads();
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS VolumeReaperStart() {
  WriteRelease(&Engine.ReaperStopping, 0);
  return KsStartThread(VolumeReaper, nullptr, &Engine.ReaperThread);
}

VOID VolumeReaperStop() {
  if (!Engine.ReaperThread) return;
  WriteRelease(&Engine.ReaperStopping, 1);
  KeSetEvent(&Engine.ReaperEvent, IO_NO_INCREMENT, FALSE);
  KsWaitForThread(&Engine.ReaperThread);
}

VOID VolumeReaperWake() { KeSetEvent(&Engine.ReaperEvent, IO_NO_INCREMENT, FALSE); }
