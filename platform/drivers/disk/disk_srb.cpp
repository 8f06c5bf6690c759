// SCSI request blocks to the unit below: one request at a time per call,
// each waited for, with no retries (the units this system presents do not
// fail transiently).
#include "platform/drivers/disk/disk.h"

#include <cstring>

namespace disk {

namespace {

NTSTATUS SrbDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

ULONG BigEndian32(const UCHAR *p) { return (ULONG(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3]; }
ULONG64 BigEndian64(const UCHAR *p) { return (ULONG64(BigEndian32(p)) << 32) | BigEndian32(p + 4); }
void PutBigEndian(UCHAR *p, ULONG64 value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) p[i] = UCHAR(value);
}

// A unit's answer into a pool buffer, copied out.
SrbResult Ask(DiskExtension *disk, const UCHAR *cdb, UCHAR cdbLength, void *answer, ULONG length) {
  void *buffer = ExAllocatePool2(POOL_FLAG_NON_PAGED, length, kDiskTag);
  if (!buffer) return SrbResult{STATUS_INSUFFICIENT_RESOURCES, SRB_STATUS_ERROR, 0};
  SrbResult result = SendSrb(disk, SRB_FUNCTION_EXECUTE_SCSI, cdb, cdbLength, buffer, nullptr, length, false);
  if (NT_SUCCESS(result.status)) memcpy(answer, buffer, length);
  ExFreePoolWithTag(buffer, kDiskTag);
  return result;
}

// The geometry Windows' disk driver reports for a disk it only knows the
// size of: 255 heads, 63 sectors a track, cylinders as many as fit.
DISK_GEOMETRY GeometryOf(ULONG64 size, ULONG sectorSize, bool removable) {
  DISK_GEOMETRY geometry{};
  geometry.MediaType = removable ? RemovableMedia : FixedMedia;
  geometry.TracksPerCylinder = 255;
  geometry.SectorsPerTrack = 63;
  geometry.BytesPerSector = sectorSize;
  geometry.Cylinders.QuadPart = static_cast<LONGLONG>(size / sectorSize / (255 * 63));
  return geometry;
}

}  // namespace

SrbResult SendSrb(DiskExtension *disk, UCHAR function, const UCHAR *cdb, UCHAR cdbLength, void *buffer, PMDL mdl,
                  ULONG length, bool dataOut) {
  PIRP irp = IoAllocateIrp(disk->lower->StackSize, FALSE);
  if (!irp) return SrbResult{STATUS_INSUFFICIENT_RESOURCES, SRB_STATUS_ERROR, 0};
  PMDL ownMdl = nullptr;
  if (buffer && length) {
    ownMdl = IoAllocateMdl(buffer, length, FALSE, FALSE, nullptr);
    if (!ownMdl) {
      IoFreeIrp(irp);
      return SrbResult{STATUS_INSUFFICIENT_RESOURCES, SRB_STATUS_ERROR, 0};
    }
    MmBuildMdlForNonPagedPool(ownMdl);
    mdl = ownMdl;
  }
  SCSI_REQUEST_BLOCK srb{};
  srb.Length = sizeof(srb);
  srb.Function = function;
  srb.CdbLength = cdbLength;
  if (cdbLength) memcpy(srb.Cdb, cdb, cdbLength);
  srb.DataTransferLength = mdl ? length : 0;
  srb.DataBuffer = mdl ? MmGetMdlVirtualAddress(mdl) : nullptr;
  srb.SrbFlags = !mdl ? SRB_FLAGS_NO_DATA_TRANSFER : (dataOut ? SRB_FLAGS_DATA_OUT : SRB_FLAGS_DATA_IN);
  srb.SrbFlags |= SRB_FLAGS_DISABLE_AUTOSENSE;
  srb.TimeOutValue = 10;
  srb.OriginalRequest = irp;
  irp->MdlAddress = mdl;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_SCSI;
  next->Parameters.Scsi.Srb = &srb;
  IoSetCompletionRoutine(irp, SrbDone, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(disk->lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  SrbResult result{irp->IoStatus.Status, static_cast<UCHAR>(SRB_STATUS(srb.SrbStatus)), srb.DataTransferLength};
  // A unit that said the block failed fails the request, whatever the
  // request's own status says.
  if (result.srbStatus != SRB_STATUS_SUCCESS && NT_SUCCESS(result.status)) result.status = STATUS_IO_DEVICE_ERROR;
  if (!NT_SUCCESS(result.status)) result.transferred = 0;
  irp->MdlAddress = nullptr;
  IoFreeIrp(irp);
  if (ownMdl) IoFreeMdl(ownMdl);
  return result;
}

NTSTATUS InspectUnit(DiskExtension *disk) {
  SrbResult claim = SendSrb(disk, SRB_FUNCTION_CLAIM_DEVICE, nullptr, 0, nullptr, nullptr, 0, false);
  if (!NT_SUCCESS(claim.status)) return claim.status;

  UCHAR cdb[16] = {};
  cdb[0] = SCSIOP_TEST_UNIT_READY;
  SrbResult ready = SendSrb(disk, SRB_FUNCTION_EXECUTE_SCSI, cdb, 6, nullptr, nullptr, 0, false);
  if (!NT_SUCCESS(ready.status)) return ready.status;

  UCHAR inquiry[INQUIRYDATABUFFERSIZE] = {};
  memset(cdb, 0, sizeof cdb);
  cdb[0] = SCSIOP_INQUIRY;
  cdb[4] = INQUIRYDATABUFFERSIZE;
  SrbResult asked = Ask(disk, cdb, 6, inquiry, sizeof inquiry);
  if (!NT_SUCCESS(asked.status)) return asked.status;
  if ((inquiry[0] & 0x1F) != DIRECT_ACCESS_DEVICE) return STATUS_NO_SUCH_DEVICE;
  disk->removable = (inquiry[1] & 0x80) || (disk->pdo->Characteristics & FILE_REMOVABLE_MEDIA);

  // READ CAPACITY(10) names 0xFFFFFFFF as the last block of a disk too
  // large for it; the 16-byte form then says the real size.
  UCHAR capacity[32] = {};
  memset(cdb, 0, sizeof cdb);
  cdb[0] = SCSIOP_READ_CAPACITY;
  asked = Ask(disk, cdb, 10, capacity, 8);
  if (!NT_SUCCESS(asked.status)) return asked.status;
  ULONG64 lastBlock = BigEndian32(capacity);
  ULONG blockLength = BigEndian32(capacity + 4);
  if (lastBlock == 0xFFFFFFFF) {
    memset(cdb, 0, sizeof cdb);
    cdb[0] = SCSIOP_READ_CAPACITY16;
    cdb[1] = SERVICE_ACTION_READ_CAPACITY16;
    PutBigEndian(cdb + 10, 32, 4);
    asked = Ask(disk, cdb, 16, capacity, 32);
    if (!NT_SUCCESS(asked.status)) return asked.status;
    lastBlock = BigEndian64(capacity);
    blockLength = BigEndian32(capacity + 8);
  }
  if (blockLength < 512 || blockLength % 512 || lastBlock == ~0ull) return STATUS_DEVICE_DATA_ERROR;
  disk->sectorSize = blockLength;
  disk->size = (lastBlock + 1) * blockLength;

  // Write protection is in the mode parameter header, the write cache in
  // the caching page; a unit that answers neither is writable, uncached.
  UCHAR modes[255] = {};
  memset(cdb, 0, sizeof cdb);
  cdb[0] = SCSIOP_MODE_SENSE;
  cdb[2] = MODE_SENSE_RETURN_ALL;
  cdb[4] = sizeof modes;
  asked = Ask(disk, cdb, 6, modes, sizeof modes);
  if (NT_SUCCESS(asked.status) && asked.transferred >= 4) {
    disk->writeProtected = (modes[2] & 0x80) != 0;
    ULONG at = 4 + modes[3];
    ULONG end = asked.transferred < sizeof modes ? asked.transferred : sizeof modes;
    while (at + 2 <= end && modes[at + 1]) {
      if ((modes[at] & 0x3F) == MODE_PAGE_CACHING && at + 2 < end) disk->writeCache = (modes[at + 2] & 0x04) != 0;
      at += 2 + modes[at + 1];
    }
  }

  // The adapter's transfer limit, in whole sectors and within what a
  // 10-byte block count can name; 64 KiB when the port does not say.
  STORAGE_PROPERTY_QUERY query{};
  query.PropertyId = StorageAdapterProperty;
  query.QueryType = PropertyStandardQuery;
  STORAGE_ADAPTER_DESCRIPTOR adapter{};
  ULONG_PTR got = 0;
  ULONG limit = 64 * 1024;
  if (NT_SUCCESS(SendControl(disk->lower, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &adapter,
                             sizeof adapter, &got)) &&
      got >= FIELD_OFFSET(STORAGE_ADAPTER_DESCRIPTOR, MaximumPhysicalPages) && adapter.MaximumTransferLength)
    limit = adapter.MaximumTransferLength;
  ULONG64 sectors = limit / disk->sectorSize;
  if (sectors > 0xFFFF) sectors = 0xFFFF;
  if (sectors == 0) sectors = 1;
  disk->maxTransfer = static_cast<ULONG>(sectors * disk->sectorSize);

  disk->geometry = GeometryOf(disk->size, disk->sectorSize, disk->removable);
  return STATUS_SUCCESS;
}

NTSTATUS TransferSectors(DiskExtension *disk, bool write, ULONG64 offset, PMDL mdl, ULONG mdlOffset, ULONG length,
                         ULONG *transferred) {
  *transferred = 0;
  PUCHAR base = static_cast<PUCHAR>(MmGetMdlVirtualAddress(mdl));
  while (*transferred < length) {
    ULONG piece = length - *transferred;
    if (piece > disk->maxTransfer) piece = disk->maxTransfer;
    ULONG64 lba = (offset + *transferred) / disk->sectorSize;
    ULONG blocks = piece / disk->sectorSize;
    // Ten-byte commands name blocks below 2^32 only: beyond 2 TiB of
    // 512-byte sectors the sixteen-byte forms carry the address.
    UCHAR cdb[16] = {};
    UCHAR cdbLength;
    if (lba + blocks <= 0xFFFFFFFFull) {
      cdbLength = 10;
      cdb[0] = write ? SCSIOP_WRITE : SCSIOP_READ;
      PutBigEndian(cdb + 2, lba, 4);
      PutBigEndian(cdb + 7, blocks, 2);
    } else {
      cdbLength = 16;
      cdb[0] = write ? SCSIOP_WRITE16 : SCSIOP_READ16;
      PutBigEndian(cdb + 2, lba, 8);
      PutBigEndian(cdb + 10, blocks, 4);
    }
    // Each piece gets its own description of its part of the caller's
    // pages, so that the unit finds its data at the start of it.
    PUCHAR at = base + mdlOffset + *transferred;
    PMDL partial = IoAllocateMdl(at, piece, FALSE, FALSE, nullptr);
    if (!partial) return STATUS_INSUFFICIENT_RESOURCES;
    IoBuildPartialMdl(mdl, partial, at, piece);
    SrbResult result = SendSrb(disk, SRB_FUNCTION_EXECUTE_SCSI, cdb, cdbLength, nullptr, partial, piece, write);
    IoFreeMdl(partial);
    if (!NT_SUCCESS(result.status)) return result.status;
    *transferred += result.transferred;
    if (result.transferred < piece) break;
  }
  return STATUS_SUCCESS;
}

NTSTATUS SynchronizeCache(DiskExtension *disk) {
  UCHAR cdb[10] = {SCSIOP_SYNCHRONIZE_CACHE};
  return SendSrb(disk, SRB_FUNCTION_EXECUTE_SCSI, cdb, 10, nullptr, nullptr, 0, false).status;
}

NTSTATUS EjectMedia(DiskExtension *disk) {
  if (!disk->removable) return STATUS_INVALID_DEVICE_REQUEST;
  UCHAR cdb[6] = {SCSIOP_START_STOP_UNIT};
  cdb[4] = 0x02;  // load/eject, not start: take the medium out
  return SendSrb(disk, SRB_FUNCTION_EXECUTE_SCSI, cdb, 6, nullptr, nullptr, 0, false).status;
}

}  // namespace disk
