// READ and WRITE (10 and 16) SRBs of a child disk: checked against the MDL
// and the disk's end, then carried by the engine's routines. Requests
// arriving above APC level are carried in a work item.
#include "bus/bus.h"

#include <scsi.h>
#include <srb.h>

namespace {

struct TransferWork {
  PIO_WORKITEM Item;
  VirtualDisk *Disk;
  PIRP Irp;
};

ULONG64 GetBigEndian(const UCHAR *Source, ULONG Bytes) {
  ULONG64 value = 0;
  for (ULONG i = 0; i < Bytes; ++i) value = value << 8 | Source[i];
  return value;
}

// Returns the request's status; the caller completes it.
NTSTATUS Transfer(VirtualDisk *Disk, PIRP Irp, PSCSI_REQUEST_BLOCK Srb, UCHAR *SrbStatus, ULONG *Bytes) {
  *Bytes = 0;
  if ((Srb->CdbLength != 10 && Srb->CdbLength != 16) || !Irp->MdlAddress) {
    *SrbStatus = SRB_STATUS_BAD_FUNCTION;
    return STATUS_INVALID_PARAMETER;
  }
  BOOLEAN wide = Srb->CdbLength == 16;
  ULONG64 lba = wide ? GetBigEndian(Srb->Cdb + 2, 8) : GetBigEndian(Srb->Cdb + 2, 4);
  ULONG64 blocks = wide ? GetBigEndian(Srb->Cdb + 10, 4) : GetBigEndian(Srb->Cdb + 7, 2);
  // In 64 bits: a block count times the sector size that wraps 32 bits, or
  // an LBA whose offset wraps 64 bits, must not pass for a small request.
  ULONG64 count = blocks * Disk->SectorSize;
  PVOID buffer = nullptr;
  NTSTATUS status = STATUS_SUCCESS;
  if (count != Srb->DataTransferLength) status = STATUS_INVALID_PARAMETER;
  else status = BusSrbDataBuffer(Irp, Srb, Srb->DataTransferLength, &buffer);
  ULONG64 diskBlocks = Disk->Size / Disk->SectorSize;
  if (NT_SUCCESS(status) && lba >= diskBlocks) status = STATUS_INVALID_PARAMETER;
  if (!NT_SUCCESS(status)) {
    *SrbStatus = status == STATUS_INVALID_PARAMETER ? SRB_STATUS_BAD_SRB_BLOCK_LENGTH : SRB_STATUS_INTERNAL_ERROR;
    return status;
  }
  ULONG64 offset = lba * Disk->SectorSize;
  // A transfer reaching past the end is cut to end at the disk's size.
  if (count > Disk->Size - offset) count = Disk->Size - offset;
  UCHAR operation = Srb->Cdb[0];
  BOOLEAN write = operation == SCSIOP_WRITE || operation == SCSIOP_WRITE16;
  IO_STATUS_BLOCK iosb;
  iosb.Status = STATUS_SUCCESS;
  iosb.Information = 0;
  status = write ? BusEngineWrite(Disk, offset, static_cast<ULONG>(count), buffer, &iosb)
                 : BusEngineRead(Disk, offset, static_cast<ULONG>(count), buffer, &iosb);
  if (!NT_SUCCESS(status)) {
    *SrbStatus = SRB_STATUS_INTERNAL_ERROR;
    return status;
  }
  *SrbStatus = NT_SUCCESS(iosb.Status) ? SRB_STATUS_SUCCESS : SRB_STATUS_INTERNAL_ERROR;
  *Bytes = static_cast<ULONG>(iosb.Information);
  return iosb.Status;
}

NTSTATUS TransferAndComplete(VirtualDisk *Disk, PIRP Irp) {
  PSCSI_REQUEST_BLOCK srb = IoGetCurrentIrpStackLocation(Irp)->Parameters.Scsi.Srb;
  UCHAR srbStatus = SRB_STATUS_INTERNAL_ERROR;
  ULONG bytes = 0;
  NTSTATUS status = Transfer(Disk, Irp, srb, &srbStatus, &bytes);
  BusCompleteSrb(Irp, srb, srbStatus, status, bytes);
  IoReleaseRemoveLock(&Disk->RemoveLock, Irp);
  return status;
}

VOID TransferWorker(PDEVICE_OBJECT, PVOID Context) {
  auto *work = static_cast<TransferWork *>(Context);
  PIO_WORKITEM item = work->Item;
  TransferAndComplete(work->Disk, work->Irp);
  ExFreePoolWithTag(work, BUS_TAG_TRANSFER);
  IoFreeWorkItem(item);
}

}  // namespace

NTSTATUS BusSrbDataBuffer(PIRP Irp, PSCSI_REQUEST_BLOCK Srb, ULONG Length, PVOID *Buffer) {
  *Buffer = nullptr;
  PMDL mdl = Irp->MdlAddress;
  if (!mdl) {
    // A kernel caller's own buffer.
    *Buffer = Srb->DataBuffer;
    return Srb->DataBuffer || Length == 0 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
  }
  auto address = reinterpret_cast<ULONG_PTR>(Srb->DataBuffer);
  auto start = reinterpret_cast<ULONG_PTR>(MmGetMdlVirtualAddress(mdl));
  ULONG_PTR offset = address >= reinterpret_cast<ULONG_PTR>(MmSystemRangeStart) ? address - start : 0;
  ULONG_PTR end = offset + Length;
  if (address >= reinterpret_cast<ULONG_PTR>(MmSystemRangeStart) && address < start) return STATUS_INVALID_PARAMETER;
  if (end < offset || end > MmGetMdlByteCount(mdl)) return STATUS_INVALID_PARAMETER;
  PVOID mapped = BusMdlSystemAddress(mdl);
  if (!mapped) return STATUS_INSUFFICIENT_RESOURCES;
  *Buffer = static_cast<PUCHAR>(mapped) + offset;
  return STATUS_SUCCESS;
}

NTSTATUS BusScsiTransfer(VirtualDisk *Disk, PIRP Irp, PSCSI_REQUEST_BLOCK Srb) {
  NTSTATUS status = STATUS_PENDING;
  if (KeGetCurrentIrql() <= APC_LEVEL) {
    status = TransferAndComplete(Disk, Irp);
  } else {
    auto *work = static_cast<TransferWork *>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TransferWork),
                                                                   BUS_TAG_TRANSFER));
    PIO_WORKITEM item = work ? IoAllocateWorkItem(Disk->Self) : nullptr;
    if (!item) {
      if (work) ExFreePoolWithTag(work, BUS_TAG_TRANSFER);
      status = BusCompleteSrb(Irp, Srb, SRB_STATUS_INTERNAL_ERROR, STATUS_INSUFFICIENT_RESOURCES, 0);
      IoReleaseRemoveLock(&Disk->RemoveLock, Irp);
    } else {
      work->Item = item;
      work->Disk = Disk;
      work->Irp = Irp;
      IoMarkIrpPending(Irp);
      IoQueueWorkItem(item, TransferWorker, DelayedWorkQueue, work);
    }
  }
  return status;
}
