// $Extend and the files in it: $Quota, $ObjId and $Reparse.
#include "engine/format/ntfs/ntfs_security.h"
#include "engine/format/ntfs/ntfs_types.h"

namespace {

constexpr ULONG EXTEND_CHILD_ATTRIBUTES = NTFS_FILE_HIDDEN_SYSTEM_ARCHIVE | NTFS_FILE_VIEW_INDEX;
constexpr USHORT EXTEND_CHILD_FLAGS =
    NTFS_RECORD_IN_USE | NTFS_RECORD_IN_EXTEND | NTFS_RECORD_VIEW_INDEX;
constexpr USHORT EXTEND_CHILD_SEQUENCE = 1;

struct ExtendChild {
  PCSTR Name;
  ULONG Number;
};

// In the order of $Extend's index.
const ExtendChild gChildren[] = {
    {"$ObjId", NTFS_RECORD_OBJID},
    {"$Quota", NTFS_RECORD_QUOTA},
    {"$Reparse", NTFS_RECORD_REPARSE},
};

NtfsFileNameInfo ChildFileName(PCSTR Name) {
  return NtfsFileNameInfo{NTFS_EXTEND_REFERENCE, Name, 0, 0, EXTEND_CHILD_ATTRIBUTES};
}

// Header, standard information and file name shared by the three children.
VOID BeginChild(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base, ULONG Number,
                PCSTR Name, USHORT NextId) {
  NtfsBeginRecord(Writer, Base,
                  NtfsRecordHeader{EXTEND_CHILD_SEQUENCE, 1, EXTEND_CHILD_FLAGS, NextId, Number});
  NtfsWriteStandardInformation(Writer, Geometry, 0, NtfsStandardLong, EXTEND_CHILD_ATTRIBUTES,
                               NTFS_SECURITY_ID_DIRECTORIES);
  NtfsWriteFileName(Writer, Geometry, 1, ChildFileName(Name));
}

// A resident view-index root whose entries take EntryBytes (closing entry
// included); returns where the attribute ends.
ULONGLONG BeginViewRoot(NtfsWriter *Writer, const NtfsGeometry *Geometry, PCSTR Name, USHORT Id,
                        ULONG Collation, ULONG EntryBytes) {
  ULONGLONG end = 0;
  NtfsBeginResident(Writer, NTFS_AT_INDEX_ROOT, Name, Id, NTFS_INDEX_ROOT_HEADERS + EntryBytes,
                    &end);
  NtfsAppendIndexRootHeader(Writer, Geometry, 0, Collation, EntryBytes, 0);
  return end;
}

// One quota entry; the owner of the administrators also carries their SID.
constexpr LONGLONG QUOTA_CHANGE_TIME = 0x01CAA1F7DC63C300;
VOID AppendQuotaEntry(NtfsWriter *Writer, ULONG OwnerId, const NtfsSid *Sid) {
  USHORT dataLength = static_cast<USHORT>(48 + (Sid ? NtfsSidLength(*Sid) : 0));
  USHORT entryLength = static_cast<USHORT>((20 + dataLength + 7) & ~7u);
  ULONGLONG start = Writer->Position;
  NtfsAppendViewEntryHeader(Writer, 20, dataLength, entryLength, 4);
  NtfsAppend32(Writer, OwnerId);
  NtfsAppend32(Writer, 2);  // version
  NtfsAppend32(Writer, 1);  // flags: default limits
  NtfsAppend64(Writer, 0);  // bytes used
  NtfsAppend64(Writer, QUOTA_CHANGE_TIME);
  NtfsAppend64(Writer, ~0ULL);  // threshold
  NtfsAppend64(Writer, ~0ULL);  // limit
  NtfsAppend64(Writer, 0);      // exceeded time
  if (Sid) NtfsAppendSid(Writer, *Sid);
  NtfsPutZeros(Writer, Writer->Position,
               static_cast<ULONG>(start + entryLength - Writer->Position));
}

}  // namespace

NTSTATUS NtfsWriteExtendRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base) {
  NtfsBeginRecord(
      Writer, Base,
      NtfsRecordHeader{NTFS_RECORD_EXTEND, 1, NTFS_RECORD_IN_USE | NTFS_RECORD_DIRECTORY, 3,
                       NTFS_RECORD_EXTEND});
  NtfsWriteStandardInformation(Writer, Geometry, 0, NtfsStandardLong, NTFS_FILE_HIDDEN_SYSTEM,
                               NTFS_SECURITY_ID_DIRECTORIES);
  NtfsWriteFileName(Writer, Geometry, 1, NtfsSystemFileName(Geometry, NTFS_RECORD_EXTEND));
  ULONG entries = NTFS_LAST_ENTRY_BYTES;
  for (const ExtendChild &child : gChildren) {
    NtfsName name;
    NTSTATUS status = NtfsMakeName(child.Name, NTFS_MAX_NAME_CHARS, &name);
    if (!NT_SUCCESS(status)) return NtfsFail(Writer, status);
    entries += NtfsFileNameEntryLength(name.Chars);
  }
  ULONGLONG end = 0;
  NtfsBeginResident(Writer, NTFS_AT_INDEX_ROOT, "$I30", 2, NTFS_INDEX_ROOT_HEADERS + entries, &end);
  NtfsAppendIndexRootHeader(Writer, Geometry, NTFS_AT_FILE_NAME, NTFS_COLLATION_FILE_NAME, entries,
                            0);
  for (const ExtendChild &child : gChildren) {
    NtfsAppendFileNameEntry(Writer, Geometry,
                            NtfsFileReference(child.Number, EXTEND_CHILD_SEQUENCE),
                            ChildFileName(child.Name));
  }
  NtfsAppendLastEntry(Writer, FALSE);
  NtfsEndAttribute(Writer, end);
  return NtfsEndRecord(Writer, Base);
}

NTSTATUS NtfsWriteQuotaRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base) {
  BeginChild(Writer, Geometry, Base, NTFS_RECORD_QUOTA, "$Quota", 4);
  // $O: owner ids by SID.
  ULONGLONG end =
      BeginViewRoot(Writer, Geometry, "$O", 3, NTFS_COLLATION_SID, 40 + NTFS_LAST_ENTRY_BYTES);
  NtfsAppendViewEntryHeader(Writer, 32, 4, 40, 16);
  NtfsAppendSid(Writer, NtfsSidAdministrators);
  NtfsAppend32(Writer, 256);
  NtfsAppend32(Writer, 0);
  NtfsAppendLastEntry(Writer, FALSE);
  NtfsEndAttribute(Writer, end);
  // $Q: quota entries by owner id.
  end = BeginViewRoot(Writer, Geometry, "$Q", 2, NTFS_COLLATION_ULONG,
                      72 + 88 + NTFS_LAST_ENTRY_BYTES);
  AppendQuotaEntry(Writer, 1, nullptr);
  AppendQuotaEntry(Writer, 256, &NtfsSidAdministrators);
  NtfsAppendLastEntry(Writer, FALSE);
  NtfsEndAttribute(Writer, end);
  return NtfsEndRecord(Writer, Base);
}

NTSTATUS NtfsWriteObjIdRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base) {
  BeginChild(Writer, Geometry, Base, NTFS_RECORD_OBJID, "$ObjId", 3);
  // $O: the volume's own object id.
  ULONGLONG end =
      BeginViewRoot(Writer, Geometry, "$O", 2, NTFS_COLLATION_ULONGS, 88 + NTFS_LAST_ENTRY_BYTES);
  NtfsAppendViewEntryHeader(Writer, 32, 56, 88, 16);
  NtfsAppendBytes(Writer, Geometry->VolumeGuid, sizeof(Geometry->VolumeGuid));
  NtfsAppend64(Writer, NtfsFileReference(NTFS_RECORD_VOLUME, NTFS_RECORD_VOLUME));
  NtfsAppendZeros(Writer, 48);  // birth volume, birth object and domain ids
  NtfsAppendLastEntry(Writer, FALSE);
  NtfsEndAttribute(Writer, end);
  return NtfsEndRecord(Writer, Base);
}

NTSTATUS NtfsWriteReparseRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base) {
  BeginChild(Writer, Geometry, Base, NTFS_RECORD_REPARSE, "$Reparse", 3);
  ULONGLONG end =
      BeginViewRoot(Writer, Geometry, "$R", 2, NTFS_COLLATION_ULONGS, NTFS_LAST_ENTRY_BYTES);
  NtfsAppendLastEntry(Writer, FALSE);
  NtfsEndAttribute(Writer, end);
  return NtfsEndRecord(Writer, Base);
}
