// SCSI request blocks of a child disk, as the disk class driver sends them:
// by SRB function, then by CDB operation code.
#include "bus/bus.h"

#include <scsi.h>
#include <srb.h>

namespace {

// Commands that change nothing here: the disk has no medium to lock and no
// cache of its own.
BOOLEAN IsNoDataCommand(UCHAR Operation) {
  switch (Operation) {
    case SCSIOP_TEST_UNIT_READY:
    case SCSIOP_MODE_SELECT:
    case SCSIOP_MEDIUM_REMOVAL:
    case SCSIOP_VERIFY:
    case SCSIOP_SYNCHRONIZE_CACHE:
    case SCSIOP_VERIFY16:
      return TRUE;
    default:
      return FALSE;
  }
}

BOOLEAN IsTransfer(UCHAR Operation) {
  return Operation == SCSIOP_READ || Operation == SCSIOP_WRITE || Operation == SCSIOP_READ16 ||
         Operation == SCSIOP_WRITE16;
}

// START STOP UNIT with LOEJ set and START clear ejects the medium.
NTSTATUS StartStop(VirtualDisk *Disk, PSCSI_REQUEST_BLOCK Srb, UCHAR *SrbStatus) {
  UCHAR flags = Srb->Cdb[4];
  NTSTATUS status = STATUS_SUCCESS;
  if ((flags & 0x02) && !(flags & 0x01)) status = BusEngineEvent(Disk, BUS_EVENT_EJECT, 0);
  *SrbStatus = NT_SUCCESS(status) ? SRB_STATUS_SUCCESS : SRB_STATUS_INTERNAL_ERROR;
  return status;
}

// Commands answered with data from the child's record.
NTSTATUS DataCommand(VirtualDisk *Disk, PIRP Irp, PSCSI_REQUEST_BLOCK Srb, UCHAR Operation, UCHAR *SrbStatus,
                     ULONG *Bytes) {
  PVOID buffer = nullptr;
  NTSTATUS status = BusSrbDataBuffer(Irp, Srb, Srb->DataTransferLength, &buffer);
  if (!NT_SUCCESS(status)) {
    *SrbStatus = status == STATUS_INVALID_PARAMETER ? SRB_STATUS_BAD_SRB_BLOCK_LENGTH : SRB_STATUS_INTERNAL_ERROR;
    return status;
  }
  auto *data = static_cast<PUCHAR>(buffer);
  ULONG length = Srb->DataTransferLength;
  if (Operation == SCSIOP_INQUIRY) *SrbStatus = BusScsiInquiry(Disk, data, length, Bytes);
  else if (Operation == SCSIOP_MODE_SENSE) *SrbStatus = BusScsiModeSense(Disk, Srb->Cdb, data, length, Bytes);
  else *SrbStatus = BusScsiReadCapacity(Disk, Operation == SCSIOP_READ_CAPACITY16, data, length, Bytes);
  if (*SrbStatus == SRB_STATUS_SUCCESS) return STATUS_SUCCESS;
  return *SrbStatus == SRB_STATUS_DATA_OVERRUN ? STATUS_BUFFER_TOO_SMALL : STATUS_INVALID_DEVICE_REQUEST;
}

// Everything but transfers; returns the request's status.
NTSTATUS ExecuteScsi(VirtualDisk *Disk, PIRP Irp, PSCSI_REQUEST_BLOCK Srb, UCHAR Operation, UCHAR *SrbStatus,
                     ULONG *Bytes) {
  if (IsNoDataCommand(Operation)) {
    *SrbStatus = SRB_STATUS_SUCCESS;
    return STATUS_SUCCESS;
  }
  switch (Operation) {
    case SCSIOP_START_STOP_UNIT:
      return StartStop(Disk, Srb, SrbStatus);
    case SCSIOP_INQUIRY:
    case SCSIOP_MODE_SENSE:
    case SCSIOP_READ_CAPACITY:
    case SCSIOP_SERVICE_ACTION_IN16:
      return DataCommand(Disk, Irp, Srb, Operation, SrbStatus, Bytes);
    default:
      *SrbStatus = SRB_STATUS_BAD_FUNCTION;
      return STATUS_INVALID_DEVICE_REQUEST;
  }
}

NTSTATUS Function(VirtualDisk *Disk, PIRP Irp, PSCSI_REQUEST_BLOCK Srb, UCHAR *SrbStatus, ULONG *Bytes) {
  NTSTATUS status = STATUS_SUCCESS;
  *SrbStatus = SRB_STATUS_SUCCESS;
  switch (Srb->Function) {
    case SRB_FUNCTION_EXECUTE_SCSI:
      status = ExecuteScsi(Disk, Irp, Srb, Srb->CdbLength ? Srb->Cdb[0] : SCSIOP_TEST_UNIT_READY, SrbStatus, Bytes);
      break;
    case SRB_FUNCTION_CLAIM_DEVICE:
      Srb->DataBuffer = Disk->Self;
      break;
    case SRB_FUNCTION_IO_CONTROL:
    case SRB_FUNCTION_RELEASE_DEVICE:
    case SRB_FUNCTION_FLUSH:
      break;
    case SRB_FUNCTION_SHUTDOWN:
      status = BusEngineEvent(Disk, BUS_EVENT_SCSI_SHUTDOWN, 0);
      if (!NT_SUCCESS(status)) *SrbStatus = SRB_STATUS_INTERNAL_ERROR;
      break;
    default:
      *SrbStatus = SRB_STATUS_BAD_FUNCTION;
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  return status;
}

}  // namespace

NTSTATUS BusCompleteSrb(PIRP Irp, PSCSI_REQUEST_BLOCK Srb, UCHAR SrbStatus, NTSTATUS Status, ULONG Bytes) {
  if (Srb) {
    Srb->SrbStatus = SrbStatus;
    Srb->ScsiStatus = 0;
    Srb->DataTransferLength = Bytes;
  }
  return BusCompleteRequest(Irp, Status, Bytes);
}

NTSTATUS BusPdoScsi(PDEVICE_OBJECT Device, PIRP Irp) {
  VirtualDisk *disk = BusDiskOf(Device);
  PSCSI_REQUEST_BLOCK srb = IoGetCurrentIrpStackLocation(Irp)->Parameters.Scsi.Srb;
  NTSTATUS status = IoAcquireRemoveLock(&disk->RemoveLock, Irp);
  BOOLEAN locked = NT_SUCCESS(status);
  UCHAR srbStatus = SRB_STATUS_NO_DEVICE;
  ULONG bytes = 0;
  if (locked && !srb) {
    srbStatus = SRB_STATUS_INTERNAL_ERROR;
    status = STATUS_INVALID_PARAMETER;
  }
  if (locked && srb && srb->Function == SRB_FUNCTION_EXECUTE_SCSI && srb->CdbLength && IsTransfer(srb->Cdb[0])) {
    // Completes the request and lets go of the lock itself, maybe later.
    status = BusScsiTransfer(disk, Irp, srb);
  } else {
    if (locked && srb) status = Function(disk, Irp, srb, &srbStatus, &bytes);
    BusCompleteSrb(Irp, srb, srbStatus, status, NT_SUCCESS(status) ? bytes : 0);
    if (locked) IoReleaseRemoveLock(&disk->RemoveLock, Irp);
  }
  return status;
}
