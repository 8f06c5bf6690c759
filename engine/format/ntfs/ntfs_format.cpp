// FormatNtfs: a fresh NTFS 3.1 volume over a byte range.
#include "engine/format/format_internal.h"
#include "kernel-support/ks_random.h"
#include "engine/format/ntfs/ntfs_boot.h"
#include "engine/format/ntfs/ntfs_files.h"
#include "engine/format/ntfs/ntfs_fixup.h"
#include "engine/format/ntfs/ntfs_types.h"
#include "engine/format/ntfs/ntfs_upcase.h"

namespace {

// One buffer serves the boot sector, the $UpCase table and the log-file fill.
constexpr ULONG SCRATCH_BYTES = NTFS_UPCASE_BYTES;
constexpr ULONG MAX_TRANSFER = 0x40000000;
// Adjacent fields are combined up to a page.
constexpr ULONG STAGE_BYTES = 4096;

NTSTATUS WriteMetadataRecords(NtfsWriter *Writer, NtfsGeometry *Geometry) {
  for (ULONG number = NTFS_RECORD_MFT; number <= NTFS_RECORD_EXTEND; ++number) {
    NtfsWriteRecord(Writer, Geometry, number, NtfsRecordOffset(Geometry, number));
    if (number == NTFS_RECORD_ATTRDEF) NtfsWriteAttrDefTable(Writer, Geometry);
  }
  for (ULONG number = NTFS_RECORD_EXTEND + 1; number < NTFS_METADATA_RECORDS; ++number) {
    NtfsWritePlaceholderRecord(Writer, Geometry, number, NtfsRecordOffset(Geometry, number));
  }
  for (ULONG number = NTFS_RECORD_QUOTA; number <= NTFS_RECORD_REPARSE; ++number) {
    NtfsWriteRecord(Writer, Geometry, number, NtfsRecordOffset(Geometry, number));
  }
  return Writer->Status;
}

NTSTATUS WriteClusterBitmap(NtfsWriter *Writer, const NtfsGeometry *Geometry) {
  ULONGLONG base = NtfsExtentOffset(Geometry, Geometry->Bitmap);
  for (ULONGLONG done = 0; done < Geometry->BitmapBytes && NT_SUCCESS(Writer->Status);) {
    ULONGLONG left = Geometry->BitmapBytes - done;
    ULONG chunk = left < MAX_TRANSFER ? static_cast<ULONG>(left) : MAX_TRANSFER;
    NtfsPutBytes(Writer, base + done, Geometry->ClusterBitmap + done, chunk);
    done += chunk;
  }
  return Writer->Status;
}

// Records 0..15 and 24..26 are in use; 16..23 stay free for the system.
NTSTATUS WriteMftRecordBitmap(NtfsWriter *Writer, const NtfsGeometry *Geometry) {
  return NtfsPut32(Writer, NtfsExtentOffset(Geometry, Geometry->MftBitmap), 0x0700FFFF);
}

NTSTATUS WriteUpcaseTable(NtfsWriter *Writer, const NtfsGeometry *Geometry, PUCHAR Scratch) {
  NtfsBuildUpcaseTable(reinterpret_cast<USHORT *>(Scratch));
  return NtfsPutBytes(Writer, NtfsExtentOffset(Geometry, Geometry->UpCase), Scratch,
                      NTFS_UPCASE_BYTES);
}

// An empty log: every byte 0xFF, no restart area.
NTSTATUS FillLogFile(NtfsWriter *Writer, const NtfsGeometry *Geometry, PUCHAR Scratch) {
  RtlFillMemory(Scratch, SCRATCH_BYTES, 0xFF);
  ULONGLONG base = NtfsExtentOffset(Geometry, Geometry->LogFile);
  ULONGLONG bytes = NtfsExtentBytes(Geometry, Geometry->LogFile);
  for (ULONGLONG done = 0; done < bytes && NT_SUCCESS(Writer->Status);) {
    ULONGLONG left = bytes - done;
    ULONG chunk = left < SCRATCH_BYTES ? static_cast<ULONG>(left) : SCRATCH_BYTES;
    NtfsPutBytes(Writer, base + done, Scratch, chunk);
    done += chunk;
  }
  return Writer->Status;
}

NTSTATUS WriteMirrorRecords(NtfsWriter *Writer, NtfsGeometry *Geometry) {
  for (ULONG number = 0; number < NTFS_MIRROR_RECORDS; ++number) {
    NtfsWriteRecord(Writer, Geometry, number, NtfsMirrorRecordOffset(Geometry, number));
  }
  return Writer->Status;
}

// Every write of a format in its order; the writer's status stops the
// sequence at the first failure.
NTSTATUS WriteVolume(NtfsWriter *Writer, NtfsGeometry *Geometry, PUCHAR Scratch) {
  NtfsWriteBootSectors(Writer, Geometry, Scratch);
  if (!NT_SUCCESS(Writer->Status)) return Writer->Status;

  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  Geometry->FormatTime = static_cast<ULONGLONG>(now.QuadPart);
  GUID guid;
  NewRandomGuid(&guid);
  static_assert(sizeof(guid) == sizeof(Geometry->VolumeGuid), "a GUID is 16 bytes");
  RtlCopyMemory(Geometry->VolumeGuid, &guid, sizeof(guid));

  NtfsWriteEmptySlots(Writer, Geometry);
  WriteMetadataRecords(Writer, Geometry);
  WriteClusterBitmap(Writer, Geometry);
  WriteMftRecordBitmap(Writer, Geometry);
  WriteUpcaseTable(Writer, Geometry, Scratch);
  NtfsWriteRootIndexBlock(Writer, Geometry);
  FillLogFile(Writer, Geometry, Scratch);
  WriteMirrorRecords(Writer, Geometry);
  NtfsApplyFixups(Writer, Geometry);
  NtfsWriteRootSecurityStream(Writer, Geometry);
  NtfsWriteSdsStream(Writer, Geometry);
  return NtfsFlush(Writer);
}

}  // namespace

NTSTATUS FormatNtfs(ULONG SectorSize, SectorWriter *Writer, ULONGLONG Length, PCSTR Label) {
  if (!Writer) return STATUS_INVALID_PARAMETER;
  if (!Label) Label = "";
  NtfsGeometry geometry;
  NTSTATUS status = NtfsComputeGeometry(SectorSize, Length, Label, &geometry);
  if (!NT_SUCCESS(status)) return status;

  status = NtfsAllocateClusterBitmap(&geometry);
  if (!NT_SUCCESS(status)) return status;
  FormatBuffer scratch;
  FormatBuffer stage;
  if (!scratch.Allocate(SCRATCH_BYTES) || !stage.Allocate(STAGE_BYTES)) {
    NtfsFreeClusterBitmap(&geometry);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NtfsWriter writer;
  NtfsWriterInit(&writer, SectorSize, Writer, geometry.VolumeSize, Label);
  NtfsWriterSetStage(&writer, stage.Data, STAGE_BYTES);
  status = WriteVolume(&writer, &geometry, scratch.Data);
  NtfsFreeClusterBitmap(&geometry);
  return status;
}
