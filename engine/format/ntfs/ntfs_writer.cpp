#include "engine/format/ntfs/ntfs_writer.h"

namespace {

const UCHAR gZeros[64] = {};

NTSTATUS NtfsSend(NtfsWriter *Writer, ULONGLONG Offset, VOID *Buffer, ULONG Length, UCHAR Mode) {
  NTSTATUS status = Writer->Transfer(Writer->Target, Buffer, Length, Offset, Mode);
  return NT_SUCCESS(status) ? STATUS_SUCCESS : NtfsFail(Writer, status);
}

// Takes a small write into the staging buffer when it extends or falls
// within what is staged; otherwise sends what is staged and starts anew.
NTSTATUS NtfsStage(NtfsWriter *Writer, ULONGLONG Offset, const VOID *Buffer, ULONG Length) {
  ULONGLONG start = Writer->StageOffset;
  bool joins = Writer->StageLength != 0 && Offset >= start &&
               Offset <= start + Writer->StageLength &&
               Offset + Length <= start + Writer->StageCapacity;
  if (!joins) {
    if (!NT_SUCCESS(NtfsFlush(Writer))) return Writer->Status;
    Writer->StageOffset = start = Offset;
  }
  ULONG at = static_cast<ULONG>(Offset - start);
  RtlCopyMemory(Writer->Stage + at, Buffer, Length);
  if (at + Length > Writer->StageLength) Writer->StageLength = at + Length;
  return STATUS_SUCCESS;
}

NTSTATUS NtfsTransfer(NtfsWriter *Writer, ULONGLONG Offset, VOID *Buffer, ULONG Length,
                      UCHAR Mode) {
  if (!NT_SUCCESS(Writer->Status)) return Writer->Status;
  // Nothing outside the formatted range is ever touched.
  if (Offset > Writer->Size || Length > Writer->Size - Offset) {
    return NtfsFail(Writer, STATUS_INVALID_PARAMETER);
  }
  NTSTATUS status;
  if (Mode == SECTOR_WRITER_WRITE && Writer->Stage && Length < Writer->StageCapacity) {
    status = NtfsStage(Writer, Offset, Buffer, Length);
  } else {
    // Reads must see every staged byte; large blocks go out on their own.
    status = NtfsFlush(Writer);
    if (NT_SUCCESS(status)) status = NtfsSend(Writer, Offset, Buffer, Length, Mode);
  }
  if (NT_SUCCESS(status)) Writer->Position = Offset + Length;
  return status;
}

template <typename T>
NTSTATUS NtfsPutValue(NtfsWriter *Writer, ULONGLONG Offset, T Value) {
  UCHAR bytes[sizeof(T)];
  for (ULONG i = 0; i < sizeof(T); ++i) {
    bytes[i] = static_cast<UCHAR>(Value >> (8 * i));
  }
  return NtfsTransfer(Writer, Offset, bytes, sizeof(T), SECTOR_WRITER_WRITE);
}

}  // namespace

VOID NtfsWriterInit(NtfsWriter *Writer, ULONG SectorSize, SectorWriter *Target, ULONGLONG Size,
                    PCSTR Label) {
  Writer->SectorSize = SectorSize;
  Writer->Transfer = SectorWriterTransfer;
  Writer->Target = Target;
  Writer->Size = Size;
  Writer->Label = Label ? Label : "";
  Writer->Position = 0;
  Writer->Status = STATUS_SUCCESS;
  Writer->Stage = nullptr;
  Writer->StageCapacity = 0;
  Writer->StageOffset = 0;
  Writer->StageLength = 0;
}

VOID NtfsWriterSetStage(NtfsWriter *Writer, PUCHAR Buffer, ULONG Capacity) {
  Writer->Stage = Buffer;
  Writer->StageCapacity = Buffer ? Capacity : 0;
  Writer->StageLength = 0;
}

NTSTATUS NtfsFlush(NtfsWriter *Writer) {
  if (!NT_SUCCESS(Writer->Status)) return Writer->Status;
  if (Writer->StageLength == 0) return STATUS_SUCCESS;
  ULONG length = Writer->StageLength;
  Writer->StageLength = 0;
  return NtfsSend(Writer, Writer->StageOffset, Writer->Stage, length, SECTOR_WRITER_WRITE);
}

NTSTATUS NtfsPutBytes(NtfsWriter *Writer, ULONGLONG Offset, const VOID *Data, ULONG Length) {
  return NtfsTransfer(Writer, Offset, const_cast<VOID *>(Data), Length, SECTOR_WRITER_WRITE);
}

NTSTATUS NtfsPut8(NtfsWriter *Writer, ULONGLONG Offset, UCHAR Value) {
  return NtfsPutValue(Writer, Offset, Value);
}

NTSTATUS NtfsPut16(NtfsWriter *Writer, ULONGLONG Offset, USHORT Value) {
  return NtfsPutValue(Writer, Offset, Value);
}

NTSTATUS NtfsPut32(NtfsWriter *Writer, ULONGLONG Offset, ULONG Value) {
  return NtfsPutValue(Writer, Offset, Value);
}

NTSTATUS NtfsPut64(NtfsWriter *Writer, ULONGLONG Offset, ULONGLONG Value) {
  return NtfsPutValue(Writer, Offset, Value);
}

NTSTATUS NtfsPutZeros(NtfsWriter *Writer, ULONGLONG Offset, ULONG Length) {
  NTSTATUS status = NT_SUCCESS(Writer->Status) ? STATUS_SUCCESS : Writer->Status;
  Writer->Position = Offset;
  while (Length > 0 && NT_SUCCESS(status)) {
    ULONG chunk = Length < sizeof(gZeros) ? Length : sizeof(gZeros);
    status = NtfsTransfer(Writer, Writer->Position, const_cast<UCHAR *>(gZeros), chunk,
                          SECTOR_WRITER_WRITE);
    Length -= chunk;
  }
  return status;
}

NTSTATUS NtfsGetBytes(NtfsWriter *Writer, ULONGLONG Offset, VOID *Buffer, ULONG Length) {
  return NtfsTransfer(Writer, Offset, Buffer, Length, SECTOR_WRITER_READ);
}
