#include "engine/format/ntfs/ntfs_fixup.h"

#include "engine/format/ntfs/ntfs_record.h"
#include "engine/format/ntfs/ntfs_types.h"

namespace {

constexpr ULONG RECORD_ARRAY_OFFSET = 48;
constexpr ULONG INDEX_BLOCK_ARRAY_OFFSET = 40;

}  // namespace

NTSTATUS NtfsProtect(NtfsWriter *Writer, ULONGLONG Base, ULONG ArrayOffset, ULONG Strides) {
  // The stride ends are read first, then the whole array is written in one
  // run, then the sequence number over each stride end.
  UCHAR saved[2 * (NTFS_INDEX_BLOCK_SIZE / NTFS_FIXUP_STRIDE)] = {};
  if (Strides > sizeof(saved) / 2) return NtfsFail(Writer, STATUS_INVALID_PARAMETER);
  for (ULONG j = 1; j <= Strides; ++j) {
    NtfsGetBytes(Writer, Base + static_cast<ULONGLONG>(NTFS_FIXUP_STRIDE) * j - 2,
                 saved + 2 * (j - 1), 2);
  }
  NtfsPut16(Writer, Base + ArrayOffset, NTFS_UPDATE_SEQUENCE_NUMBER);
  NtfsAppendBytes(Writer, saved, 2 * Strides);
  for (ULONG j = 1; j <= Strides; ++j) {
    NtfsPut16(Writer, Base + static_cast<ULONGLONG>(NTFS_FIXUP_STRIDE) * j - 2,
              NTFS_UPDATE_SEQUENCE_NUMBER);
  }
  return Writer->Status;
}

NTSTATUS NtfsApplyFixups(NtfsWriter *Writer, const NtfsGeometry *Geometry) {
  const ULONG recordStrides = NTFS_MFT_RECORD_SIZE / NTFS_FIXUP_STRIDE;
  for (ULONG number = 0; number < NTFS_METADATA_RECORDS; ++number) {
    NtfsProtect(Writer, NtfsRecordOffset(Geometry, number), RECORD_ARRAY_OFFSET, recordStrides);
  }
  for (ULONG number = 0; number < NTFS_MIRROR_RECORDS; ++number) {
    NtfsProtect(Writer, NtfsMirrorRecordOffset(Geometry, number), RECORD_ARRAY_OFFSET,
                recordStrides);
  }
  ULONGLONG index = NtfsExtentOffset(Geometry, Geometry->RootIndex);
  NtfsProtect(Writer, index, INDEX_BLOCK_ARRAY_OFFSET, NTFS_INDEX_BLOCK_SIZE / NTFS_FIXUP_STRIDE);
  // The unused rest of the allocation gets the sequence number at every
  // stride end as well.
  ULONGLONG end = index + NtfsExtentBytes(Geometry, Geometry->RootIndex);
  for (ULONGLONG stride = index + NTFS_INDEX_BLOCK_SIZE; stride < end && NT_SUCCESS(Writer->Status);
       stride += NTFS_FIXUP_STRIDE) {
    NtfsPut16(Writer, stride + NTFS_FIXUP_STRIDE - 2, NTFS_UPDATE_SEQUENCE_NUMBER);
  }
  return Writer->Status;
}
