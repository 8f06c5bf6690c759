// The NTFS formatter's streaming writer: every field goes to the volume at
// an explicit byte offset of the range; there is no in-memory image of a
// record. Fields that follow each other on the volume may be combined into
// one transfer through a small staging buffer: thousands of two- and
// four-byte requests would otherwise dominate a format.
#pragma once

#include "engine/format/formatters.h"

typedef NTSTATUS (*NTFS_TRANSFER_ROUTINE)(SectorWriter *Writer, PVOID Buffer, ULONG Length,
                                          ULONGLONG Offset, UCHAR Mode);

struct NtfsWriter {
  ULONG SectorSize;
  NTFS_TRANSFER_ROUTINE Transfer;  // write (mode 0) or read (mode 1)
  SectorWriter *Target;
  ULONGLONG Size;      // formatted size after rounding to whole clusters
  PCSTR Label;         // never null; empty when the volume has no label
  ULONGLONG Position;  // just past the last field written
  // The first failure. Once set, every later transfer is skipped and
  // returns it, so a format stops at its first failing write even when a
  // builder goes on issuing fields.
  NTSTATUS Status;
  // Write combining (optional): bytes staged for [StageOffset,
  // StageOffset + StageLength), sent when a field lands elsewhere, before
  // any read and on NtfsFlush.
  PUCHAR Stage;
  ULONG StageCapacity;
  ULONGLONG StageOffset;
  ULONG StageLength;
};

// Records Status as the writer's failure unless one is already recorded;
// returns the recorded failure.
inline NTSTATUS NtfsFail(NtfsWriter *Writer, NTSTATUS Status) {
  if (NT_SUCCESS(Writer->Status)) Writer->Status = Status;
  return Writer->Status;
}

VOID NtfsWriterInit(NtfsWriter *Writer, ULONG SectorSize, SectorWriter *Target, ULONGLONG Size,
                    PCSTR Label);

// Lets the writer combine adjacent fields in Buffer (Capacity bytes). The
// caller flushes before it frees the buffer.
VOID NtfsWriterSetStage(NtfsWriter *Writer, PUCHAR Buffer, ULONG Capacity);
// Sends what is staged.
NTSTATUS NtfsFlush(NtfsWriter *Writer);

// Writes Length bytes at Offset; the position moves just past them.
NTSTATUS NtfsPutBytes(NtfsWriter *Writer, ULONGLONG Offset, const VOID *Data, ULONG Length);
// Little-endian fields of 1, 2, 4 and 8 bytes.
NTSTATUS NtfsPut8(NtfsWriter *Writer, ULONGLONG Offset, UCHAR Value);
NTSTATUS NtfsPut16(NtfsWriter *Writer, ULONGLONG Offset, USHORT Value);
NTSTATUS NtfsPut32(NtfsWriter *Writer, ULONGLONG Offset, ULONG Value);
NTSTATUS NtfsPut64(NtfsWriter *Writer, ULONGLONG Offset, ULONGLONG Value);
// Length zero bytes.
NTSTATUS NtfsPutZeros(NtfsWriter *Writer, ULONGLONG Offset, ULONG Length);
// Reads Length bytes at Offset (the fixup pass reads sector-end words back).
NTSTATUS NtfsGetBytes(NtfsWriter *Writer, ULONGLONG Offset, VOID *Buffer, ULONG Length);

// The same, at the current position.
inline NTSTATUS NtfsAppendBytes(NtfsWriter *Writer, const VOID *Data, ULONG Length) {
  return NtfsPutBytes(Writer, Writer->Position, Data, Length);
}
inline NTSTATUS NtfsAppend8(NtfsWriter *Writer, UCHAR Value) {
  return NtfsPut8(Writer, Writer->Position, Value);
}
inline NTSTATUS NtfsAppend16(NtfsWriter *Writer, USHORT Value) {
  return NtfsPut16(Writer, Writer->Position, Value);
}
inline NTSTATUS NtfsAppend32(NtfsWriter *Writer, ULONG Value) {
  return NtfsPut32(Writer, Writer->Position, Value);
}
inline NTSTATUS NtfsAppend64(NtfsWriter *Writer, ULONGLONG Value) {
  return NtfsPut64(Writer, Writer->Position, Value);
}
inline NTSTATUS NtfsAppendZeros(NtfsWriter *Writer, ULONG Length) {
  return NtfsPutZeros(Writer, Writer->Position, Length);
}
