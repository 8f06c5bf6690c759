// Size rules of the FAT formatters, kept apart from the writing so that they
// can be checked over whole ranges of sizes.
#pragma once

#include "kernel-support/kernel.h"

// FAT12/FAT16: one reserved sector, one FAT, 32 root-directory sectors.
constexpr ULONG FAT_RESERVED_SECTORS = 1;
constexpr ULONG FAT_ROOT_ENTRIES = 512;
constexpr ULONG FAT_ROOT_SECTORS = 32;
constexpr ULONG FAT_FIXED_SECTORS = FAT_RESERVED_SECTORS + FAT_ROOT_SECTORS;
constexpr ULONGLONG FAT_MIN_LENGTH = 1536;
constexpr ULONGLONG FAT_MAX_LENGTH = 0x80000000ull;
// Cluster counts that every reader takes for the same FAT type. Readers
// draw the FAT12 line anywhere from 4084 to 4086 clusters, and some name
// 65524 clusters neither FAT16 nor FAT32; FAT16 cluster numbers must stay
// below 0xFFF7.
constexpr ULONG FAT12_MAX_CLUSTERS = 4083;
constexpr ULONG FAT16_MIN_CLUSTERS = 4087;
constexpr ULONG FAT16_MAX_CLUSTERS = 65523;

struct FatGeometry {
  ULONG TotalSectors;       // S
  ULONG SectorsPerCluster;
  ULONG EntryEstimate;      // N: estimated FAT entries, the two reserved included
  ULONG FatSectors;         // F: written to the boot sector
  ULONG Clusters;           // data clusters behind the root directory
  UCHAR FatBits;            // 12 or 16
};

// Geometry of a FAT12/FAT16 volume of Length bytes in 512-byte sectors
// (Length already checked against the range bounds and the sector size).
// Ranges of 34 sectors or fewer leave no data cluster beyond the fixed area
// and the FAT, and are refused with STATUS_INVALID_PARAMETER.
NTSTATUS FatComputeGeometry(ULONGLONG Length, FatGeometry *Geometry);
// Sectors per cluster for a FAT12/FAT16 volume of Length bytes.
ULONG FatSectorsPerCluster(ULONGLONG Length);

// FAT32: 32 reserved sectors, two FATs, the root directory in cluster 2.
constexpr ULONG FAT32_RESERVED_SECTORS = 32;
constexpr ULONG FAT32_FSINFO_SECTOR = 1;
constexpr ULONG FAT32_BACKUP_BOOT_SECTOR = 6;
constexpr ULONG FAT32_BACKUP_FSINFO_SECTOR = 7;
constexpr ULONGLONG FAT32_MIN_LENGTH = 0x2000000ull;        // 32 MiB
constexpr ULONGLONG FAT32_MAX_LENGTH = 0x20000000000ull;    // 2 TiB
constexpr ULONG FAT32_MIN_CLUSTERS = 65536;
constexpr ULONG FAT32_MAX_CLUSTERS = 0x0FFFFFFF;

struct Fat32Geometry {
  ULONG TotalSectors;       // T
  ULONG SectorsPerCluster;
  ULONG FatSectors;         // F, per FAT
  ULONG Clusters;           // K
  ULONG FirstDataSector;    // D = 32 + 2F, cluster 2 (root directory)
};

// Cluster size and sector count of a FAT32 range; STATUS_INVALID_PARAMETER
// when the sector count is out of range.
NTSTATUS Fat32CheckSize(ULONG SectorSize, ULONGLONG Length, ULONG *SectorsPerCluster,
                        ULONG *TotalSectors);
// FAT size and cluster count; STATUS_INVALID_PARAMETER when the clusters
// are too few (or too many) for FAT32.
NTSTATUS Fat32ComputeLayout(ULONG SectorSize, ULONG TotalSectors, ULONG SectorsPerCluster,
                            Fat32Geometry *Geometry);
