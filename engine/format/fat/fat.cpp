// FAT12/FAT16 formatter: boot sector, first FAT sector and the label entry.
#include "engine/format/fat/fat_boot_sector.h"
#include "engine/format/fat/fat_geometry.h"
#include "engine/format/format_internal.h"

namespace {

// FAT sectors for an estimated entry count, subtracting the FAT's own size
// from the estimate once.
ULONG FatEstimateSectors(ULONG Entries, UCHAR Bits) {
  if (Bits == 12) {
    ULONG t = ((3 * Entries + 1) / 2 + 511) / 512;
    ULONG reduced = Entries - t;
    return ((3 * reduced + 1) / 2 + 511) / 512;
  }
  ULONG t = (2 * Entries + 511) / 512;
  ULONG reduced = Entries - t;
  return (2 * reduced + 511) / 512;
}

ULONG FatClustersFor(const FatGeometry &g, ULONG FatSectors) {
  ULONG overhead = FAT_FIXED_SECTORS + FatSectors;
  if (g.TotalSectors <= overhead) return 0;
  return (g.TotalSectors - overhead) / g.SectorsPerCluster;
}

// Entries a FAT of Sectors sectors holds.
ULONGLONG FatCapacity(ULONG Sectors, UCHAR Bits) {
  return static_cast<ULONGLONG>(Sectors) * 512 * 8 / Bits;
}

// Grows the estimated FAT until it has an entry for every cluster the
// volume ends up with (the estimate takes the FAT's size off the entry
// count before that size is known, and counts its sectors as clusters, so
// it often comes out a sector short), and then, only if needed, pads it so
// that the cluster count stays where every reader agrees on the FAT type.
VOID FatFitTable(FatGeometry *g) {
  ULONG clusters = FatClustersFor(*g, g->FatSectors);
  while (static_cast<ULONGLONG>(clusters) + 2 > FatCapacity(g->FatSectors, g->FatBits)) {
    ++g->FatSectors;
    clusters = FatClustersFor(*g, g->FatSectors);
  }
  ULONG limit = g->FatBits == 12 ? FAT12_MAX_CLUSTERS : FAT16_MAX_CLUSTERS;
  if (clusters > limit) {
    // Smallest FAT that leaves at most `limit` whole clusters.
    g->FatSectors = g->TotalSectors - FAT_FIXED_SECTORS - ((limit + 1) * g->SectorsPerCluster - 1);
    clusters = FatClustersFor(*g, g->FatSectors);
  }
  g->Clusters = clusters;
}

}  // namespace

ULONG FatSectorsPerCluster(ULONGLONG Length) {
  constexpr ULONGLONG MiB = 1024 * 1024;
  if (Length <= 32 * MiB) return 1;
  if (Length <= 64 * MiB) return 2;
  if (Length <= 128 * MiB) return 4;
  if (Length <= 256 * MiB) return 8;
  if (Length <= 512 * MiB) return 16;
  if (Length <= 1024 * MiB) return 32;
  return 64;
}

NTSTATUS FatComputeGeometry(ULONGLONG Length, FatGeometry *Geometry) {
  if (!Geometry || Length > FAT_MAX_LENGTH) return STATUS_INVALID_PARAMETER;
  FatGeometry g = {};
  g.TotalSectors = static_cast<ULONG>(Length / 512);
  // The entry estimate needs at least one sector past the fixed area.
  if (g.TotalSectors <= FAT_FIXED_SECTORS) return STATUS_INVALID_PARAMETER;
  g.SectorsPerCluster = FatSectorsPerCluster(Length);
  g.EntryEstimate = (g.TotalSectors - FAT_FIXED_SECTORS) / g.SectorsPerCluster + 2;
  g.FatBits = g.EntryEstimate <= 0xFF7 ? 12 : 16;
  g.FatSectors = FatEstimateSectors(g.EntryEstimate, g.FatBits);
  FatFitTable(&g);
  if (g.FatBits == 16 && g.Clusters < FAT16_MIN_CLUSTERS) {
    // Just past the estimate's boundary the FAT16 table leaves so few
    // clusters that readers would take the volume for FAT12: make it one.
    g.FatBits = 12;
    g.FatSectors = FatEstimateSectors(g.EntryEstimate, 12);
    FatFitTable(&g);
  }
  // 34 sectors leave the FAT and root directory but no data cluster: no
  // reader takes that for a file system.
  if (g.Clusters == 0) return STATUS_INVALID_PARAMETER;
  *Geometry = g;
  return STATUS_SUCCESS;
}

NTSTATUS FormatFat(ULONG SectorSize, SectorWriter *Writer, ULONGLONG Length, PCSTR Label) {
  ULONG labelLength = 0;
  NTSTATUS status = FormatCheckParameters(SectorSize, Length, FAT_MIN_LENGTH, FAT_MAX_LENGTH,
                                          Label, &labelLength);
  if (!NT_SUCCESS(status)) return status;
  if (!Writer || !Writer->Store) return STATUS_INVALID_PARAMETER;

  FatGeometry g;
  status = FatComputeGeometry(Length, &g);
  if (!NT_SUCCESS(status)) return status;

  // One sector serves in turn as boot sector, first FAT sector and label.
  FormatBuffer sector;
  if (!sector.Allocate(512)) return STATUS_INSUFFICIENT_RESOURCES;

  PUCHAR b = sector.Data;
  auto *boot = reinterpret_cast<FatBootSector *>(b);
  FatBootLayout layout = {};
  layout.JumpOffset = 0x3C;
  layout.BytesPerSector = 512;
  layout.SectorsPerCluster = g.SectorsPerCluster;
  layout.ReservedSectors = FAT_RESERVED_SECTORS;
  layout.FatCount = 1;  // a single FAT
  layout.RootEntries = FAT_ROOT_ENTRIES;
  layout.TotalSectors = g.TotalSectors;
  layout.FatSectors16 = g.FatSectors;
  FatBootSectorInit(boot, layout);
  // Every FAT12/16 volume carries the same serial number and boot-sector
  // label, whatever the label asked for: intended, the label lives in the
  // root directory entry below.
  FatSetIdentity(&boot->Fat16.Identity, 0x00, 0x12345678, "Tavik      ",
                 g.FatBits == 12 ? "FAT12   " : "FAT16   ");
  status = SectorWriterTransfer(Writer, b, 512, 0, SECTOR_WRITER_WRITE);
  if (!NT_SUCCESS(status)) return status;

  // Media descriptor and end-of-chain in the two reserved entries; the
  // rest of the table reads as free.
  sector.Clear();
  b[0] = 0xF8;
  b[1] = 0xFF;
  b[2] = 0xFF;
  if (g.FatBits == 16) b[3] = 0xFF;
  status = SectorWriterTransfer(Writer, b, 512, 512ull * FAT_RESERVED_SECTORS,
                                SECTOR_WRITER_WRITE);
  if (!NT_SUCCESS(status)) return status;

  sector.Clear();
  FormatBuildLabelEntry(b, Label, labelLength);
  return SectorWriterTransfer(Writer, b, FORMAT_LABEL_ENTRY_SIZE,
                              512ull * (FAT_RESERVED_SECTORS + g.FatSectors),
                              SECTOR_WRITER_WRITE);
}
