#include "engine/format/ntfs/ntfs_geometry.h"

#include "engine/format/format_internal.h"
#include "engine/format/ntfs/ntfs_types.h"

namespace {

constexpr ULONGLONG TiB = 1ULL << 40;

ULONGLONG CeilDiv(ULONGLONG Value, ULONGLONG Divisor) {
  return (Value + Divisor - 1) / Divisor;
}

// True when Label has its terminating NUL among its first MaxChars + 1 bytes.
bool LabelFits(PCSTR Label, ULONG MaxChars) {
  for (ULONG i = 0; i <= MaxChars; ++i) {
    if (Label[i] == '\0') return true;
  }
  return false;
}

// Places Clusters clusters right behind the previous stream.
NtfsExtent Follow(const NtfsExtent &Previous, ULONGLONG Clusters) {
  return NtfsExtent{Previous.Lcn + Previous.Clusters, Clusters};
}

}  // namespace

NTSTATUS NtfsChooseClusterSize(ULONG SectorSize, ULONGLONG Length, ULONG *ClusterSize) {
  if (SectorSize > 4096) return FORMAT_STATUS_SECTOR_SIZE_INVALID;
  // A sector size that is not a power of two cannot divide a cluster.
  if (SectorSize < 512 || (SectorSize & (SectorSize - 1)) != 0) {
    return STATUS_DATATYPE_MISALIGNMENT_ERROR;
  }
  if (Length < NTFS_MIN_VOLUME_SIZE) return STATUS_INVALID_PARAMETER;
  if (Length <= 16 * TiB) {
    *ClusterSize = 4096;
  } else if (Length <= 32 * TiB) {
    *ClusterSize = 8192;
  } else if (Length <= 64 * TiB) {
    *ClusterSize = 16384;
  } else if (Length <= 128 * TiB) {
    *ClusterSize = 32768;
  } else {
    *ClusterSize = 65536;
  }
  return STATUS_SUCCESS;
}

NTSTATUS NtfsComputeGeometry(ULONG SectorSize, ULONGLONG Length, PCSTR Label,
                             NtfsGeometry *Geometry) {
  if (!Geometry) return STATUS_INVALID_PARAMETER;
  if (!Label) Label = "";
  if (SectorSize < 512 || SectorSize > 4096) return STATUS_INVALID_PARAMETER;
  if (Length < NTFS_MIN_VOLUME_SIZE || Length > NTFS_MAX_VOLUME_SIZE) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Length % SectorSize != 0) return STATUS_INVALID_PARAMETER;
  if (!LabelFits(Label, NTFS_MAX_LABEL_CHARS)) return STATUS_INVALID_PARAMETER;
  ULONG cs = 0;
  NTSTATUS status = NtfsChooseClusterSize(SectorSize, Length, &cs);
  if (!NT_SUCCESS(status)) return status;

  NtfsGeometry *g = Geometry;
  RtlZeroMemory(g, sizeof(*g));
  g->VolumeSize = Length / cs * cs;
  g->SectorSize = static_cast<USHORT>(SectorSize);
  g->SectorsPerCluster = static_cast<UCHAR>(cs / SectorSize);
  g->ClusterSize = cs;
  g->MftRecordCode =
      cs <= NTFS_MFT_RECORD_SIZE ? static_cast<UCHAR>(NTFS_MFT_RECORD_SIZE / cs) : 0xF6;
  g->IndexBlockCode =
      cs <= NTFS_INDEX_BLOCK_SIZE ? static_cast<UCHAR>(NTFS_INDEX_BLOCK_SIZE / cs) : 0xF4;
  g->Label = Label;
  g->IndexBlockSize = NTFS_INDEX_BLOCK_SIZE;
  g->ClustersPerIndexBlock = cs <= NTFS_INDEX_BLOCK_SIZE
                                 ? static_cast<UCHAR>(CeilDiv(NTFS_INDEX_BLOCK_SIZE, cs))
                                 : static_cast<UCHAR>(NTFS_INDEX_BLOCK_SIZE / 512);

  // The cluster holding the backup boot sector is left out of the bitmap.
  g->ManagedClusters = (g->VolumeSize - SectorSize) / cs;
  g->BitmapBytes = (CeilDiv(g->ManagedClusters, 8) + 7) / 8 * 8;

  ULONGLONG log = g->VolumeSize / 256 / cs;
  if (log * cs < NTFS_LOG_MIN_BYTES) log = NTFS_LOG_MIN_BYTES / cs;
  // The MFT record bitmap is sized for an MFT filling an eighth of the volume.
  ULONGLONG z = CeilDiv(g->VolumeSize / 8, cs);
  ULONGLONG mftBitmap = CeilDiv((z * cs + 1023) / 8192, cs);
  g->MftDataSize = cs > NTFS_MFT_MIN_BYTES ? cs : NTFS_MFT_MIN_BYTES;

  g->Boot = NtfsExtent{0, 2};
  g->MftMirr = Follow(g->Boot, CeilDiv(4096, cs));
  g->UpCase = Follow(g->MftMirr, NTFS_UPCASE_BYTES / cs);
  g->RootSecurity = Follow(g->UpCase, CeilDiv(8192, cs));
  g->RootIndex = Follow(g->RootSecurity, CeilDiv(8192, cs));
  g->LogFile = Follow(g->RootIndex, log);
  g->Sds = Follow(g->LogFile, CeilDiv(0x41000, cs));
  g->AttrDef = Follow(g->Sds, CeilDiv(NTFS_ATTRDEF_BYTES, cs));
  g->Bitmap = Follow(g->AttrDef, CeilDiv(g->BitmapBytes, cs));
  g->MftBitmap = Follow(g->Bitmap, mftBitmap);
  g->Mft = Follow(g->MftBitmap, CeilDiv(g->MftDataSize, cs));
  return STATUS_SUCCESS;
}

NTSTATUS NtfsAllocateClusterBitmap(NtfsGeometry *Geometry) {
  PUCHAR bitmap = static_cast<PUCHAR>(KsAllocate(Geometry->BitmapBytes, FORMAT_POOL_TAG));
  if (!bitmap) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(bitmap, Geometry->BitmapBytes);
  Geometry->ClusterBitmap = bitmap;
  // Bits past the last managed cluster read as used.
  NtfsMarkClusters(Geometry, Geometry->ManagedClusters,
                   Geometry->BitmapBytes * 8 - Geometry->ManagedClusters);
  return STATUS_SUCCESS;
}

VOID NtfsFreeClusterBitmap(NtfsGeometry *Geometry) {
  KsFree(&Geometry->ClusterBitmap);
}

VOID NtfsMarkClusters(NtfsGeometry *Geometry, ULONGLONG Lcn, ULONGLONG Count) {
  PUCHAR bitmap = Geometry->ClusterBitmap;
  ULONGLONG bits = Geometry->BitmapBytes * 8;
  if (!bitmap || Lcn >= bits) return;
  if (Count > bits - Lcn) Count = bits - Lcn;
  ULONGLONG end = Lcn + Count;
  // Single bits up to a byte boundary, whole bytes, then the tail.
  while (Lcn < end && (Lcn & 7) != 0) {
    bitmap[Lcn >> 3] |= static_cast<UCHAR>(1u << (Lcn & 7));
    ++Lcn;
  }
  if (end - Lcn >= 8) {
    ULONGLONG bytes = (end - Lcn) >> 3;
    RtlFillMemory(bitmap + (Lcn >> 3), bytes, 0xFF);
    Lcn += bytes << 3;
  }
  while (Lcn < end) {
    bitmap[Lcn >> 3] |= static_cast<UCHAR>(1u << (Lcn & 7));
    ++Lcn;
  }
}
