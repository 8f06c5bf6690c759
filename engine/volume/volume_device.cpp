// Major functions of a volume's own device: opens and closes, reads and
// writes straight from the store in the caller's thread, device-control
// requests handed to the worker, the shutdown save and paging usage.
#include "engine/store/volume_store.h"
#include "engine/volume/volume_device.h"
#include "kernel-support/ks_token.h"
#include "engine/volume/volume_parts.h"
#include "engine/volume/volume_reaper.h"

#include <ntdddisk.h>

namespace {

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// A letterless or session-local volume admits only openers of its logon
// session (its session id and logon id, both 0 until a letter is given).
NTSTATUS CheckOpener(VolumeBlock *Volume, PIRP Irp) {
  if (VolumeHasAnyFlag(Volume, VOLUME_HAS_LETTER) && !Volume->SessionLocal) return STATUS_SUCCESS;
  KS_TOKEN token;
  NTSTATUS status = KsReferenceToken(Irp->Tail.Overlay.Thread, IoGetRequestorProcess(Irp), &token);
  if (!NT_SUCCESS(status)) return status;
  LUID logonId = {};
  ULONG sessionId = 0;
  status = KsQueryTokenLogonId(&token, &logonId);
  if (NT_SUCCESS(status)) status = SeQuerySessionIdToken(token.Token, &sessionId);
  KsReleaseToken(&token);
  if (!NT_SUCCESS(status)) return status;
  if (sessionId != Volume->SessionId || logonId.LowPart != Volume->LogonId.LowPart ||
      logonId.HighPart != Volume->LogonId.HighPart)
    return STATUS_ACCESS_DENIED;
  return STATUS_SUCCESS;
}

}  // namespace

// Passive level, the opener's thread.
NTSTATUS VolumeDispatchCreate(PDEVICE_OBJECT Device, PIRP Irp) {
  VolumeBlock *volume = VolumeOfDevice(Device);
  NTSTATUS status = STATUS_SUCCESS;
  if (VolumeHasAnyFlag(volume, VOLUME_OFFLINE)) status = STATUS_INVALID_DEVICE_STATE;
  if (NT_SUCCESS(status) && Irp->RequestorMode == UserMode) status = CheckOpener(volume, Irp);
  if (!NT_SUCCESS(status)) return Complete(Irp, status, 0);
  InterlockedIncrement(&volume->OpenCount);
  return Complete(Irp, STATUS_SUCCESS, FILE_OPENED);
}

// A close always counts, also on an offline volume: the reaper waits for
// the count to reach 0.
NTSTATUS VolumeDispatchClose(PDEVICE_OBJECT Device, PIRP Irp) {
  VolumeBlock *volume = VolumeOfDevice(Device);
  LONG open = InterlockedDecrement(&volume->OpenCount);
  if (open == 0 && !VolumeHasAnyFlag(volume, VOLUME_IN_SERVICE | VOLUME_HAS_LETTER | VOLUME_REMOVAL_DEFERRED) &&
      VolumeQueueIsEmpty(volume))
    VolumeReaperWake();
  return Complete(Irp, STATUS_SUCCESS, 0);
}

// Passive level, the caller's thread; the buffer comes from the request's
// page list.
NTSTATUS VolumeDispatchReadWrite(PDEVICE_OBJECT Device, PIRP Irp) {
  VolumeBlock *volume = VolumeOfDevice(Device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  BOOLEAN write = stack->MajorFunction == IRP_MJ_WRITE;
  ULONG length = write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
  LONGLONG offset = write ? stack->Parameters.Write.ByteOffset.QuadPart : stack->Parameters.Read.ByteOffset.QuadPart;
  VolumeStore *store = volume->Store;
  if (!store) return Complete(Irp, STATUS_INVALID_DEVICE_STATE, 0);
  if (offset < 0) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  // A read-only device takes no writes, whoever made it so.
  if (write && (Device->Characteristics & FILE_READ_ONLY_DEVICE)) return Complete(Irp, STATUS_MEDIA_WRITE_PROTECTED, 0);
  if (length == 0) return Complete(Irp, STATUS_SUCCESS, 0);
  if (!Irp->MdlAddress) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  PVOID buffer = MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority);
  if (!buffer) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  ULONG_PTR bytes = 0;
  NTSTATUS status = VolumeTransfer(store, write, buffer, static_cast<ULONGLONG>(offset), length, &bytes);
  return Complete(Irp, status, NT_ERROR(status) ? 0 : bytes);
}

// Any IRQL up to dispatch level: the request goes to the worker.
NTSTATUS VolumeDispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp) {
  VolumeBlock *volume = VolumeOfDevice(Device);
  if (VolumeHasAnyFlag(volume, VOLUME_OFFLINE) || !VolumeHasAnyFlag(volume, VOLUME_WORKER_RUNNING))
    return Complete(Irp, STATUS_INVALID_DEVICE_STATE, 0);
  return VolumeQueueInsert(volume, Irp);
}

// The system's shutdown thread, passive level.
NTSTATUS VolumeDispatchShutdown(PDEVICE_OBJECT Device, PIRP Irp) {
  VolumeShutdownSave(VolumeOfDevice(Device));
  return Complete(Irp, STATUS_SUCCESS, 0);
}

// Only paging usage notifications; the decisions are taken under the
// volume's spin lock.
NTSTATUS VolumeDispatchPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  VolumeBlock *volume = VolumeOfDevice(Device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MinorFunction != IRP_MN_DEVICE_USAGE_NOTIFICATION ||
      stack->Parameters.UsageNotification.Type != DeviceUsageTypePaging)
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  NTSTATUS status = VolumePagingUsage(volume, stack->Parameters.UsageNotification.InPath);
  if (NT_SUCCESS(status)) {
    // Outside the spin lock: the device's flags follow the count.
    KIRQL irql;
    KeAcquireSpinLock(&volume->SpinLock, &irql);
    BOOLEAN paging = volume->PagingUseCount != 0;
    KeReleaseSpinLock(&volume->SpinLock, irql);
    if (paging) {
      Device->Flags &= ~DO_POWER_PAGABLE;
    } else {
      Device->Flags |= DO_POWER_PAGABLE;
    }
  }
  return Complete(Irp, status, 0);
}

NTSTATUS VolumePagingUsage(VolumeBlock *Volume, BOOLEAN InPath) {
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL irql;
  KeAcquireSpinLock(&Volume->SpinLock, &irql);
  if (InPath) {
    if (VolumeHasAnyFlag(Volume, VOLUME_READ_ONLY)) {
      status = STATUS_MEDIA_WRITE_PROTECTED;
    } else if (VolumeHasAnyFlag(Volume, VOLUME_REMOVABLE) || !VolumeHasAnyFlag(Volume, VOLUME_IN_SERVICE)) {
      status = STATUS_INVALID_DEVICE_STATE;
    } else {
      ++Volume->PagingUseCount;
    }
  } else if (Volume->PagingUseCount == 0) {
    status = STATUS_INVALID_DEVICE_STATE;
  } else {
    --Volume->PagingUseCount;
  }
  KeReleaseSpinLock(&Volume->SpinLock, irql);
  return status;
}
