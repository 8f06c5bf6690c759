#include "engine/format/ntfs/ntfs_index.h"

#include "engine/format/ntfs/ntfs_types.h"

NTSTATUS NtfsAppendIndexRootHeader(NtfsWriter *Writer, const NtfsGeometry *Geometry,
                                   ULONG IndexedType, ULONG Collation, ULONG EntryBytes,
                                   ULONG HeaderFlags) {
  NtfsAppend32(Writer, IndexedType);
  NtfsAppend32(Writer, Collation);
  NtfsAppend32(Writer, Geometry->IndexBlockSize);
  NtfsAppend8(Writer, Geometry->ClustersPerIndexBlock);
  NtfsAppendZeros(Writer, 3);
  // Index header: offsets count from the header itself.
  ULONG length = 16 + EntryBytes;
  NtfsAppend32(Writer, 16);
  NtfsAppend32(Writer, length);
  NtfsAppend32(Writer, length);
  return NtfsAppend32(Writer, HeaderFlags);
}

ULONG NtfsFileNameEntryLength(ULONG NameChars) {
  return (NTFS_INDEX_ENTRY_HEADER + NtfsFileNameValueLength(NameChars) + 7) & ~7u;
}

NTSTATUS NtfsAppendFileNameEntry(NtfsWriter *Writer, const NtfsGeometry *Geometry,
                                 ULONGLONG FileReference, const NtfsFileNameInfo &Info) {
  NtfsName name;
  NTSTATUS status = NtfsMakeName(Info.Name, NTFS_MAX_NAME_CHARS, &name);
  if (!NT_SUCCESS(status)) return NtfsFail(Writer, status);
  ULONGLONG start = Writer->Position;
  ULONG length = NtfsFileNameEntryLength(name.Chars);
  NtfsAppend64(Writer, FileReference);
  NtfsAppend16(Writer, static_cast<USHORT>(length));
  NtfsAppend16(Writer, static_cast<USHORT>(NtfsFileNameValueLength(name.Chars)));
  NtfsAppend32(Writer, 0);
  NtfsAppendFileNameValue(Writer, Geometry, Info, name);
  return NtfsPutZeros(Writer, Writer->Position,
                      static_cast<ULONG>(start + length - Writer->Position));
}

NTSTATUS NtfsAppendViewEntryHeader(NtfsWriter *Writer, USHORT DataOffset, USHORT DataLength,
                                   USHORT EntryLength, USHORT KeyLength) {
  NtfsAppend16(Writer, DataOffset);
  NtfsAppend16(Writer, DataLength);
  NtfsAppend32(Writer, 0);
  NtfsAppend16(Writer, EntryLength);
  NtfsAppend16(Writer, KeyLength);
  return NtfsAppend32(Writer, 0);
}

NTSTATUS NtfsAppendLastEntry(NtfsWriter *Writer, BOOLEAN SubNode) {
  NtfsAppend64(Writer, 0);
  NtfsAppend16(Writer,
               static_cast<USHORT>(SubNode ? NTFS_LAST_NODE_ENTRY_BYTES : NTFS_LAST_ENTRY_BYTES));
  NtfsAppend16(Writer, 0);
  NtfsAppend32(Writer,
               SubNode ? NTFS_INDEX_ENTRY_NODE | NTFS_INDEX_ENTRY_END : NTFS_INDEX_ENTRY_END);
  if (SubNode) NtfsAppend64(Writer, 0);  // VCN of the index block below
  return Writer->Status;
}
