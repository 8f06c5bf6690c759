// Helpers shared by the formatters.
#pragma once

#include "engine/format/formatters.h"
#include "kernel-support/ks_alloc.h"

constexpr ULONG FORMAT_POOL_TAG = KS_TAG_FORMAT;  // "Xfmt"

// Sector sizes above 512 are not supported by the formatters.
constexpr NTSTATUS FORMAT_STATUS_SECTOR_SIZE_INVALID = static_cast<NTSTATUS>(0xC0380015u);

constexpr ULONG FORMAT_LABEL_LENGTH = 11;
// Size of the volume-label directory entry the formatters write: name,
// attribute and the zeroed fields up to the first cluster.
constexpr ULONG FORMAT_LABEL_ENTRY_SIZE = 23;
constexpr UCHAR FAT_ATTRIBUTE_VOLUME_ID = 0x08;

// A pool buffer owned by one formatter call; freed when it goes out of scope
// so that every return path releases it.
class FormatBuffer {
 public:
  FormatBuffer() = default;
  FormatBuffer(const FormatBuffer &) = delete;
  FormatBuffer &operator=(const FormatBuffer &) = delete;
  ~FormatBuffer() { KsFree(&Data); }

  // Allocates Size zeroed bytes; FALSE when pool is short.
  BOOLEAN Allocate(SIZE_T Size) {
    KsFree(&Data);
    Data = static_cast<PUCHAR>(KsAllocate(Size, FORMAT_POOL_TAG));
    if (!Data) return FALSE;
    RtlZeroMemory(Data, Size);
    Length = Size;
    return TRUE;
  }
  VOID Clear() { RtlZeroMemory(Data, Length); }

  PUCHAR Data = nullptr;
  SIZE_T Length = 0;
};

inline VOID FormatPut16(PUCHAR Where, ULONG Value) {
  Where[0] = static_cast<UCHAR>(Value);
  Where[1] = static_cast<UCHAR>(Value >> 8);
}

inline VOID FormatPut32(PUCHAR Where, ULONG Value) {
  for (ULONG i = 0; i < 4; ++i) Where[i] = static_cast<UCHAR>(Value >> (8 * i));
}

inline VOID FormatPutText(PUCHAR Where, PCSTR Text, ULONG Length) {
  RtlCopyMemory(Where, Text, Length);
}

// Length of a label that fits the 11-character field: FALSE when there is
// no NUL among its first 12 bytes. A missing label is the empty one.
inline BOOLEAN FormatLabelLength(PCSTR Label, ULONG *Length) {
  *Length = 0;
  if (!Label) return TRUE;
  for (ULONG i = 0; i <= FORMAT_LABEL_LENGTH; ++i) {
    if (Label[i] == '\0') {
      *Length = i;
      return TRUE;
    }
  }
  return FALSE;
}

// The checks every FAT formatter makes, in their order: sector size, range
// bounds (inclusive), range multiple of the sector size, label, and finally
// the sector sizes the formatters can lay out (512 only).
inline NTSTATUS FormatCheckParameters(ULONG SectorSize, ULONGLONG Length, ULONGLONG MinLength,
                                      ULONGLONG MaxLength, PCSTR Label, ULONG *LabelLength) {
  if (SectorSize == 0) return STATUS_INVALID_PARAMETER;
  if (Length < MinLength || Length > MaxLength) return STATUS_INVALID_PARAMETER;
  if (Length % SectorSize != 0) return STATUS_INVALID_PARAMETER;
  if (!FormatLabelLength(Label, LabelLength)) return STATUS_INVALID_PARAMETER;
  if (SectorSize > 512) return FORMAT_STATUS_SECTOR_SIZE_INVALID;
  if (SectorSize % 512 != 0) return STATUS_DATATYPE_MISALIGNMENT_ERROR;
  return STATUS_SUCCESS;
}

// The 23-byte volume-label directory entry: the name padded with spaces,
// the volume-ID attribute, the rest zero.
inline VOID FormatBuildLabelEntry(PUCHAR Entry, PCSTR Label, ULONG LabelLength) {
  RtlZeroMemory(Entry, FORMAT_LABEL_ENTRY_SIZE);
  if (LabelLength) {
    RtlFillMemory(Entry, FORMAT_LABEL_LENGTH, ' ');
    RtlCopyMemory(Entry, Label, LabelLength);
  }
  Entry[11] = FAT_ATTRIBUTE_VOLUME_ID;
}
