#include "engine/auto/auto_volume_list.h"

#include "engine/auto/auto_volume_keys.h"
#include "engine/start/engine.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_registry.h"

namespace {

struct SizePass {
  NTSTATUS Status;
  ULONG Count;
  ULONGLONG Bytes;  // the records' lengths
};

ULONG SizeVisitor(PVOID Context, PCUNICODE_STRING Name) {
  auto *pass = static_cast<SizePass *>(Context);
  if (!IsAutoVolumeKeyName(Name)) return KS_ENUM_SKIP;
  AutoVolumeRecord record;
  pass->Status = AutoVolumeReadKey(Name, &record);
  if (!NT_SUCCESS(pass->Status)) return KS_ENUM_STOP;
  ++pass->Count;
  pass->Bytes += AutoVolumeRecordLength(&record);
  AutoVolumeRecordFree(&record);
  return KS_ENUM_SKIP;
}

struct FillPass {
  NTSTATUS Status;
  ULONG Count;     // records written
  ULONG Expected;  // records counted by the first pass
  PUCHAR Next;
  ULONG Room;
};

ULONG FillVisitor(PVOID Context, PCUNICODE_STRING Name) {
  auto *pass = static_cast<FillPass *>(Context);
  if (!IsAutoVolumeKeyName(Name)) return KS_ENUM_SKIP;
  AutoVolumeRecord record;
  pass->Status = AutoVolumeReadKey(Name, &record);
  if (!NT_SUCCESS(pass->Status)) return KS_ENUM_STOP;
  ULONG length = AutoVolumeRecordLength(&record);
  // A subkey made or grown since the first pass does not fit what it sized.
  if (pass->Count == pass->Expected || length > pass->Room) {
    AutoVolumeRecordFree(&record);
    pass->Status = STATUS_BUFFER_OVERFLOW;
    return KS_ENUM_STOP;
  }
  AutoVolumeDataParts parts = AutoVolumeRecordParts(&record);
  ULONG written = AutoVolumeDataPack(pass->Next, pass->Room, &parts);
  AutoVolumeRecordFree(&record);
  if (written != length) {
    pass->Status = STATUS_INVALID_PARAMETER;
    return KS_ENUM_STOP;
  }
  pass->Next += length;
  pass->Room -= length;
  ++pass->Count;
  return KS_ENUM_SKIP;
}

NTSTATUS ReadLocked(PVOID *List, PULONG Length) {
  SizePass size = {STATUS_SUCCESS, 0, 0};
  NTSTATUS status = KsEnumerateSubkeys(Engine.AutoKey, KS_WSTR("?:"), SizeVisitor, &size);
  if (NT_SUCCESS(status)) status = size.Status;
  if (!NT_SUCCESS(status)) return status;
  ULONGLONG total = sizeof(ULONG) + size.Bytes;
  if (total > 0xFFFFFFFFull) return STATUS_INSUFFICIENT_RESOURCES;
  auto *list = static_cast<PUCHAR>(KsAllocate(static_cast<SIZE_T>(total), AUTO_VOLUME_LIST_TAG, PagedPool));
  if (!list) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(list, static_cast<SIZE_T>(total));
  if (size.Count) {
    FillPass fill = {STATUS_SUCCESS, 0, size.Count, list + sizeof(ULONG), static_cast<ULONG>(size.Bytes)};
    status = KsEnumerateSubkeys(Engine.AutoKey, KS_WSTR("?:"), FillVisitor, &fill);
    if (NT_SUCCESS(status)) status = fill.Status;
    // A subkey deleted since the first pass leaves fewer records than sized.
    if (NT_SUCCESS(status) && fill.Room != 0) status = STATUS_BUFFER_OVERFLOW;
    if (!NT_SUCCESS(status)) {
      KsFree(reinterpret_cast<PVOID *>(&list));
      return status;
    }
  }
  EngineStoreLE(list, uint32_t{size.Count});
  *List = list;
  *Length = static_cast<ULONG>(total);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS AutoVolumesRead(PVOID *List, PULONG Length) {
  *List = nullptr;
  *Length = 0;
  EngineLock(&Engine.AutoConfigMutex);
  NTSTATUS status = ReadLocked(List, Length);
  EngineUnlock(&Engine.AutoConfigMutex);
  return status;
}
