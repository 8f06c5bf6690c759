// Opens, reads, writes, flushes and WMI requests of a child disk: data goes
// to and from the engine's routines.
#include "bus/bus.h"

PVOID BusMdlSystemAddress(PMDL Mdl) { return MmGetSystemAddressForMdlSafe(Mdl, NormalPagePriority); }

NTSTATUS BusPdoCreate(PDEVICE_OBJECT Device, PIRP Irp) {
  VirtualDisk *disk = BusDiskOf(Device);
  NTSTATUS status = IoAcquireRemoveLock(&disk->RemoveLock, Irp);
  if (NT_SUCCESS(status)) IoReleaseRemoveLock(&disk->RemoveLock, Irp);
  return BusCompleteRequest(Irp, status, NT_SUCCESS(status) ? FILE_OPENED : 0);
}

// The engine's routine stores the status and byte count in the request's
// status block; only a failure it returns replaces them.
NTSTATUS BusPdoReadWrite(PDEVICE_OBJECT Device, PIRP Irp) {
  VirtualDisk *disk = BusDiskOf(Device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = IoAcquireRemoveLock(&disk->RemoveLock, Irp);
  BOOLEAN locked = NT_SUCCESS(status);
  BOOLEAN write = stack->MajorFunction == IRP_MJ_WRITE;
  ULONG length = write ? stack->Parameters.Write.Length : stack->Parameters.Read.Length;
  ULONG64 offset = static_cast<ULONG64>(write ? stack->Parameters.Write.ByteOffset.QuadPart
                                               : stack->Parameters.Read.ByteOffset.QuadPart);
  PVOID buffer = nullptr;
  // The length may not reach past the pages the MDL describes.
  if (locked && (!Irp->MdlAddress || MmGetMdlByteCount(Irp->MdlAddress) < length)) status = STATUS_INVALID_PARAMETER;
  if (NT_SUCCESS(status) && !(buffer = BusMdlSystemAddress(Irp->MdlAddress))) status = STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(status)) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    status = write ? BusEngineWrite(disk, offset, length, buffer, &Irp->IoStatus)
                   : BusEngineRead(disk, offset, length, buffer, &Irp->IoStatus);
  }
  if (NT_SUCCESS(status)) {
    status = Irp->IoStatus.Status;
  } else {
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
  }
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  if (locked) IoReleaseRemoveLock(&disk->RemoveLock, Irp);
  return status;
}

NTSTATUS BusPdoFlush(PDEVICE_OBJECT Device, PIRP Irp) {
  VirtualDisk *disk = BusDiskOf(Device);
  NTSTATUS status = IoAcquireRemoveLock(&disk->RemoveLock, Irp);
  BOOLEAN locked = NT_SUCCESS(status);
  if (locked) status = BusEngineEvent(disk, BUS_EVENT_FLUSH, 0);
  BusCompleteRequest(Irp, status, 0);
  if (locked) IoReleaseRemoveLock(&disk->RemoveLock, Irp);
  return status;
}

// No WMI provider: the request ends as it came.
NTSTATUS BusPdoSystemControl(PDEVICE_OBJECT Device, PIRP Irp) {
  VirtualDisk *disk = BusDiskOf(Device);
  NTSTATUS status = IoAcquireRemoveLock(&disk->RemoveLock, Irp);
  BOOLEAN locked = NT_SUCCESS(status);
  if (locked) status = Irp->IoStatus.Status;
  BusCompleteRequest(Irp, status, locked ? Irp->IoStatus.Information : 0);
  if (locked) IoReleaseRemoveLock(&disk->RemoveLock, Irp);
  return status;
}
