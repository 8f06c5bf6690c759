#include "engine/format/ntfs/ntfs_record.h"

#include "engine/format/ntfs/ntfs_runlist.h"
#include "engine/format/ntfs/ntfs_types.h"

namespace {

constexpr ULONG RECORD_USA_OFFSET = 48;
constexpr ULONG RECORD_USA_ENTRIES = 1 + NTFS_MFT_RECORD_SIZE / NTFS_FIXUP_STRIDE;
constexpr ULONG RECORD_FIRST_ATTRIBUTE = 56;
constexpr ULONG RESIDENT_HEADER = 24;
constexpr ULONG NON_RESIDENT_HEADER = 64;

ULONG RoundUp8(ULONG Value) {
  return (Value + 7) & ~7u;
}

// Type, length, non-resident flag, name length, name offset, flags and id:
// the part both attribute forms share.
NTSTATUS AppendCommonHeader(NtfsWriter *Writer, ULONG Type, ULONG Length, UCHAR NonResident,
                            ULONG NameChars, USHORT NameOffset, USHORT Id) {
  NtfsAppend32(Writer, Type);
  NtfsAppend32(Writer, Length);
  NtfsAppend8(Writer, NonResident);
  NtfsAppend8(Writer, static_cast<UCHAR>(NameChars));
  NtfsAppend16(Writer, NameOffset);
  NtfsAppend16(Writer, 0);
  return NtfsAppend16(Writer, Id);
}

}  // namespace

NTSTATUS NtfsMakeName(PCSTR Text, ULONG MaxChars, NtfsName *Name) {
  if (!Text) Text = "";
  ULONG chars = 0;
  while (Text[chars] != '\0') {
    if (++chars > MaxChars || chars > NTFS_MAX_NAME_CHARS) return STATUS_OBJECT_NAME_INVALID;
  }
  ANSI_STRING ansi;
  ansi.Buffer = const_cast<PCHAR>(Text);
  ansi.Length = static_cast<USHORT>(chars);
  ansi.MaximumLength = static_cast<USHORT>(chars);
  UNICODE_STRING unicode;
  unicode.Buffer = Name->Text;
  unicode.Length = 0;
  unicode.MaximumLength = sizeof(Name->Text);
  NTSTATUS status = RtlAnsiStringToUnicodeString(&unicode, &ansi, FALSE);
  if (!NT_SUCCESS(status)) return status;
  Name->Chars = unicode.Length / sizeof(WCHAR);
  return STATUS_SUCCESS;
}

NTSTATUS NtfsAppendName(NtfsWriter *Writer, const NtfsName &Name) {
  // UTF-16LE on disk; WCHAR is little-endian on every target.
  return NtfsAppendBytes(Writer, Name.Text, Name.Chars * sizeof(WCHAR));
}

ULONGLONG NtfsRecordOffset(const NtfsGeometry *Geometry, ULONG Number) {
  return NtfsExtentOffset(Geometry, Geometry->Mft) +
         static_cast<ULONGLONG>(Number) * NTFS_MFT_RECORD_SIZE;
}

ULONGLONG NtfsMirrorRecordOffset(const NtfsGeometry *Geometry, ULONG Number) {
  return NtfsExtentOffset(Geometry, Geometry->MftMirr) +
         static_cast<ULONGLONG>(Number) * NTFS_MFT_RECORD_SIZE;
}

NTSTATUS NtfsBeginRecord(NtfsWriter *Writer, ULONGLONG Base, const NtfsRecordHeader &Header) {
  // Every header byte in order, so that the record streams out in one piece.
  NtfsPutBytes(Writer, Base, "FILE", 4);
  NtfsAppend16(Writer, RECORD_USA_OFFSET);
  NtfsAppend16(Writer, RECORD_USA_ENTRIES);
  NtfsAppend64(Writer, 0);  // log sequence number
  NtfsAppend16(Writer, Header.Sequence);
  NtfsAppend16(Writer, Header.Links);
  NtfsAppend16(Writer, RECORD_FIRST_ATTRIBUTE);
  NtfsAppend16(Writer, Header.Flags);
  NtfsAppend32(Writer, 0);  // bytes in use, set by NtfsEndRecord
  NtfsAppend32(Writer, NTFS_MFT_RECORD_SIZE);
  NtfsAppend64(Writer, 0);  // base record
  NtfsAppend16(Writer, Header.NextAttributeId);
  NtfsAppend16(Writer, 0);
  NtfsAppend32(Writer, Header.Number);
  // The update-sequence array is filled by the fixup pass.
  return NtfsAppendZeros(Writer, RECORD_FIRST_ATTRIBUTE - RECORD_USA_OFFSET);
}

NTSTATUS NtfsEndRecord(NtfsWriter *Writer, ULONGLONG Base) {
  ULONG end = static_cast<ULONG>(Writer->Position - Base);
  NtfsAppend32(Writer, NTFS_ATTRIBUTE_END);
  return NtfsPut32(Writer, Base + 24, (end + 4 + 7) & ~7u);
}

ULONG NtfsResidentValueOffset(ULONG NameChars) {
  return (2 * NameChars + 31) & ~7u;
}

ULONG NtfsResidentLength(ULONG NameChars, ULONG ValueLength) {
  return ((2 * NameChars + ((ValueLength + 7) | 7)) & ~7u) + RESIDENT_HEADER;
}

NTSTATUS NtfsBeginResident(NtfsWriter *Writer, ULONG Type, PCSTR Name, USHORT Id, ULONG ValueLength,
                           ULONGLONG *End) {
  NtfsName name;
  NTSTATUS status = NtfsMakeName(Name, NTFS_MAX_ATTRIBUTE_NAME_CHARS, &name);
  if (!NT_SUCCESS(status)) return NtfsFail(Writer, status);
  ULONGLONG start = Writer->Position;
  ULONG valueOffset = NtfsResidentValueOffset(name.Chars);
  *End = start + NtfsResidentLength(name.Chars, ValueLength);
  AppendCommonHeader(Writer, Type, static_cast<ULONG>(*End - start), 0, name.Chars, RESIDENT_HEADER,
                     Id);
  NtfsAppend32(Writer, ValueLength);
  NtfsAppend16(Writer, static_cast<USHORT>(valueOffset));
  NtfsAppend8(Writer, Type == NTFS_AT_FILE_NAME ? 1 : 0);
  NtfsAppend8(Writer, 0);
  NtfsAppendName(Writer, name);
  return NtfsPutZeros(Writer, Writer->Position,
                      static_cast<ULONG>(start + valueOffset - Writer->Position));
}

NTSTATUS NtfsEndAttribute(NtfsWriter *Writer, ULONGLONG End) {
  if (Writer->Position > End) {
    // A value overran its declared length: a builder fault, never on disk.
    return NtfsFail(Writer, STATUS_INTERNAL_ERROR);
  }
  return NtfsPutZeros(Writer, Writer->Position, static_cast<ULONG>(End - Writer->Position));
}

NTSTATUS NtfsWriteResident(NtfsWriter *Writer, ULONG Type, PCSTR Name, USHORT Id, const VOID *Value,
                           ULONG ValueLength) {
  ULONGLONG end = 0;
  NTSTATUS status = NtfsBeginResident(Writer, Type, Name, Id, ValueLength, &end);
  if (!NT_SUCCESS(status)) return status;
  if (ValueLength > 0) NtfsAppendBytes(Writer, Value, ValueLength);
  return NtfsEndAttribute(Writer, end);
}

ULONG NtfsNonResidentLength(ULONG NameChars, ULONG RunListBytes) {
  // Room for the run list in whole 8-byte units: one unit holds every run
  // of volumes up to a few TiB, larger ones need a second.
  ULONG runArea = RoundUp8(RunListBytes < 8 ? 8 : RunListBytes);
  return ((2 * NameChars + 71) & ~7u) + runArea;
}

NTSTATUS NtfsWriteNonResident(NtfsWriter *Writer, NtfsGeometry *Geometry,
                              const NtfsNonResidentStream &Stream) {
  NtfsName name;
  NTSTATUS status = NtfsMakeName(Stream.Name, NTFS_MAX_ATTRIBUTE_NAME_CHARS, &name);
  if (!NT_SUCCESS(status)) return NtfsFail(Writer, status);
  UCHAR runs[NTFS_MAX_RUN_LIST_BYTES];
  ULONG runBytes = NtfsEncodeRunList(Stream.Run.Lcn, Stream.Run.Clusters, Stream.Sparse, runs);
  ULONGLONG start = Writer->Position;
  ULONG runOffset = (2 * name.Chars + 71) & ~7u;
  ULONG length = NtfsNonResidentLength(name.Chars, runBytes);
  AppendCommonHeader(Writer, Stream.Type, length, 1, name.Chars, NON_RESIDENT_HEADER, Stream.Id);
  NtfsAppend64(Writer, 0);                        // first VCN
  NtfsAppend64(Writer, Stream.Run.Clusters - 1);  // last VCN
  NtfsAppend16(Writer, static_cast<USHORT>(runOffset));
  NtfsAppend16(Writer, 0);  // compression unit
  NtfsAppend32(Writer, 0);
  NtfsAppend64(Writer, NtfsExtentBytes(Geometry, Stream.Run));
  NtfsAppend64(Writer, Stream.DataSize);
  NtfsAppend64(Writer, Stream.InitializedSize);
  NtfsAppendName(Writer, name);
  NtfsPutZeros(Writer, Writer->Position, static_cast<ULONG>(start + runOffset - Writer->Position));
  NtfsAppendBytes(Writer, runs, runBytes);
  status = NtfsEndAttribute(Writer, start + length);
  if (NT_SUCCESS(status) && !Stream.Sparse) {
    NtfsMarkClusters(Geometry, Stream.Run.Lcn, Stream.Run.Clusters);
  }
  return status;
}

NTSTATUS NtfsWriteEmptySlots(NtfsWriter *Writer, const NtfsGeometry *Geometry) {
  ULONG slots = static_cast<ULONG>(Geometry->MftDataSize / NTFS_MFT_RECORD_SIZE);
  for (ULONG number = 0; number < slots && NT_SUCCESS(Writer->Status); ++number) {
    ULONGLONG base = NtfsRecordOffset(Geometry, number);
    NtfsBeginRecord(Writer, base, NtfsRecordHeader{1, 0, 0, 0, number});
    NtfsEndRecord(Writer, base);
    // The rest of the slot too, so that the slots stream out together.
    NtfsPutZeros(Writer, base + RECORD_FIRST_ATTRIBUTE + 4,
                 NTFS_MFT_RECORD_SIZE - RECORD_FIRST_ATTRIBUTE - 4);
  }
  return Writer->Status;
}
