#include "engine/volume/volume_table.h"

#include "engine/start/engine.h"
#include "engine/control/notifications.h"
#include "engine/volume/volume_device.h"
#include "engine/volume/volume_parts.h"

#include "engine/protocol/engine_protocol.h"
#include "engine/system/drive_letters.h"

namespace {

constexpr ULONG kVolumeBuckets = 64;

// Frees everything of a volume that is out of the table.
VOID TearDownVolume(VolumeBlock *Volume) {
  KeCancelTimer(&Volume->AutoflushTimer);
  // A volume taken down with the driver may still have its letter: the link
  // must not outlive the device. The worker answers the mount manager's
  // questions meanwhile, so it stops only after.
  if (VolumeHasAnyFlag(Volume, VOLUME_HAS_LETTER)) RemoveLetter(Volume, FALSE);
  ForgetVolumeNames(Volume);
  if (VolumeHasFlags(Volume, VOLUME_WORKER_RUNNING)) VolumePostCommand(Volume, VOLUME_COMMAND_STOP);
  // A volume taken down with the driver still has its device.
  VolumeDeleteDevice(Volume);
  VolumeQueueFree(Volume);
  VolumeFreeNames(Volume);
  VolumeStore *store = Volume->Store;
  CipherBlock *cipher = Volume->Cipher;
  BOOLEAN wipe = Volume->Wipe ? TRUE : FALSE;
  KsFree(&Volume);
  VolumeStoreRelease(&store, wipe);
  CipherFree(&cipher);
}

ULONG UnloadVisitor(PVOID, ULONG64, PVOID Value) {
  auto *volume = static_cast<VolumeBlock *>(Value);
  VolumeSetFlags(volume, VOLUME_DELETED);
  VolumeClearFlags(volume, VOLUME_IN_SERVICE);
  TearDownVolume(volume);
  return KS_VISIT_CONTINUE;
}

}  // namespace

NTSTATUS VolumeTableCreate() {
  return KsHashTableCreate(kVolumeBuckets, KsHashCrc32, &Engine.VolumeTable);
}

VOID VolumeTableDestroy() {
  if (!Engine.VolumeTable) return;
  TableLock();
  KS_HASH_TABLE *table = Engine.VolumeTable;
  Engine.VolumeTable = nullptr;
  TableUnlock();
  KsHashTableDestroy(&table, UnloadVisitor, nullptr);
}

NTSTATUS VolumeTableInsert(VolumeBlock *Volume) {
  TableLock();
  NTSTATUS status = KsHashTableInsert(Engine.VolumeTable, VolumeHandleOf(Volume), Volume);
  TableUnlock();
  return status;
}

VOID VolumeTableRemove(VolumeBlock *Volume) {
  TableLock();
  if (Engine.VolumeTable) KsHashTableRemove(Engine.VolumeTable, VolumeHandleOf(Volume), nullptr);
  TableUnlock();
}

ULONG VolumeTableCount() {
  TableLock();
  ULONG count = KsHashTableCount(Engine.VolumeTable);
  TableUnlock();
  return count;
}

NTSTATUS VolumeReference(ULONG64 Handle, VolumeBlock **Volume) {
  *Volume = nullptr;
  if (Handle == 0) return STATUS_INVALID_HANDLE;
  NTSTATUS status = STATUS_INVALID_HANDLE;
  TableLock();
  PVOID value = nullptr;
  if (KsHashTableLookup(Engine.VolumeTable, Handle, &value)) {
    auto *volume = static_cast<VolumeBlock *>(value);
    if (VolumeReferenceLocked(volume)) {
      *Volume = volume;
      status = STATUS_SUCCESS;
    }
  }
  TableUnlock();
  return status;
}

BOOLEAN VolumeReferenceLocked(VolumeBlock *Volume) {
  BOOLEAN referenced = FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&Volume->SpinLock, &irql);
  // A count of 0 means the last holder is already destroying it.
  if (!VolumeHasAnyFlag(Volume, VOLUME_DELETED) && Volume->ReferenceCount > 0) {
    ++Volume->ReferenceCount;
    referenced = TRUE;
  }
  KeReleaseSpinLock(&Volume->SpinLock, irql);
  return referenced;
}

VOID VolumeRelease(VolumeBlock **Volume) {
  VolumeBlock *volume = *Volume;
  *Volume = nullptr;
  if (!volume) return;
  KIRQL irql;
  KeAcquireSpinLock(&volume->SpinLock, &irql);
  LONG64 left = --volume->ReferenceCount;
  KeReleaseSpinLock(&volume->SpinLock, irql);
  if (left == 0) VolumeFinalize(volume);
}

NTSTATUS DestroyVolume(VolumeBlock *Volume) {
  TableLock();
  if (VolumeHasAnyFlag(Volume, VOLUME_DELETED)) {
    TableUnlock();
    return STATUS_DELETE_PENDING;
  }
  if (VolumeHasAnyFlag(Volume, VOLUME_IN_SERVICE)) {
    TableUnlock();
    return STATUS_INVALID_DEVICE_STATE;
  }
  VolumeSetFlags(Volume, VOLUME_DELETED);
  KsHashTableRemove(Engine.VolumeTable, VolumeHandleOf(Volume), nullptr);
  TableUnlock();
  TearDownVolume(Volume);
  return STATUS_SUCCESS;
}

VOID VolumeFinalize(VolumeBlock *Volume) {
  ULONG64 handle = VolumeHandleOf(Volume);
  NotifyBroadcast(handle, ENGINE_EVENT_VOLUME_REMOVING);
  if (NT_SUCCESS(DestroyVolume(Volume))) NotifyBroadcast(handle, ENGINE_EVENT_VOLUME_REMOVED);
}
