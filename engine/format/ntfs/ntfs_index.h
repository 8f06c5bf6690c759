// Index roots and index entries: the directory indexes and the view
// indexes of $Secure, $Quota, $ObjId and $Reparse.
#pragma once

#include "engine/format/ntfs/ntfs_values.h"

constexpr ULONG NTFS_INDEX_ROOT_HEADERS = 32;  // root header and index header
constexpr ULONG NTFS_INDEX_ENTRY_HEADER = 16;
constexpr ULONG NTFS_LAST_ENTRY_BYTES = 16;
constexpr ULONG NTFS_LAST_NODE_ENTRY_BYTES = 24;

// Writes the root header and the index header of an $INDEX_ROOT value whose
// entries take EntryBytes.
NTSTATUS NtfsAppendIndexRootHeader(NtfsWriter *Writer, const NtfsGeometry *Geometry,
                                   ULONG IndexedType, ULONG Collation, ULONG EntryBytes,
                                   ULONG HeaderFlags);

// Length of a directory entry keyed by a file name of NameChars characters.
ULONG NtfsFileNameEntryLength(ULONG NameChars);
// A directory entry for the file FileReference, keyed by its $FILE_NAME value.
NTSTATUS NtfsAppendFileNameEntry(NtfsWriter *Writer, const NtfsGeometry *Geometry,
                                 ULONGLONG FileReference, const NtfsFileNameInfo &Info);

// The 16-byte header of a view-index entry; key and data are written after it.
NTSTATUS NtfsAppendViewEntryHeader(NtfsWriter *Writer, USHORT DataOffset, USHORT DataLength,
                                   USHORT EntryLength, USHORT KeyLength);

// The closing entry; with SubNode it points at index block VCN 0.
NTSTATUS NtfsAppendLastEntry(NtfsWriter *Writer, BOOLEAN SubNode);
