// The entry points the engine registers with the bus driver. Disk emulation
// is not built yet, so the bus has no disk of ours to call about.
#include "engine/busclient/bus_connection.h"

int32_t VolumeBusEvent(uint32_t Code, EngineEventArgs *) {
  switch (Code) {
    case BUS_EVENT_DISK_NUMBER_KNOWN:
    case BUS_EVENT_STARTED:
    case BUS_EVENT_STOPPED:
    case BUS_EVENT_SCSI_SHUTDOWN:
    case BUS_EVENT_FLUSH:
      return STATUS_SUCCESS;
    default:
      return STATUS_DELETE_PENDING;
  }
}

int32_t VolumeBusRead(uint64_t, uint64_t, uint32_t, void *, void *IoStatus) {
  auto *iosb = static_cast<PIO_STATUS_BLOCK>(IoStatus);
  if (iosb) {
    iosb->Status = STATUS_DELETE_PENDING;
    iosb->Information = 0;
  }
  return STATUS_DELETE_PENDING;
}

int32_t VolumeBusWrite(uint64_t Context, uint64_t ByteOffset, uint32_t Length, void *Buffer,
                       void *IoStatus) {
  return VolumeBusRead(Context, ByteOffset, Length, Buffer, IoStatus);
}

int32_t VolumeBusQuery(uint64_t, uint32_t, void *) { return STATUS_DELETE_PENDING; }
