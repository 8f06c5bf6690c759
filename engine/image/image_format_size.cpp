// Whether a size suits a file system, decided before anything is written.
#include "engine/format/fat/fat_geometry.h"
#include "engine/format/formatters.h"
#include "engine/image/image_requests.h"
#include "engine/format/ntfs/ntfs_geometry.h"

namespace {

BOOLEAN FatFits(ULONGLONG Length) {
  if (Length < FAT_MIN_LENGTH || Length > FAT_MAX_LENGTH || Length % 512 != 0) return FALSE;
  FatGeometry geometry;
  return NT_SUCCESS(FatComputeGeometry(Length, &geometry));
}

BOOLEAN Fat32Fits(ULONGLONG Length) {
  if (Length < FAT32_MIN_LENGTH || Length > FAT32_MAX_LENGTH || Length % 512 != 0) return FALSE;
  ULONG sectorsPerCluster = 0;
  ULONG totalSectors = 0;
  if (!NT_SUCCESS(Fat32CheckSize(512, Length, &sectorsPerCluster, &totalSectors))) return FALSE;
  Fat32Geometry geometry;
  return NT_SUCCESS(Fat32ComputeLayout(512, totalSectors, sectorsPerCluster, &geometry));
}

BOOLEAN NtfsFits(ULONGLONG Length) {
  NtfsGeometry geometry;
  return NT_SUCCESS(NtfsComputeGeometry(512, Length, "", &geometry));
}

}  // namespace

NTSTATUS ImageCheckFormatSize(ULONG FileSystem, ULONGLONG Length) {
  BOOLEAN fits;
  switch (FileSystem) {
    case fsRAW:
      fits = TRUE;
      break;
    case fsFAT:
      fits = FatFits(Length);
      break;
    case fsFAT32:
      // Formatting falls back to FAT12/FAT16 when FAT32 does not fit.
      fits = Fat32Fits(Length) || FatFits(Length);
      break;
    case fsNTFS:
      fits = NtfsFits(Length);
      break;
    default:
      return STATUS_INVALID_PARAMETER;
  }
  return fits ? STATUS_SUCCESS : STATUS_IMPLEMENTATION_LIMIT;
}
