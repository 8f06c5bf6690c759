// FAT32 formatter: reserved area with FSInfo and backups, two FATs and a
// one-cluster root directory.
#include "engine/format/fat/fat_boot_sector.h"
#include "engine/format/fat/fat_geometry.h"
#include "engine/format/format_internal.h"

namespace {

// Zero-fill of the metadata area goes out in pieces of this many bytes.
constexpr ULONG FAT32_ZERO_CHUNK = 64 * 1024;

ULONG Fat32SectorsPerCluster(ULONGLONG Length) {
  constexpr ULONGLONG MiB = 1024 * 1024;
  constexpr ULONGLONG GiB = 1024 * MiB;
  if (Length <= 64 * MiB) return 1;
  if (Length <= 128 * MiB) return 2;
  if (Length <= 256 * MiB) return 4;
  if (Length <= 8 * GiB) return 8;
  if (Length <= 16 * GiB) return 16;
  return 32;
}

// Serial number from the local time of formatting.
ULONG Fat32Serial() {
  LARGE_INTEGER systemTime;
  LARGE_INTEGER localTime;
  TIME_FIELDS fields;
  KeQuerySystemTime(&systemTime);
  ExSystemTimeToLocalTime(&systemTime, &localTime);
  RtlTimeToTimeFields(&localTime, &fields);
  ULONG low = (static_cast<ULONG>(fields.Month) * 256 + fields.Day +
               static_cast<ULONG>(fields.Second) * 256 + fields.Milliseconds / 10) &
              0xFFFF;
  ULONG high =
      (static_cast<ULONG>(fields.Hour) * 256 + fields.Minute + static_cast<ULONG>(fields.Year)) &
      0xFFFF;
  return high << 16 | low;
}

}  // namespace

NTSTATUS Fat32CheckSize(ULONG SectorSize, ULONGLONG Length, ULONG *SectorsPerCluster,
                        ULONG *TotalSectors) {
  if (SectorSize == 0 || !SectorsPerCluster || !TotalSectors) return STATUS_INVALID_PARAMETER;
  ULONG spc = Fat32SectorsPerCluster(Length);
  if (spc == 0 || spc > 128 || (spc & (spc - 1)) != 0) return STATUS_INVALID_PARAMETER;
  ULONGLONG total = Length / SectorSize;
  if (total < 65536 || total >= 0xFFFFFFFFull) return STATUS_INVALID_PARAMETER;
  *SectorsPerCluster = spc;
  *TotalSectors = static_cast<ULONG>(total);
  return STATUS_SUCCESS;
}

NTSTATUS Fat32ComputeLayout(ULONG SectorSize, ULONG TotalSectors, ULONG SectorsPerCluster,
                            Fat32Geometry *Geometry) {
  if (!Geometry || SectorSize == 0 || SectorsPerCluster == 0 ||
      TotalSectors <= FAT32_RESERVED_SECTORS) {
    return STATUS_INVALID_PARAMETER;
  }
  Fat32Geometry g = {};
  g.TotalSectors = TotalSectors;
  g.SectorsPerCluster = SectorsPerCluster;
  ULONGLONG fat = 4ull * (TotalSectors - FAT32_RESERVED_SECTORS) /
                      (static_cast<ULONGLONG>(SectorSize) * SectorsPerCluster + 8) +
                  1;
  auto clustersFor = [&](ULONGLONG fatSectors) -> ULONGLONG {
    ULONGLONG used = FAT32_RESERVED_SECTORS + 2 * fatSectors;
    return used < TotalSectors ? (TotalSectors - used) / SectorsPerCluster : 0;
  };
  // The estimate can leave the FAT one or two entries short of the clusters
  // plus the two reserved entries; grow it until everything has an entry.
  ULONGLONG clusters = clustersFor(fat);
  while ((clusters + 2) * 4 > fat * SectorSize) {
    ++fat;
    clusters = clustersFor(fat);
  }
  if (clusters > FAT32_MAX_CLUSTERS || clusters < FAT32_MIN_CLUSTERS ||
      (4 * clusters + SectorSize - 1) / SectorSize > fat) {
    return STATUS_INVALID_PARAMETER;
  }
  g.FatSectors = static_cast<ULONG>(fat);
  g.Clusters = static_cast<ULONG>(clusters);
  g.FirstDataSector = FAT32_RESERVED_SECTORS + 2 * g.FatSectors;
  *Geometry = g;
  return STATUS_SUCCESS;
}

NTSTATUS FormatFat32(ULONG SectorSize, SectorWriter *Writer, ULONGLONG Length, PCSTR Label) {
  ULONG labelLength = 0;
  NTSTATUS status = FormatCheckParameters(SectorSize, Length, FAT32_MIN_LENGTH, FAT32_MAX_LENGTH,
                                          Label, &labelLength);
  if (!NT_SUCCESS(status)) return status;
  if (!Writer || !Writer->Store) return STATUS_INVALID_PARAMETER;
  ULONG spc = 0;
  ULONG total = 0;
  status = Fat32CheckSize(SectorSize, Length, &spc, &total);
  if (!NT_SUCCESS(status)) return status;

  // Boot sector and FSInfo side by side.
  FormatBuffer boot;
  if (!boot.Allocate(2 * SectorSize)) return STATUS_INSUFFICIENT_RESOURCES;
  Fat32Geometry g = {};
  NTSTATUS layoutStatus = Fat32ComputeLayout(SectorSize, total, spc, &g);

  PUCHAR b = boot.Data;
  auto *sector = reinterpret_cast<FatBootSector *>(b);
  FatBootLayout layout = {};
  layout.JumpOffset = 0x5A;
  layout.BytesPerSector = SectorSize;
  layout.SectorsPerCluster = spc;
  layout.ReservedSectors = FAT32_RESERVED_SECTORS;
  layout.FatCount = 2;
  layout.RootEntries = 0;
  layout.TotalSectors = total;
  layout.FatSectors16 = 0;
  FatBootSectorInit(sector, layout);
  sector->Fat32.ExtendedFlags = 0;  // FAT mirroring on
  sector->Fat32.Version = 0;
  sector->Fat32.RootCluster = 2;
  sector->Fat32.FsInfoSector = FAT32_FSINFO_SECTOR;
  sector->Fat32.BackupBootSector = FAT32_BACKUP_BOOT_SECTOR;
  CHAR label[FORMAT_LABEL_LENGTH];
  if (labelLength) {
    RtlFillMemory(label, FORMAT_LABEL_LENGTH, ' ');
    RtlCopyMemory(label, Label, labelLength);
  } else {
    RtlCopyMemory(label, "NO NAME    ", FORMAT_LABEL_LENGTH);
  }
  FatSetIdentity(&sector->Fat32.Identity, 0x80, Fat32Serial(), label, "FAT32   ");

  FormatBuffer fatSector;
  if (!fatSector.Allocate(SectorSize)) return STATUS_INSUFFICIENT_RESOURCES;
  FormatPut32(fatSector.Data + 0, 0x0FFFFFF8);
  FormatPut32(fatSector.Data + 4, 0x0FFFFFFF);
  FormatPut32(fatSector.Data + 8, 0x0FFFFFFF);  // the root directory's one cluster

  if (!NT_SUCCESS(layoutStatus)) return layoutStatus;
  sector->Fat32.FatSectors = g.FatSectors;

  PUCHAR info = b + SectorSize;
  FormatPut32(info + 0, 0x41615252);
  FormatPut32(info + 484, 0x61417272);
  FormatPut32(info + 488, g.Clusters - 1);
  FormatPut32(info + 492, 3);
  FormatPut32(info + 508, 0xAA550000);

  // Reserved area, both FATs and the root cluster read as zero whatever the
  // range held before.
  ULONGLONG zeroBytes = static_cast<ULONGLONG>(g.FirstDataSector + spc) * SectorSize;
  ULONG chunk = zeroBytes < FAT32_ZERO_CHUNK ? static_cast<ULONG>(zeroBytes) : FAT32_ZERO_CHUNK;
  FormatBuffer zero;
  if (!zero.Allocate(chunk)) return STATUS_INSUFFICIENT_RESOURCES;
  for (ULONGLONG offset = 0; offset < zeroBytes; offset += chunk) {
    ULONG piece = zeroBytes - offset < chunk ? static_cast<ULONG>(zeroBytes - offset) : chunk;
    status = SectorWriterTransfer(Writer, zero.Data, piece, offset, SECTOR_WRITER_WRITE);
    if (!NT_SUCCESS(status)) return status;
  }

  struct Placement {
    PUCHAR Data;
    ULONG Sector;
  };
  const Placement writes[] = {
      {b, 0},
      {b, FAT32_BACKUP_BOOT_SECTOR},
      {info, FAT32_FSINFO_SECTOR},
      {info, FAT32_BACKUP_FSINFO_SECTOR},
      {fatSector.Data, FAT32_RESERVED_SECTORS},
      {fatSector.Data, FAT32_RESERVED_SECTORS + g.FatSectors},
  };
  for (const Placement &w : writes) {
    status = SectorWriterTransfer(Writer, w.Data, SectorSize,
                                  static_cast<ULONGLONG>(w.Sector) * SectorSize,
                                  SECTOR_WRITER_WRITE);
    if (!NT_SUCCESS(status)) return status;
  }

  if (labelLength) {
    UCHAR entry[FORMAT_LABEL_ENTRY_SIZE];
    FormatBuildLabelEntry(entry, Label, labelLength);
    status = SectorWriterTransfer(Writer, entry, FORMAT_LABEL_ENTRY_SIZE,
                                  static_cast<ULONGLONG>(g.FirstDataSector) * SectorSize,
                                  SECTOR_WRITER_WRITE);
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}
