// Cluster geometry, the place of every metadata stream and the cluster
// bitmap of an NTFS volume being formatted.
#pragma once

#include "kernel-support/kernel.h"

// Where a metadata stream lies: its first cluster and its length in clusters.
struct NtfsExtent {
  ULONGLONG Lcn;
  ULONGLONG Clusters;
};

// Filled once per format and read by every metadata writer.
struct NtfsGeometry {
  ULONGLONG VolumeSize;  // V: the range rounded down to whole clusters
  USHORT SectorSize;
  UCHAR SectorsPerCluster;
  ULONG ClusterSize;
  UCHAR MftRecordCode;   // boot-sector code of the MFT record size
  UCHAR IndexBlockCode;  // boot-sector code of the index block size
  PCSTR Label;
  ULONGLONG FormatTime;  // every time stamp of every metadata file
  UCHAR VolumeGuid[16];
  ULONGLONG ManagedClusters;  // K: clusters the bitmap describes
  PUCHAR ClusterBitmap;
  ULONGLONG BitmapBytes;
  ULONG IndexBlockSize;
  UCHAR ClustersPerIndexBlock;  // in 512-byte units when a cluster exceeds a block

  NtfsExtent Boot;
  NtfsExtent MftMirr;
  NtfsExtent UpCase;
  NtfsExtent RootSecurity;
  NtfsExtent RootIndex;
  NtfsExtent LogFile;
  NtfsExtent Sds;
  NtfsExtent AttrDef;
  NtfsExtent Bitmap;
  NtfsExtent MftBitmap;
  NtfsExtent Mft;
  ULONGLONG MftDataSize;
};

// Cluster size for a range of Length bytes.
NTSTATUS NtfsChooseClusterSize(ULONG SectorSize, ULONGLONG Length, ULONG *ClusterSize);

// Checks the arguments of a format, chooses the cluster size and lays out
// the metadata. Nothing is allocated; the bitmap pointer stays null.
NTSTATUS NtfsComputeGeometry(ULONG SectorSize, ULONGLONG Length, PCSTR Label,
                             NtfsGeometry *Geometry);

// The cluster bitmap, with every bit past the last managed cluster set.
NTSTATUS NtfsAllocateClusterBitmap(NtfsGeometry *Geometry);
VOID NtfsFreeClusterBitmap(NtfsGeometry *Geometry);
// Marks Count clusters from Lcn as used.
VOID NtfsMarkClusters(NtfsGeometry *Geometry, ULONGLONG Lcn, ULONGLONG Count);

inline ULONGLONG NtfsExtentOffset(const NtfsGeometry *Geometry, const NtfsExtent &Extent) {
  return Extent.Lcn * Geometry->ClusterSize;
}
inline ULONGLONG NtfsExtentBytes(const NtfsGeometry *Geometry, const NtfsExtent &Extent) {
  return Extent.Clusters * Geometry->ClusterSize;
}
