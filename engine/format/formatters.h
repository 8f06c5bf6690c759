// The formatter's entry points.
#pragma once

#include "engine/format/format_store.h"
#include "kernel-support/kernel.h"

// File-system type codes.
enum FileSystemType : ULONG { fsRAW = 0, fsFAT = 1, fsFAT32 = 2, fsNTFS = 3 };

// Format flag: reset the whole range to zero before anything is written.
constexpr ULONG FORMAT_FLAG_ZERO_FILL = 0x1;

// The formatters' only way to reach the volume: a store and the byte offset
// of the formatted range within it.
struct SectorWriter {
  FormatStore *Store;
  ULONGLONG Base;
};

constexpr UCHAR SECTOR_WRITER_WRITE = 0;
constexpr UCHAR SECTOR_WRITER_READ = 1;

// Writes (mode 0) or reads (mode 1) Length bytes at Offset relative to the
// writer's base. Offsets are 64-bit: NTFS metadata of large volumes lies
// beyond 4 GiB.
NTSTATUS SectorWriterTransfer(SectorWriter *Writer, PVOID Buffer, ULONG Length, ULONGLONG Offset,
                              UCHAR Mode);

NTSTATUS FormatVolume(FormatStore *Store, ULONG Flags, ULONG Type, PCSTR Label, ULONGLONG Offset,
                      ULONGLONG Length);

NTSTATUS FormatFat(ULONG SectorSize, SectorWriter *Writer, ULONGLONG Length, PCSTR Label);
NTSTATUS FormatFat32(ULONG SectorSize, SectorWriter *Writer, ULONGLONG Length, PCSTR Label);
NTSTATUS FormatNtfs(ULONG SectorSize, SectorWriter *Writer, ULONGLONG Length, PCSTR Label);

struct PartitionEntrySpec {
  ULONGLONG Start;   // bytes
  ULONGLONG Length;  // bytes
  UCHAR Active;      // nonzero = active
  UCHAR Type;        // partition type
};

NTSTATUS BuildPartitionSector(PUCHAR Buffer, ULONG SectorSize, ULONG DiskSignature,
                              const PartitionEntrySpec *Entries, ULONG EntryCount);
