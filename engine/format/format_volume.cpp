// Format dispatch, the formatters' write path and the partition sector.
#include "engine/format/format_internal.h"

namespace {

constexpr ULONG PARTITION_MAX_ENTRIES = 4;
constexpr ULONG PARTITION_SECTOR_SIZE = 512;
constexpr ULONG PARTITION_SIGNATURE_OFFSET = 440;
constexpr ULONG PARTITION_TABLE_OFFSET = 446;
constexpr ULONG PARTITION_ENTRY_SIZE = 16;
constexpr ULONGLONG PARTITION_MAX_LENGTH = 0x20000000000ull;  // 2 TiB

// No file system: clear the first sector of the range so that nothing
// recognises the old one.
NTSTATUS FormatRaw(FormatStore *Store, ULONGLONG Offset, ULONGLONG Length) {
  if (Length == 0) return STATUS_SUCCESS;
  ULONG sectorSize = Store->SectorSize();
  if (sectorSize == 0) return STATUS_INVALID_PARAMETER;
  FormatBuffer sector;
  if (!sector.Allocate(sectorSize)) return STATUS_INSUFFICIENT_RESOURCES;
  // A range shorter than a sector is cleared, not the bytes behind it.
  ULONG bytes = Length < sectorSize ? static_cast<ULONG>(Length) : sectorSize;
  SectorWriter writer = {Store, Offset};
  return SectorWriterTransfer(&writer, sector.Data, bytes, 0, SECTOR_WRITER_WRITE);
}

// Runs with the store write-protected against everybody but the formatter.
NTSTATUS FormatVolumeProtected(FormatStore *Store, ULONG Flags, ULONG Type, PCSTR Label,
                               ULONGLONG Offset, ULONGLONG Length) {
  NTSTATUS status;
  if ((Flags & FORMAT_FLAG_ZERO_FILL) && Length != 0) {
    status = Store->ZeroRange(Offset, Length);
    if (!NT_SUCCESS(status)) return status;
  }
  SectorWriter writer = {Store, Offset};
  ULONG sectorSize = Store->SectorSize();
  switch (Type) {
    case fsFAT32:
      status = FormatFat32(sectorSize, &writer, Length, Label);
      if (NT_SUCCESS(status)) return status;
      // Too small for FAT32 (or any other failure): FAT12/FAT16 instead.
      return FormatFat(sectorSize, &writer, Length, Label);
    case fsFAT:
      return FormatFat(sectorSize, &writer, Length, Label);
    case fsNTFS:
      return FormatNtfs(sectorSize, &writer, Length, Label);
    default:
      return FormatRaw(Store, Offset, Length);
  }
}

}  // namespace

NTSTATUS SectorWriterTransfer(SectorWriter *Writer, PVOID Buffer, ULONG Length, ULONGLONG Offset,
                              UCHAR Mode) {
  if (!Writer || !Writer->Store || (!Buffer && Length != 0)) return STATUS_INVALID_PARAMETER;
  if (Offset > ~0ull - Writer->Base) return STATUS_INVALID_PARAMETER;
  FormatStore *store = Writer->Store;
  ULONGLONG position = Writer->Base + Offset;
  IO_STATUS_BLOCK iosb = {};
  NTSTATUS status;

  if (Mode == SECTOR_WRITER_WRITE) {
    status = store->Write(Buffer, Length, position, FORMAT_STORE_WRITE_INTERNAL, &iosb);
    return NT_SUCCESS(status) ? iosb.Status : status;
  }
  if (Mode != SECTOR_WRITER_READ) return STATUS_INVALID_PARAMETER;

  ULONG sectorSize = store->SectorSize();
  if (sectorSize == 0) return STATUS_INVALID_PARAMETER;
  ULONG within = static_cast<ULONG>(position % sectorSize);
  if (within == 0 && Length % sectorSize == 0) {
    status = store->Read(Buffer, Length, position, &iosb);
    return NT_SUCCESS(status) ? iosb.Status : status;
  }
  // Unaligned reads are served from one sector.
  if (Length > sectorSize - within) return STATUS_INVALID_PARAMETER;
  FormatBuffer bounce;
  if (!bounce.Allocate(sectorSize)) return STATUS_INSUFFICIENT_RESOURCES;
  status = store->Read(bounce.Data, sectorSize, position - within, &iosb);
  if (NT_SUCCESS(status)) status = iosb.Status;
  if (!NT_SUCCESS(status)) return status;
  RtlCopyMemory(Buffer, bounce.Data + within, Length);
  return STATUS_SUCCESS;
}

NTSTATUS FormatVolume(FormatStore *Store, ULONG Flags, ULONG Type, PCSTR Label, ULONGLONG Offset,
                      ULONGLONG Length) {
  if (!Store || Type > fsNTFS) return STATUS_INVALID_PARAMETER;
  ULONGLONG size = Store->Size();
  // An offset past the end would wrap the room left behind it.
  if (Offset > size || Length > size - Offset) return STATUS_INVALID_PARAMETER;
  if (Length == 0) Length = size - Offset;

  Store->SetWriteProtected(TRUE);
  NTSTATUS status = FormatVolumeProtected(Store, Flags, Type, Label, Offset, Length);
  Store->SetWriteProtected(FALSE);
  return status;
}

NTSTATUS BuildPartitionSector(PUCHAR Buffer, ULONG SectorSize, ULONG DiskSignature,
                              const PartitionEntrySpec *Entries, ULONG EntryCount) {
  if (!Buffer || EntryCount > PARTITION_MAX_ENTRIES) return STATUS_INVALID_PARAMETER;
  if (SectorSize % 512 != 0) return STATUS_INVALID_PARAMETER;
  if (EntryCount != 0 && (SectorSize == 0 || !Entries)) return STATUS_INVALID_PARAMETER;
  // Check every entry before the buffer is touched.
  for (ULONG i = 0; i < EntryCount; ++i) {
    const PartitionEntrySpec &e = Entries[i];
    if (e.Length > PARTITION_MAX_LENGTH) return STATUS_INVALID_PARAMETER;
    // Start and size are 32-bit sector numbers on disk; refuse what would
    // be cut off rather than describe a different partition.
    if (e.Start / SectorSize > 0xFFFFFFFFull || e.Length / SectorSize > 0xFFFFFFFFull) {
      return STATUS_INVALID_PARAMETER;
    }
  }

  RtlZeroMemory(Buffer, PARTITION_SECTOR_SIZE);
  FormatPut32(Buffer + PARTITION_SIGNATURE_OFFSET, DiskSignature);
  Buffer[510] = 0x55;
  Buffer[511] = 0xAA;
  for (ULONG i = 0; i < EntryCount; ++i) {
    const PartitionEntrySpec &e = Entries[i];
    PUCHAR entry = Buffer + PARTITION_TABLE_OFFSET + PARTITION_ENTRY_SIZE * i;
    entry[0] = e.Active ? 0x80 : 0x00;
    entry[4] = e.Type;
    FormatPut32(entry + 8, static_cast<ULONG>(e.Start / SectorSize));
    FormatPut32(entry + 12, static_cast<ULONG>(e.Length / SectorSize));
  }
  return STATUS_SUCCESS;
}
