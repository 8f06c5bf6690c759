// The 27 initial MFT records and the metadata streams behind them.
#pragma once

#include "engine/format/ntfs/ntfs_index.h"

// How the root directory and a record's $FILE_NAME describe records 0..11.
NtfsFileNameInfo NtfsSystemFileName(const NtfsGeometry *Geometry, ULONG Number);
USHORT NtfsSystemFileSequence(ULONG Number);

// Writes record Number (0..11, 24..26) at Base: its slot in the MFT, or in
// $MFTMirr for records 0..3.
NTSTATUS NtfsWriteRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONG Number, ULONGLONG Base);
// Records 12..26 before the $Extend files take 24..26: 12..15 are reserved
// and in use, the others free.
NTSTATUS NtfsWritePlaceholderRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONG Number,
                                    ULONGLONG Base);

// One writer per record with its own concern.
NTSTATUS NtfsWriteVolumeRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base);
NTSTATUS NtfsWriteRootRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base);
NTSTATUS NtfsWriteSecureRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base);
NTSTATUS NtfsWriteExtendRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base);
NTSTATUS NtfsWriteQuotaRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base);
NTSTATUS NtfsWriteObjIdRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base);
NTSTATUS NtfsWriteReparseRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base);

// Metadata streams.
NTSTATUS NtfsWriteAttrDefTable(NtfsWriter *Writer, const NtfsGeometry *Geometry);
NTSTATUS NtfsWriteRootIndexBlock(NtfsWriter *Writer, const NtfsGeometry *Geometry);
NTSTATUS NtfsWriteRootSecurityStream(NtfsWriter *Writer, const NtfsGeometry *Geometry);
NTSTATUS NtfsWriteSdsStream(NtfsWriter *Writer, const NtfsGeometry *Geometry);
