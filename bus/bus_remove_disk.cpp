// IOCTL_BUS_REMOVE_DISK and IOCTL_BUS_QUERY_DISK: the engine finds its
// children by context or device object.
#include "bus/bus.h"

namespace {

// Called with the bus mutex held. A child still present wins over one
// already marked removed with the same context.
VirtualDisk *FindByContext(ULONG64 Context) {
  if (!Bus.BusDevice) return nullptr;
  BusFdoExtension *fdo = BusFdoOf(Bus.BusDevice);
  VirtualDisk *found = nullptr;
  for (PLIST_ENTRY entry = fdo->Children.Flink; entry != &fdo->Children; entry = entry->Flink) {
    VirtualDisk *disk = CONTAINING_RECORD(entry, VirtualDisk, Link);
    if (disk->EngineContext != Context) continue;
    if (!BusDiskRemoved(disk)) return disk;
    if (!found) found = disk;
  }
  return found;
}

// Called with the bus mutex held.
VirtualDisk *FindByDevice(ULONG64 Device) {
  if (!Bus.BusDevice) return nullptr;
  BusFdoExtension *fdo = BusFdoOf(Bus.BusDevice);
  for (PLIST_ENTRY entry = fdo->Children.Flink; entry != &fdo->Children; entry = entry->Flink) {
    VirtualDisk *disk = CONTAINING_RECORD(entry, VirtualDisk, Link);
    if (reinterpret_cast<uintptr_t>(disk->Self) == Device) return disk;
  }
  return nullptr;
}

// A disk the engine still uses (a paging file on it, open volumes) stays.
NTSTATUS CheckIdle(VirtualDisk *Disk) {
  if (BusDiskRemoved(Disk)) return STATUS_SUCCESS;
  DiskBusyInfo busy;
  RtlZeroMemory(&busy, sizeof(busy));
  NTSTATUS status = BusEngineQuery(Disk, BUS_QUERY_DISK_BUSY, &busy);
  if (status == STATUS_DELETE_PENDING) return STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) return status;
  return busy.Idle ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}

}  // namespace

VOID BusMarkDiskRemoved(VirtualDisk *Disk) {
  BusLock();
  InterlockedOr(&Disk->StateFlags, BUS_DISK_STATE_REMOVED);
  if (Bus.BusDevice) IoInvalidateDeviceRelations(BusFdoOf(Bus.BusDevice)->RootDevice, BusRelations);
  BusUnlock();
}

NTSTATUS BusRemoveDisk(PIRP Irp, PIO_STACK_LOCATION Stack) {
  NTSTATUS status = STATUS_SUCCESS;
  RemoveDiskRequest request;
  RtlZeroMemory(&request, sizeof(request));
  if (Stack->Parameters.DeviceIoControl.InputBufferLength != BUS_REMOVE_DISK_LENGTH)
    status = STATUS_INVALID_BUFFER_SIZE;
  else if (!Irp->AssociatedIrp.SystemBuffer) status = STATUS_INVALID_USER_BUFFER;
  else RtlCopyMemory(&request, Irp->AssociatedIrp.SystemBuffer, sizeof(request));
  if (NT_SUCCESS(status) && request.EngineContext == 0) status = STATUS_INVALID_PARAMETER;
  VirtualDisk *disk = nullptr;
  if (NT_SUCCESS(status)) {
    BusLock();
    if (!Bus.BusDevice) status = STATUS_INVALID_DEVICE_STATE;
    else if (!(disk = FindByContext(request.EngineContext))) status = STATUS_NOT_FOUND;
    else ObReferenceObject(disk->Self);
    BusUnlock();
  }
  if (disk) {
    status = CheckIdle(disk);
    if (NT_SUCCESS(status)) BusMarkDiskRemoved(disk);
    ObDereferenceObject(disk->Self);
  }
  return BusCompleteRequest(Irp, status, 0);
}

// The reply is 9 bytes whether the device is found or not.
NTSTATUS BusQueryDisk(PIRP Irp, PIO_STACK_LOCATION Stack) {
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  if (Stack->Parameters.DeviceIoControl.InputBufferLength != BUS_QUERY_DISK_LENGTH ||
      Stack->Parameters.DeviceIoControl.OutputBufferLength != BUS_QUERY_DISK_REPLY_LENGTH)
    status = STATUS_INVALID_BUFFER_SIZE;
  else if (!buffer) status = STATUS_INVALID_USER_BUFFER;
  if (NT_SUCCESS(status)) {
    uint64_t device;
    RtlCopyMemory(&device, buffer, sizeof(device));
    QueryDiskReply reply;
    RtlZeroMemory(&reply, sizeof(reply));
    BusLock();
    VirtualDisk *disk = FindByDevice(device);
    if (!Bus.BusDevice) {
      status = STATUS_INVALID_DEVICE_STATE;
    } else if (disk) {
      reply.EngineContext = disk->EngineContext;
      reply.Found = 1;
    } else {
      status = STATUS_NOT_FOUND;
    }
    BusUnlock();
    RtlCopyMemory(buffer, &reply, sizeof(reply));
    information = sizeof(reply);
  }
  return BusCompleteRequest(Irp, status, information);
}
