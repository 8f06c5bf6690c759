// MFT records and the attributes in them, written field by field.
#pragma once

#include "engine/format/ntfs/ntfs_geometry.h"
#include "engine/format/ntfs/ntfs_writer.h"

// A name converted from 8-bit text to UTF-16.
constexpr ULONG NTFS_MAX_NAME_CHARS = 255;
constexpr ULONG NTFS_MAX_ATTRIBUTE_NAME_CHARS = 127;
struct NtfsName {
  ULONG Chars;
  WCHAR Text[NTFS_MAX_NAME_CHARS + 1];
};

// Converts Text (null = empty); more than MaxChars characters give
// STATUS_OBJECT_NAME_INVALID.
NTSTATUS NtfsMakeName(PCSTR Text, ULONG MaxChars, NtfsName *Name);
NTSTATUS NtfsAppendName(NtfsWriter *Writer, const NtfsName &Name);

// Byte offset of an MFT record slot, and of its copy in $MFTMirr.
ULONGLONG NtfsRecordOffset(const NtfsGeometry *Geometry, ULONG Number);
ULONGLONG NtfsMirrorRecordOffset(const NtfsGeometry *Geometry, ULONG Number);

struct NtfsRecordHeader {
  USHORT Sequence;
  USHORT Links;
  USHORT Flags;
  USHORT NextAttributeId;
  ULONG Number;  // the record-number field
};

// Writes the header of the record at Base; the position is left at the
// first attribute.
NTSTATUS NtfsBeginRecord(NtfsWriter *Writer, ULONGLONG Base, const NtfsRecordHeader &Header);
// Writes the end marker at the position and the bytes-in-use field.
NTSTATUS NtfsEndRecord(NtfsWriter *Writer, ULONGLONG Base);

// Resident attribute length and value offset for a name and value size.
ULONG NtfsResidentLength(ULONG NameChars, ULONG ValueLength);
ULONG NtfsResidentValueOffset(ULONG NameChars);

// Writes the header and name of a resident attribute at the position and
// leaves the position at its value; *End receives where the attribute ends.
NTSTATUS NtfsBeginResident(NtfsWriter *Writer, ULONG Type, PCSTR Name, USHORT Id, ULONG ValueLength,
                           ULONGLONG *End);
// Pads what is left of the attribute with zeros; the position moves to End.
NTSTATUS NtfsEndAttribute(NtfsWriter *Writer, ULONGLONG End);
// A whole resident attribute whose value is given as bytes.
NTSTATUS NtfsWriteResident(NtfsWriter *Writer, ULONG Type, PCSTR Name, USHORT Id, const VOID *Value,
                           ULONG ValueLength);

struct NtfsNonResidentStream {
  ULONG Type;
  PCSTR Name;  // null for an unnamed stream
  USHORT Id;
  NtfsExtent Run;
  BOOLEAN Sparse;  // a run with no clusters behind it
  ULONGLONG DataSize;
  ULONGLONG InitializedSize;
};

// Length of a non-resident attribute; RunListBytes includes the terminator.
ULONG NtfsNonResidentLength(ULONG NameChars, ULONG RunListBytes);

// Writes a non-resident attribute with one run at the position and marks
// its clusters in the cluster bitmap (a sparse run marks none).
NTSTATUS NtfsWriteNonResident(NtfsWriter *Writer, NtfsGeometry *Geometry,
                              const NtfsNonResidentStream &Stream);

// Writes every slot of the MFT as a free record.
NTSTATUS NtfsWriteEmptySlots(NtfsWriter *Writer, const NtfsGeometry *Geometry);
