// IoReadPartitionTableEx and IoWritePartitionTableEx: a disk's MBR and the
// boot records of its extended partitions, read and written through
// requests to the disk's own device, in sectors of the size its geometry
// names. Only MBR disks are understood: a GPT disk's protective MBR is
// reported as the one partition it describes (type 0xEE), where Windows
// would read the GPT behind it.
#include "internal.h"

#include <ntdddisk.h>
#include <wdm.h>

#include <cstring>
#include <set>
#include <vector>

namespace {

constexpr ULONG kPartitionTag = 0x74726150;  // "Part"
constexpr ULONG kEntriesOffset = 0x1BE;
constexpr ULONG kSignatureOffset = 0x1B8;
constexpr ULONG kEntrySize = 16;
// A chain of extended boot records ends here at the latest: a loop or a
// damaged chain must not keep the reader going.
constexpr size_t kMaxTables = 128;

// One 16-byte entry of a partition table as it lies on the disk.
struct RawEntry {
  UCHAR status;
  UCHAR type;
  ULONG start;  // in sectors, relative to the table's base
  ULONG count;
};

ULONG ReadLe32(const UCHAR *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (ULONG(p[3]) << 24); }
void WriteLe32(UCHAR *p, ULONG v) {
  p[0] = UCHAR(v);
  p[1] = UCHAR(v >> 8);
  p[2] = UCHAR(v >> 16);
  p[3] = UCHAR(v >> 24);
}

RawEntry EntryAt(const std::vector<UCHAR> &sector, int index) {
  const UCHAR *p = sector.data() + kEntriesOffset + index * kEntrySize;
  return RawEntry{p[0], p[4], ReadLe32(p + 8), ReadLe32(p + 12)};
}

bool HasBootSignature(const std::vector<UCHAR> &sector) { return sector[510] == 0x55 && sector[511] == 0xAA; }

// The partition types Windows mounts file systems on, also when marked as
// members of a fault-tolerant set (bit 0x80).
bool IsRecognized(UCHAR type) {
  switch (type & 0x7F) {
    case PARTITION_FAT_12:
    case PARTITION_FAT_16:
    case PARTITION_HUGE:
    case PARTITION_IFS:
    case PARTITION_FAT32:
    case PARTITION_FAT32_XINT13:
    case PARTITION_XINT13:
      return !IsContainerPartition(type);
    default:
      return false;
  }
}

NTSTATUS CallSynchronously(PDEVICE_OBJECT device, PIRP irp, PKEVENT event, PIO_STATUS_BLOCK iosb) {
  NTSTATUS status = IoCallDriver(device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr);
    status = iosb->Status;
  }
  return status;
}

NTSTATUS QueryGeometry(PDEVICE_OBJECT device, DISK_GEOMETRY *geometry) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_DISK_GET_DRIVE_GEOMETRY, device, nullptr, 0, geometry,
                                           sizeof(*geometry), FALSE, &event, &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = CallSynchronously(device, irp, &event, &iosb);
  if (NT_SUCCESS(status) && iosb.Information < sizeof(*geometry)) status = STATUS_DEVICE_DATA_ERROR;
  return status;
}

// Reads or writes one sector through a buffer of nonpaged pool, as a disk
// driver's requests need memory it can describe.
NTSTATUS TransferSector(PDEVICE_OBJECT device, bool write, ULONG sectorSize, ULONG64 lba,
                        std::vector<UCHAR> *sector) {
  auto *buffer = static_cast<UCHAR *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sectorSize, kPartitionTag));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  if (write) memcpy(buffer, sector->data(), sectorSize);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER offset;
  offset.QuadPart = static_cast<LONGLONG>(lba * sectorSize);
  PIRP irp = IoBuildSynchronousFsdRequest(write ? IRP_MJ_WRITE : IRP_MJ_READ, device, buffer, sectorSize, &offset,
                                          &event, &iosb);
  NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
  if (irp) {
    status = CallSynchronously(device, irp, &event, &iosb);
    if (NT_SUCCESS(status) && iosb.Information != sectorSize) status = STATUS_DEVICE_DATA_ERROR;
  }
  if (NT_SUCCESS(status) && !write) memcpy(sector->data(), buffer, sectorSize);
  ExFreePoolWithTag(buffer, kPartitionTag);
  return status;
}

NTSTATUS SectorSizeOf(PDEVICE_OBJECT device, DISK_GEOMETRY *geometry, ULONG *sectorSize) {
  NTSTATUS status = QueryGeometry(device, geometry);
  if (!NT_SUCCESS(status)) return status;
  // A table needs the 512 bytes of a boot sector; smaller sectors are no
  // disk's.
  if (geometry->BytesPerSector < 512 || geometry->BytesPerSector % 512) return STATUS_DEVICE_DATA_ERROR;
  *sectorSize = geometry->BytesPerSector;
  return STATUS_SUCCESS;
}

PARTITION_INFORMATION_EX EntryToPartition(const RawEntry &raw, ULONG64 base, ULONG sectorSize) {
  PARTITION_INFORMATION_EX partition{};
  partition.PartitionStyle = PARTITION_STYLE_MBR;
  if (raw.type == PARTITION_ENTRY_UNUSED) return partition;
  partition.StartingOffset.QuadPart = static_cast<LONGLONG>((base + raw.start) * sectorSize);
  partition.PartitionLength.QuadPart = static_cast<LONGLONG>(ULONG64(raw.count) * sectorSize);
  partition.Mbr.PartitionType = raw.type;
  partition.Mbr.BootIndicator = (raw.status & 0x80) != 0;
  partition.Mbr.RecognizedPartition = IsRecognized(raw.type);
  partition.Mbr.HiddenSectors = raw.start;
  return partition;
}

// Cylinder, head and sector of an LBA as the three bytes of a table entry;
// beyond what they can express, the marker every tool writes.
void WriteChs(UCHAR *p, ULONG64 lba, const DISK_GEOMETRY &geometry) {
  ULONG heads = geometry.TracksPerCylinder ? geometry.TracksPerCylinder : 255;
  ULONG sectors = geometry.SectorsPerTrack ? geometry.SectorsPerTrack : 63;
  ULONG64 cylinder = lba / (ULONG64(heads) * sectors);
  if (cylinder > 1023 || heads > 255 || sectors > 63) {
    p[0] = 0xFE;
    p[1] = 0xFF;
    p[2] = 0xFF;
    return;
  }
  ULONG head = ULONG((lba / sectors) % heads);
  ULONG sector = ULONG(lba % sectors) + 1;
  p[0] = UCHAR(head);
  p[1] = UCHAR(sector | ((cylinder >> 2) & 0xC0));
  p[2] = UCHAR(cylinder);
}

// Fills one table entry; `base` is the sector the entry's start counts
// from. STATUS_INVALID_PARAMETER for what a table cannot hold.
NTSTATUS WriteEntry(UCHAR *p, const PARTITION_INFORMATION_EX &partition, ULONG64 base, ULONG sectorSize,
                    const DISK_GEOMETRY &geometry) {
  memset(p, 0, kEntrySize);
  if (partition.Mbr.PartitionType == PARTITION_ENTRY_UNUSED) return STATUS_SUCCESS;
  LONGLONG offset = partition.StartingOffset.QuadPart;
  LONGLONG length = partition.PartitionLength.QuadPart;
  if (offset <= 0 || length <= 0 || offset % sectorSize || length % sectorSize) return STATUS_INVALID_PARAMETER;
  ULONG64 startLba = ULONG64(offset) / sectorSize;
  ULONG64 count = ULONG64(length) / sectorSize;
  if (startLba < base || startLba - base > 0xFFFFFFFFull || count > 0xFFFFFFFFull) return STATUS_INVALID_PARAMETER;
  p[0] = partition.Mbr.BootIndicator ? 0x80 : 0x00;
  WriteChs(p + 1, startLba, geometry);
  p[4] = partition.Mbr.PartitionType;
  WriteChs(p + 5, startLba + count - 1, geometry);
  WriteLe32(p + 8, ULONG(startLba - base));
  WriteLe32(p + 12, ULONG(count));
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS IoReadPartitionTableEx(PDEVICE_OBJECT DeviceObject, PDRIVE_LAYOUT_INFORMATION_EX *DriveLayout) {
  if (!DeviceObject || !DriveLayout) return STATUS_INVALID_PARAMETER;
  *DriveLayout = nullptr;
  DISK_GEOMETRY geometry{};
  ULONG sectorSize = 0;
  NTSTATUS status = SectorSizeOf(DeviceObject, &geometry, &sectorSize);
  if (!NT_SUCCESS(status)) return status;
  std::vector<UCHAR> sector(sectorSize);
  status = TransferSector(DeviceObject, false, sectorSize, 0, &sector);
  if (!NT_SUCCESS(status)) return status;

  std::vector<PARTITION_INFORMATION_EX> entries;
  ULONG style = PARTITION_STYLE_RAW;
  ULONG signature = 0;
  if (HasBootSignature(sector)) {
    style = PARTITION_STYLE_MBR;
    signature = ReadLe32(sector.data() + kSignatureOffset);
    // The MBR's four entries, then each extended boot record in chain
    // order: its logical partition counts from the record's own sector,
    // its link to the next record from the start of the outermost
    // extended partition.
    std::vector<ULONG64> pending;
    ULONG64 extendedBase = 0;
    for (int i = 0; i < 4; ++i) {
      RawEntry raw = EntryAt(sector, i);
      entries.push_back(EntryToPartition(raw, 0, sectorSize));
      if (IsContainerPartition(raw.type) && raw.start && pending.empty()) {
        extendedBase = raw.start;
        pending.push_back(raw.start);
      }
    }
    std::set<ULONG64> visited;
    while (!pending.empty() && visited.size() < kMaxTables) {
      ULONG64 lba = pending.back();
      pending.pop_back();
      if (!visited.insert(lba).second) break;
      if (!NT_SUCCESS(TransferSector(DeviceObject, false, sectorSize, lba, &sector)) || !HasBootSignature(sector))
        break;
      for (int i = 0; i < 4; ++i) {
        RawEntry raw = EntryAt(sector, i);
        bool link = IsContainerPartition(raw.type);
        entries.push_back(EntryToPartition(raw, link ? extendedBase : lba, sectorSize));
        if (link && raw.start && pending.empty()) pending.push_back(extendedBase + raw.start);
      }
    }
    // Numbers as Windows gives them: every used entry that is not a
    // container, in table order, from 1.
    ULONG number = 0;
    for (PARTITION_INFORMATION_EX &p : entries)
      if (p.Mbr.PartitionType != PARTITION_ENTRY_UNUSED && !IsContainerPartition(p.Mbr.PartitionType))
        p.PartitionNumber = ++number;
  }

  size_t count = entries.size();
  size_t bytes = FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                 (count ? count : 1) * sizeof(PARTITION_INFORMATION_EX);
  auto *layout =
      static_cast<PDRIVE_LAYOUT_INFORMATION_EX>(ExAllocatePool2(POOL_FLAG_NON_PAGED, bytes, kPartitionTag));
  if (!layout) return STATUS_INSUFFICIENT_RESOURCES;
  memset(layout, 0, bytes);
  layout->PartitionStyle = style;
  layout->PartitionCount = static_cast<ULONG>(count);
  layout->Mbr.Signature = signature;
  for (size_t i = 0; i < count; ++i) layout->PartitionEntry[i] = entries[i];
  *DriveLayout = layout;
  return STATUS_SUCCESS;
}

NTSTATUS IoWritePartitionTableEx(PDEVICE_OBJECT DeviceObject, PDRIVE_LAYOUT_INFORMATION_EX DriveLayout) {
  if (!DeviceObject || !DriveLayout) return STATUS_INVALID_PARAMETER;
  if (DriveLayout->PartitionStyle != PARTITION_STYLE_MBR) return STATUS_NOT_SUPPORTED;
  ULONG count = DriveLayout->PartitionCount;
  // The MBR holds four entries, each extended boot record four more.
  if (count > 4 && count % 4) return STATUS_INVALID_PARAMETER;
  DISK_GEOMETRY geometry{};
  ULONG sectorSize = 0;
  NTSTATUS status = SectorSizeOf(DeviceObject, &geometry, &sectorSize);
  if (!NT_SUCCESS(status)) return status;

  // Every table is built before any is written, so a layout that does not
  // fit leaves the disk as it was.
  struct Table {
    ULONG64 lba;
    std::vector<UCHAR> sector;
  };
  std::vector<Table> tables;
  ULONG64 extendedBase = 0;
  ULONG64 tableLba = 0;
  for (ULONG first = 0; first == 0 || first < count; first += 4) {
    Table table{tableLba, std::vector<UCHAR>(sectorSize)};
    // The MBR keeps its boot code; extended boot records hold nothing else.
    if (first == 0) {
      status = TransferSector(DeviceObject, false, sectorSize, 0, &table.sector);
      if (!NT_SUCCESS(status)) return status;
      WriteLe32(table.sector.data() + kSignatureOffset, DriveLayout->Mbr.Signature);
      table.sector[0x1BC] = table.sector[0x1BD] = 0;
    }
    ULONG64 next = 0;
    for (ULONG i = 0; i < 4; ++i) {
      PARTITION_INFORMATION_EX empty{};
      const PARTITION_INFORMATION_EX &p = first + i < count ? DriveLayout->PartitionEntry[first + i] : empty;
      bool link = IsContainerPartition(p.Mbr.PartitionType);
      ULONG64 base = first == 0 ? 0 : (link ? extendedBase : tableLba);
      status = WriteEntry(table.sector.data() + kEntriesOffset + i * kEntrySize, p, base, sectorSize, geometry);
      if (!NT_SUCCESS(status)) return status;
      if (link && !next) next = ULONG64(p.StartingOffset.QuadPart) / sectorSize;
    }
    table.sector[510] = 0x55;
    table.sector[511] = 0xAA;
    tables.push_back(std::move(table));
    if (first + 4 >= count) break;
    // The next four entries go into the record the container names.
    if (!next) return STATUS_INVALID_PARAMETER;
    if (first == 0) extendedBase = next;
    for (const Table &t : tables)
      if (t.lba == next) return STATUS_INVALID_PARAMETER;
    tableLba = next;
  }
  for (Table &table : tables) {
    status = TransferSector(DeviceObject, true, sectorSize, table.lba, &table.sector);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}
