// The entry points the engine registers with the bus driver: the bus calls
// them for the disks it presents for the engine's disk-emulated volumes.
// Every call names the volume by its handle, which VolumeTable vouches for.
#include "engine/busclient/bus_connection.h"

#include "engine/control/notifications.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/start/engine.h"
#include "engine/store/volume_store.h"
#include "engine/system/partition_letters.h"
#include "engine/volume/volume_device.h"
#include "engine/volume/volume_table.h"
#include "kernel-support/ks_alloc.h"

namespace {

constexpr ULONG LETTER_ITEM_TAG = KsTag("VVli");
constexpr ULONG kMaxHandoffs = 32;

// Volumes whose disk the bus is making right now: they are not in
// VolumeTable yet, but the system starts their disk and reads its partition
// table through the entry points before the hand-off returns. Their
// creator keeps them alive until then.
KSPIN_LOCK HandoffLock;
VolumeBlock *Handoffs[kMaxHandoffs];

VolumeBlock *FindHandoff(uint64_t Context) {
  VolumeBlock *found = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&HandoffLock, &irql);
  for (ULONG i = 0; i < kMaxHandoffs && !found; ++i)
    if (Handoffs[i] && VolumeHandleOf(Handoffs[i]) == Context) found = Handoffs[i];
  KeReleaseSpinLock(&HandoffLock, irql);
  return found;
}

// The volume behind Context: a listed one with a reference (*Referenced),
// else one in hand-off.
NTSTATUS FindVolume(uint64_t Context, VolumeBlock **Volume, PBOOLEAN Referenced) {
  *Referenced = NT_SUCCESS(VolumeReference(Context, Volume));
  if (*Referenced) return STATUS_SUCCESS;
  *Volume = FindHandoff(Context);
  return *Volume ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
}

VOID Unfind(VolumeBlock **Volume, BOOLEAN Referenced) {
  if (Referenced) VolumeRelease(Volume);
  *Volume = nullptr;
}

struct LetterItem {
  PIO_WORKITEM WorkItem;
  VolumeBlock *Volume;
};

// System delayed-work thread, passive level: gives the partitions the
// volume's letters again after the mount manager changed a link.
IO_WORKITEM_ROUTINE ReapplyLettersWorkItem;
VOID ReapplyLettersWorkItem(PDEVICE_OBJECT, PVOID Context) {
  auto *item = static_cast<LetterItem *>(Context);
  VolumeBlock *volume = item->Volume;
  PIO_WORKITEM workItem = item->WorkItem;
  KsFree(&item);
  KIRQL irql;
  KeAcquireSpinLock(&volume->SpinLock, &irql);
  WCHAR letter = volume->DriveLetter;
  UCHAR count = volume->AdditionalLetterCount;
  WCHAR additional[VOLUME_MAX_ADDITIONAL_LETTERS];
  RtlCopyMemory(additional, volume->AdditionalLetters, sizeof(additional));
  KeReleaseSpinLock(&volume->SpinLock, irql);
  if (letter && VolumeHasAnyFlag(volume, VOLUME_HAS_LETTER))
    AssignPartitionLetters(volume, letter, additional, count, -1);
  VolumeRelease(&volume);
  IoFreeWorkItem(workItem);
  VolumeWorkGateLeave();
}

// Event 6: the reference goes with the queued item.
NTSTATUS QueueReapplyLetters(VolumeBlock *Volume) {
  auto *item = static_cast<LetterItem *>(KsAllocate(sizeof(LetterItem), LETTER_ITEM_TAG));
  PIO_WORKITEM workItem = item ? IoAllocateWorkItem(Engine.ControlDevice) : nullptr;
  if (!workItem || !VolumeWorkGateEnter()) {
    if (workItem) IoFreeWorkItem(workItem);
    KsFree(&item);
    return workItem ? STATUS_DELETE_PENDING : STATUS_INSUFFICIENT_RESOURCES;
  }
  VolumeBlock *held = nullptr;
  NTSTATUS status = VolumeReference(VolumeHandleOf(Volume), &held);
  if (!NT_SUCCESS(status)) {
    VolumeWorkGateLeave();
    IoFreeWorkItem(workItem);
    KsFree(&item);
    return status;
  }
  item->WorkItem = workItem;
  item->Volume = held;
  IoQueueWorkItem(workItem, ReapplyLettersWorkItem, DelayedWorkQueue, item);
  return STATUS_SUCCESS;
}

// Events 7 and 8: the save the volume asks for when the system shuts down
// or goes to sleep.
VOID SaveForPowerChange(VolumeBlock *Volume, uint32_t Code) {
  ULONG wanted = ENGINE_PROPERTY_SAVE_AT_SHUTDOWN;
  if (Code == BUS_EVENT_SLEEP) wanted |= ENGINE_PROPERTY_SAVE_AT_SLEEP;
  if ((Volume->Properties & wanted) == wanted) VolumeShutdownSave(Volume);
}

NTSTATUS Transfer(uint64_t Context, uint64_t ByteOffset, uint32_t Length, void *Buffer, void *IoStatus,
                  BOOLEAN Write) {
  auto *iosb = static_cast<PIO_STATUS_BLOCK>(IoStatus);
  VolumeBlock *volume = nullptr;
  BOOLEAN referenced = FALSE;
  NTSTATUS status = FindVolume(Context, &volume, &referenced);
  ULONG_PTR bytes = 0;
  if (NT_SUCCESS(status)) {
    VolumeStore *store = volume->Store;
    if (!store) {
      status = STATUS_INVALID_DEVICE_STATE;
    } else {
      status = VolumeTransfer(store, Write, Buffer, ByteOffset, Length, &bytes);
    }
    Unfind(&volume, referenced);
  }
  if (iosb) {
    iosb->Status = status;
    iosb->Information = NT_SUCCESS(status) ? bytes : 0;
  }
  return status;
}

}  // namespace

int32_t VolumeBusEvent(uint32_t Code, EngineEventArgs *Args) {
  if (!Args) return STATUS_INVALID_PARAMETER;
  VolumeBlock *volume = nullptr;
  BOOLEAN referenced = FALSE;
  if (!NT_SUCCESS(FindVolume(Args->EngineContext, &volume, &referenced))) return STATUS_NO_SUCH_DEVICE;
  NTSTATUS status = STATUS_SUCCESS;
  switch (Code) {
    case BUS_EVENT_DISK_NUMBER_KNOWN:
    case BUS_EVENT_STARTED:
    case BUS_EVENT_STOPPED:
    case BUS_EVENT_REMOVED:
    case BUS_EVENT_SCSI_SHUTDOWN:
    case BUS_EVENT_FLUSH:
      break;
    case BUS_EVENT_EJECT:
      VolumeSetFlags(volume, VOLUME_EJECT_REQUESTED);
      NotifyBroadcast(VolumeHandleOf(volume), ENGINE_EVENT_EJECT_REQUESTED);
      break;
    case BUS_EVENT_LINK_CHANGED:
      status = QueueReapplyLetters(volume);
      break;
    case BUS_EVENT_SHUTDOWN:
    case BUS_EVENT_SLEEP:
      SaveForPowerChange(volume, Code);
      break;
    case BUS_EVENT_DEVICE_USAGE: {
      auto *usage = reinterpret_cast<const PagingUsage *>(static_cast<ULONG_PTR>(Args->Argument));
      if (!usage) {
        status = STATUS_INVALID_PARAMETER;
      } else if (usage->UsageType == DeviceUsageTypePaging) {
        status = VolumePagingUsage(volume, usage->InPath ? TRUE : FALSE);
      }
      break;
    }
    default:
      status = STATUS_UNSUCCESSFUL;
      break;
  }
  Unfind(&volume, referenced);
  return status;
}

int32_t VolumeBusRead(uint64_t Context, uint64_t ByteOffset, uint32_t Length, void *Buffer, void *IoStatus) {
  return Transfer(Context, ByteOffset, Length, Buffer, IoStatus, FALSE);
}

int32_t VolumeBusWrite(uint64_t Context, uint64_t ByteOffset, uint32_t Length, void *Buffer, void *IoStatus) {
  return Transfer(Context, ByteOffset, Length, Buffer, IoStatus, TRUE);
}

int32_t VolumeBusQuery(uint64_t Context, uint32_t Type, void *Reply) {
  if (!Reply) return STATUS_INVALID_PARAMETER;
  VolumeBlock *volume = nullptr;
  BOOLEAN referenced = FALSE;
  // A volume on its way out is one the bus may let go.
  if (!NT_SUCCESS(FindVolume(Context, &volume, &referenced))) return STATUS_DELETE_PENDING;
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&volume->SpinLock, &irql);
  if (Type == BUS_QUERY_DISK_LETTERS) {
    auto *info = static_cast<DiskLetterInfo *>(Reply);
    RtlZeroMemory(info, sizeof(*info));
    info->DriveLetter = volume->DriveLetter;
    info->LetterCount = volume->AdditionalLetterCount;
    for (UCHAR i = 0; i < volume->AdditionalLetterCount && i < VOLUME_MAX_ADDITIONAL_LETTERS; ++i)
      info->AdditionalLetters[i] = volume->AdditionalLetters[i];
    info->HasLink = VolumeHasAnyFlag(volume, VOLUME_HAS_LETTER) ? 1 : 0;
  } else if (Type == BUS_QUERY_DISK_BUSY) {
    auto *info = static_cast<DiskBusyInfo *>(Reply);
    info->Idle = volume->PagingUseCount == 0 ? 1 : 0;
    info->BusyCount = volume->PagingUseCount;
  } else {
    status = STATUS_INVALID_INFO_CLASS;
  }
  KeReleaseSpinLock(&volume->SpinLock, irql);
  Unfind(&volume, referenced);
  return status;
}

VOID BusHandoffInitialize() {
  KeInitializeSpinLock(&HandoffLock);
  RtlZeroMemory(Handoffs, sizeof(Handoffs));
}

NTSTATUS BusHandoffBegin(VolumeBlock *Volume) {
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  KIRQL irql;
  KeAcquireSpinLock(&HandoffLock, &irql);
  for (ULONG i = 0; i < kMaxHandoffs; ++i) {
    if (!Handoffs[i]) {
      Handoffs[i] = Volume;
      status = STATUS_SUCCESS;
      break;
    }
  }
  KeReleaseSpinLock(&HandoffLock, irql);
  return status;
}

VOID BusHandoffEnd(VolumeBlock *Volume) {
  KIRQL irql;
  KeAcquireSpinLock(&HandoffLock, &irql);
  for (ULONG i = 0; i < kMaxHandoffs; ++i)
    if (Handoffs[i] == Volume) Handoffs[i] = nullptr;
  KeReleaseSpinLock(&HandoffLock, irql);
}
