#include "engine/format/ntfs/ntfs_boot.h"

#include "engine/format/format_internal.h"
#include "engine/format/ntfs/ntfs_types.h"

namespace {

VOID Put64(PUCHAR Where, ULONGLONG Value) {
  for (ULONG i = 0; i < 8; ++i) Where[i] = static_cast<UCHAR>(Value >> (8 * i));
}

}  // namespace

VOID NtfsBuildBootSector(const NtfsGeometry *Geometry, PUCHAR Sector) {
  ULONG ss = Geometry->SectorSize;
  RtlZeroMemory(Sector, ss);
  Sector[0] = 0xEB;
  Sector[1] = 0x52;
  Sector[2] = 0x90;
  FormatPutText(Sector + 0x03, "NTFS    ", 8);
  FormatPut16(Sector + 0x0B, ss);
  Sector[0x0D] = Geometry->SectorsPerCluster;
  Sector[0x15] = 0xF8;  // fixed disk
  // The last sector holds the backup and is not part of the volume proper.
  Put64(Sector + 0x28, Geometry->VolumeSize / ss - 1);
  Put64(Sector + 0x30, Geometry->Mft.Lcn);
  Put64(Sector + 0x38, Geometry->MftMirr.Lcn);
  Sector[0x40] = Geometry->MftRecordCode;
  Sector[0x44] = Geometry->IndexBlockCode;
  Put64(Sector + 0x48, NTFS_VOLUME_SERIAL);
  Sector[0x1FE] = 0x55;
  Sector[0x1FF] = 0xAA;
  Sector[ss - 2] = 0x55;
  Sector[ss - 1] = 0xAA;
}

NTSTATUS NtfsWriteBootSectors(NtfsWriter *Writer, const NtfsGeometry *Geometry, PUCHAR Sector) {
  NtfsBuildBootSector(Geometry, Sector);
  NtfsPutBytes(Writer, 0, Sector, Geometry->SectorSize);
  return NtfsPutBytes(Writer, Geometry->VolumeSize - Geometry->SectorSize, Sector,
                      Geometry->SectorSize);
}
