// The root directory: its record, its first index block and its security
// descriptor stream.
#include "engine/format/ntfs/ntfs_security.h"
#include "engine/format/ntfs/ntfs_types.h"

namespace {

constexpr ULONG INDEX_BLOCK_USA_OFFSET = 40;
constexpr ULONG INDEX_BLOCK_USA_ENTRIES = 1 + NTFS_INDEX_BLOCK_SIZE / NTFS_FIXUP_STRIDE;
constexpr ULONG INDEX_BLOCK_HEADER = 24;  // offsets of the index header count from here
constexpr ULONG INDEX_BLOCK_ENTRIES = 64;

// The root lists the metadata files sorted by upper-cased name; "." sorts
// after every "$" name.
const ULONG gRootEntries[] = {
    NTFS_RECORD_ATTRDEF, NTFS_RECORD_BADCLUS, NTFS_RECORD_BITMAP, NTFS_RECORD_BOOT,
    NTFS_RECORD_EXTEND,  NTFS_RECORD_LOGFILE, NTFS_RECORD_MFT,    NTFS_RECORD_MFTMIRR,
    NTFS_RECORD_SECURE,  NTFS_RECORD_UPCASE,  NTFS_RECORD_VOLUME, NTFS_RECORD_ROOT,
};

ULONG RootEntryBytes(const NtfsGeometry *Geometry) {
  ULONG bytes = 0;
  for (ULONG number : gRootEntries) {
    NtfsName name;
    if (!NT_SUCCESS(
            NtfsMakeName(NtfsSystemFileName(Geometry, number).Name, NTFS_MAX_NAME_CHARS, &name))) {
      return 0;
    }
    bytes += NtfsFileNameEntryLength(name.Chars);
  }
  return bytes + NTFS_LAST_ENTRY_BYTES;
}

}  // namespace

NTSTATUS NtfsWriteRootRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base) {
  NtfsBeginRecord(Writer, Base,
                  NtfsRecordHeader{NTFS_RECORD_ROOT, 1, NTFS_RECORD_IN_USE | NTFS_RECORD_DIRECTORY,
                                   6, NTFS_RECORD_ROOT});
  NtfsWriteStandardInformation(Writer, Geometry, 0, NtfsStandardShort,
                               NTFS_FILE_HIDDEN_SYSTEM_ARCHIVE, 0);
  NtfsWriteFileName(Writer, Geometry, 1, NtfsSystemFileName(Geometry, NTFS_RECORD_ROOT));
  NtfsWriteNonResident(
      Writer, Geometry,
      NtfsNonResidentStream{NTFS_AT_SECURITY_DESCRIPTOR, nullptr, 2, Geometry->RootSecurity, FALSE,
                            NTFS_ROOT_SECURITY_BYTES, NTFS_ROOT_SECURITY_BYTES});
  // The root's entries live in the index block; the root only points there.
  ULONGLONG end = 0;
  NtfsBeginResident(Writer, NTFS_AT_INDEX_ROOT, "$I30", 3,
                    NTFS_INDEX_ROOT_HEADERS + NTFS_LAST_NODE_ENTRY_BYTES, &end);
  NtfsAppendIndexRootHeader(Writer, Geometry, NTFS_AT_FILE_NAME, NTFS_COLLATION_FILE_NAME,
                            NTFS_LAST_NODE_ENTRY_BYTES, NTFS_INDEX_LARGE);
  NtfsAppendLastEntry(Writer, TRUE);
  NtfsEndAttribute(Writer, end);
  ULONGLONG allocation = NtfsExtentBytes(Geometry, Geometry->RootIndex);
  NtfsWriteNonResident(Writer, Geometry,
                       NtfsNonResidentStream{NTFS_AT_INDEX_ALLOCATION, "$I30", 5,
                                             Geometry->RootIndex, FALSE, allocation, allocation});
  // Only the first index block is in use.
  const UCHAR blocksInUse[8] = {1, 0, 0, 0, 0, 0, 0, 0};
  NtfsWriteResident(Writer, NTFS_AT_BITMAP, "$I30", 4, blocksInUse, sizeof(blocksInUse));
  return NtfsEndRecord(Writer, Base);
}

NTSTATUS NtfsWriteRootIndexBlock(NtfsWriter *Writer, const NtfsGeometry *Geometry) {
  ULONGLONG base = NtfsExtentOffset(Geometry, Geometry->RootIndex);
  ULONG entryBytes = RootEntryBytes(Geometry);
  if (entryBytes == 0) return NtfsFail(Writer, STATUS_INTERNAL_ERROR);
  NtfsPutBytes(Writer, base, "INDX", 4);
  NtfsAppend16(Writer, INDEX_BLOCK_USA_OFFSET);
  NtfsAppend16(Writer, INDEX_BLOCK_USA_ENTRIES);
  NtfsAppend64(Writer, 0);  // log sequence number
  NtfsAppend64(Writer, 0);  // VCN of this block
  NtfsAppend32(Writer, INDEX_BLOCK_ENTRIES - INDEX_BLOCK_HEADER);
  NtfsAppend32(Writer, INDEX_BLOCK_ENTRIES - INDEX_BLOCK_HEADER + entryBytes);
  NtfsAppend32(Writer, NTFS_INDEX_BLOCK_SIZE - INDEX_BLOCK_HEADER);
  NtfsAppend32(Writer, 0);  // a leaf
  // The update-sequence array is filled by the fixup pass.
  NtfsAppendZeros(Writer, INDEX_BLOCK_ENTRIES - INDEX_BLOCK_USA_OFFSET);
  for (ULONG number : gRootEntries) {
    NtfsAppendFileNameEntry(Writer, Geometry,
                            NtfsFileReference(number, NtfsSystemFileSequence(number)),
                            NtfsSystemFileName(Geometry, number));
  }
  return NtfsAppendLastEntry(Writer, FALSE);
}

NTSTATUS NtfsWriteRootSecurityStream(NtfsWriter *Writer, const NtfsGeometry *Geometry) {
  Writer->Position = NtfsExtentOffset(Geometry, Geometry->RootSecurity);
  return NtfsAppendDescriptor(Writer, NtfsDescriptorRoot);
}
