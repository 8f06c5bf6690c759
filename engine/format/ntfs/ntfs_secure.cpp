// $Secure: the shared descriptors in $SDS and the $SDH and $SII indexes.
#include "engine/format/ntfs/ntfs_security.h"
#include "engine/format/ntfs/ntfs_types.h"

namespace {

constexpr ULONG SDS_ENTRY_HEADER = 20;
constexpr ULONG SDS_COPY_BYTES = 512;

struct SdsEntry {
  ULONG Hash;
  ULONG SecurityId;
  ULONG Offset;  // within $SDS
  NtfsDescriptorKind Kind;
};

const SdsEntry gSdsEntries[] = {
    {NTFS_HASH_FILES, NTFS_SECURITY_ID_FILES, 0, NtfsDescriptorFiles},
    {NTFS_HASH_DIRECTORIES, NTFS_SECURITY_ID_DIRECTORIES, 128, NtfsDescriptorDirectories},
};

ULONG EntryLength(const SdsEntry &Entry) {
  return SDS_ENTRY_HEADER + NtfsDescriptorLength(Entry.Kind);
}

// Hash, security id, offset and length: the header of an $SDS entry and the
// data of its $SDH and $SII entries.
VOID AppendSdsHeader(NtfsWriter *Writer, const SdsEntry &Entry) {
  NtfsAppend32(Writer, Entry.Hash);
  NtfsAppend32(Writer, Entry.SecurityId);
  NtfsAppend64(Writer, Entry.Offset);
  NtfsAppend32(Writer, EntryLength(Entry));
}

// $SDH: keyed by hash and security id, ordered by hash.
constexpr USHORT SDH_ENTRY_BYTES = 48;
NTSTATUS WriteSdhRoot(NtfsWriter *Writer, const NtfsGeometry *Geometry) {
  const SdsEntry *order[] = {&gSdsEntries[1], &gSdsEntries[0]};
  ULONG entries = 2 * SDH_ENTRY_BYTES + NTFS_LAST_ENTRY_BYTES;
  ULONGLONG end = 0;
  NtfsBeginResident(Writer, NTFS_AT_INDEX_ROOT, "$SDH", 4, NTFS_INDEX_ROOT_HEADERS + entries, &end);
  NtfsAppendIndexRootHeader(Writer, Geometry, 0, NTFS_COLLATION_SECURITY_HASH, entries, 0);
  for (const SdsEntry *entry : order) {
    NtfsAppendViewEntryHeader(Writer, 24, 20, SDH_ENTRY_BYTES, 8);
    NtfsAppend32(Writer, entry->Hash);
    NtfsAppend32(Writer, entry->SecurityId);
    AppendSdsHeader(Writer, *entry);
    NtfsAppendBytes(Writer, KS_WSTR("II"), 4);  // padding, as the index has always had it
  }
  NtfsAppendLastEntry(Writer, FALSE);
  return NtfsEndAttribute(Writer, end);
}

// $SII: keyed by security id.
constexpr USHORT SII_ENTRY_BYTES = 40;
NTSTATUS WriteSiiRoot(NtfsWriter *Writer, const NtfsGeometry *Geometry) {
  ULONG entries = 2 * SII_ENTRY_BYTES + NTFS_LAST_ENTRY_BYTES;
  ULONGLONG end = 0;
  NtfsBeginResident(Writer, NTFS_AT_INDEX_ROOT, "$SII", 5, NTFS_INDEX_ROOT_HEADERS + entries, &end);
  NtfsAppendIndexRootHeader(Writer, Geometry, 0, NTFS_COLLATION_ULONG, entries, 0);
  for (const SdsEntry &entry : gSdsEntries) {
    NtfsAppendViewEntryHeader(Writer, 20, 20, SII_ENTRY_BYTES, 4);
    NtfsAppend32(Writer, entry.SecurityId);
    AppendSdsHeader(Writer, entry);
  }
  NtfsAppendLastEntry(Writer, FALSE);
  return NtfsEndAttribute(Writer, end);
}

}  // namespace

NTSTATUS NtfsWriteSecureRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base) {
  NtfsBeginRecord(
      Writer, Base,
      NtfsRecordHeader{NTFS_RECORD_SECURE, 1, NTFS_RECORD_IN_USE | NTFS_RECORD_VIEW_INDEX, 7,
                       NTFS_RECORD_SECURE});
  NtfsWriteStandardInformation(Writer, Geometry, 0, NtfsStandardLong,
                               NTFS_FILE_HIDDEN_SYSTEM | NTFS_FILE_VIEW_INDEX,
                               NTFS_SECURITY_ID_DIRECTORIES);
  NtfsWriteFileName(Writer, Geometry, 1, NtfsSystemFileName(Geometry, NTFS_RECORD_SECURE));
  NtfsWriteNonResident(Writer, Geometry,
                       NtfsNonResidentStream{NTFS_AT_DATA, "$SDS", 2, Geometry->Sds, FALSE,
                                             NTFS_SDS_DATA_SIZE, NTFS_SDS_DATA_SIZE});
  WriteSdhRoot(Writer, Geometry);
  WriteSiiRoot(Writer, Geometry);
  return NtfsEndRecord(Writer, Base);
}

NTSTATUS NtfsWriteSdsStream(NtfsWriter *Writer, const NtfsGeometry *Geometry) {
  // The first block and its mirror 256 KiB further on.
  const ULONG copies[] = {0, NTFS_SDS_MIRROR_OFFSET};
  for (ULONG copy : copies) {
    ULONGLONG base = NtfsExtentOffset(Geometry, Geometry->Sds) + copy;
    for (const SdsEntry &entry : gSdsEntries) {
      Writer->Position = base + entry.Offset;
      AppendSdsHeader(Writer, entry);
      NtfsAppendDescriptor(Writer, entry.Kind);
      // Entries start on 16-byte boundaries.
      NtfsAppendZeros(Writer, (16 - EntryLength(entry) % 16) % 16);
    }
    NtfsPutZeros(Writer, Writer->Position,
                 static_cast<ULONG>(base + SDS_COPY_BYTES - Writer->Position));
  }
  return Writer->Status;
}
