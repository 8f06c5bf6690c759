// The $STANDARD_INFORMATION and $FILE_NAME values every metadata file has.
#pragma once

#include "engine/format/ntfs/ntfs_record.h"

// The 48-byte form has no security id; the 72-byte form carries one.
enum NtfsStandardInformationForm { NtfsStandardShort, NtfsStandardLong };

NTSTATUS NtfsWriteStandardInformation(NtfsWriter *Writer, const NtfsGeometry *Geometry, USHORT Id,
                                      NtfsStandardInformationForm Form, ULONG FileAttributes,
                                      ULONG SecurityId);

// What a $FILE_NAME value says about a file.
struct NtfsFileNameInfo {
  ULONGLONG Parent;  // file reference of the directory
  PCSTR Name;
  ULONGLONG Allocated;
  ULONGLONG DataSize;
  ULONG FileAttributes;
};

ULONG NtfsFileNameValueLength(ULONG NameChars);

// The value alone (also the key of directory index entries).
NTSTATUS NtfsAppendFileNameValue(NtfsWriter *Writer, const NtfsGeometry *Geometry,
                                 const NtfsFileNameInfo &Info, const NtfsName &Name);
// A resident $FILE_NAME attribute.
NTSTATUS NtfsWriteFileName(NtfsWriter *Writer, const NtfsGeometry *Geometry, USHORT Id,
                           const NtfsFileNameInfo &Info);
