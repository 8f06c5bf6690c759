// Creation of the automatic volumes at every start of the engine, in a
// system work item: stores first while process creation is held back, then
// each volume brought up.
#include "engine/auto/auto_volumes.h"

#include "engine/auto/auto_volume_bring_up.h"
#include "engine/auto/auto_volume_list.h"
#include "engine/image/cipher.h"
#include "engine/start/engine.h"
#include "engine/store/volume_store.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_process_notify.h"
#include "kernel-support/ks_string.h"

namespace {

// Drive letters limit how many automatic volumes there can be.
constexpr ULONG kMaxAutoVolumes = 26;
// How long a disk-emulated volume waits for the bus driver's interface.
constexpr LONGLONG kBusInterfaceWait = -10LL * 1000 * 1000 * 10;  // 10 s, relative

// The bus driver's device interface: {410BD25B-6960-4D94-A160-DFBC9599C506}.
constexpr GUID kBusInterface = {0x410BD25B, 0x6960, 0x4D94, {0xA1, 0x60, 0xDF, 0xBC, 0x95, 0x99, 0xC5, 0x06}};

// Every process created while the volumes are being made waits for them.
VOID HoldProcessCreation(HANDLE, PEPROCESS) {
  KeWaitForSingleObject(&Engine.AutoVolumesEvent, Executive, KernelMode, FALSE, nullptr);
}

NTSTATUS BusInterfaceArrived(PVOID Notification, PVOID Context) {
  auto *change = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(Notification);
  if (IsEqualGUID(change->Event, GUID_DEVICE_INTERFACE_ARRIVAL))
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_SUCCESS;
}

// Whether the bus driver's interface is there, or comes within 10 seconds.
BOOLEAN WaitForBusInterface() {
  KEVENT arrived;
  KeInitializeEvent(&arrived, NotificationEvent, FALSE);
  PVOID entry = nullptr;
  NTSTATUS status = IoRegisterPlugPlayNotification(
      EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
      const_cast<GUID *>(&kBusInterface), Engine.DriverObject, BusInterfaceArrived, &arrived, &entry);
  if (!NT_SUCCESS(status)) return FALSE;
  LARGE_INTEGER timeout;
  timeout.QuadPart = kBusInterfaceWait;
  status = KeWaitForSingleObject(&arrived, Executive, KernelMode, FALSE, &timeout);
  IoUnregisterPlugPlayNotification(entry);
  return status == STATUS_SUCCESS;
}

// Step 3 for one record: its cipher and store, or nothing.
BOOLEAN CreateStore(const AutoVolumeDataParts *Record, AutoVolumeStart *Start) {
  const VV_AUTO_VOLUME_DATA &head = Record->Head;
  if ((head.MountFlags & ENGINE_MOUNT_DISK_EMULATION) && !WaitForBusInterface()) return FALSE;
  PUNICODE_STRING path = nullptr;
  if (Record->ImageFilePath.Length &&
      !NT_SUCCESS(KsStringFromWide(static_cast<PCWSTR>(Record->ImageFilePath.Data), Record->ImageFilePath.Length, &path)))
    return FALSE;
  ULONG reason;
  NTSTATUS status = CipherCreate(CIPHER_ALGORITHM_NULL, nullptr, 0, &Start->Cipher, &reason);
  if (NT_SUCCESS(status)) {
    BOOLEAN memory = (head.MountFlags & ENGINE_MOUNT_MEMORY) != 0;
    ULONG outcome;
    status = StoreCreateForVolume(head.MountFlags, memory ? head.NumaNodeIndex : 0, memory ? head.VolumeSize : 0, path,
                                  Start->Cipher, &Start->Store, &outcome);
    if (!NT_SUCCESS(status)) CipherRelease(&Start->Cipher);
  }
  KsFreeString(&path);
  return NT_SUCCESS(status);
}

VOID CreateFromList(PUCHAR List, ULONG Length) {
  ULONG count = EngineLoadLE<uint32_t>(List);
  if (count > kMaxAutoVolumes) count = kMaxAutoVolumes;
  // Too large for a work item's stack.
  auto *starts = static_cast<AutoVolumeStart *>(
      KsAllocate(kMaxAutoVolumes * sizeof(AutoVolumeStart), AUTO_VOLUME_LIST_TAG, PagedPool));
  if (!starts) return;
  RtlZeroMemory(starts, kMaxAutoVolumes * sizeof(AutoVolumeStart));
  ULONG made = 0;
  PUCHAR next = List + sizeof(ULONG);
  ULONG room = Length - sizeof(ULONG);
  for (ULONG i = 0; i < count; ++i) {
    AutoVolumeDataParts record;
    if (room < sizeof(VV_AUTO_VOLUME_DATA)) break;
    const auto *head = reinterpret_cast<const VV_AUTO_VOLUME_DATA *>(next);
    ULONG64 length = AutoVolumeDataSize(EngineLoadLE<uint16_t>(&head->VolumeLabelLength),
                                        EngineLoadLE<uint16_t>(&head->ImageFilePathLength),
                                        EngineLoadLE<uint32_t>(&head->InitialFoldersLength));
    if (length > room || AutoVolumeDataParse(next, length, &record) != ENGINE_PARSE_OK) break;
    next += length;
    room -= static_cast<ULONG>(length);
    starts[made].Record = record;
    if (CreateStore(&record, &starts[made])) ++made;
  }

  // The stores exist: processes may go on while the volumes come up.
  KeSetEvent(&Engine.AutoVolumesEvent, IO_NO_INCREMENT, FALSE);
  for (ULONG i = 0; i < made; ++i) AutoVolumeBringUp(&starts[i]);
  KsFree(reinterpret_cast<PVOID *>(&starts));
}

}  // namespace

NTSTATUS QueueAutoVolumeCreation() {
  PIO_WORKITEM item = IoAllocateWorkItem(Engine.ControlDevice);
  if (!item) return STATUS_INSUFFICIENT_RESOURCES;
  Engine.AutoVolumesQueued = TRUE;
  IoQueueWorkItem(item, CreateAutoVolumes, DelayedWorkQueue, item);
  return STATUS_SUCCESS;
}

VOID WaitForAutoVolumeCreation() {
  if (!Engine.AutoVolumesQueued) return;
  KeWaitForSingleObject(&Engine.AutoVolumesWorkDone, Executive, KernelMode, FALSE, nullptr);
  Engine.AutoVolumesQueued = FALSE;
}

VOID CreateAutoVolumes(PDEVICE_OBJECT, PVOID Context) {
  // Processes that start from here on wait until the stores exist.
  BOOLEAN holding = NT_SUCCESS(KsSetProcessCreationHandler(HoldProcessCreation));
  PVOID list = nullptr;
  ULONG length = 0;
  // A broken record skips every automatic volume of this start.
  if (NT_SUCCESS(AutoVolumesRead(&list, &length))) CreateFromList(static_cast<PUCHAR>(list), length);
  KsFree(&list);
  KeSetEvent(&Engine.AutoVolumesEvent, IO_NO_INCREMENT, FALSE);
  if (holding) KsSetProcessCreationHandler(nullptr);
  IoFreeWorkItem(static_cast<PIO_WORKITEM>(Context));
  KeSetEvent(&Engine.AutoVolumesWorkDone, IO_NO_INCREMENT, FALSE);
}
