// Update-sequence protection of MFT records and index blocks: the last word
// of every 512-byte stride is saved in the record's array and replaced by
// the update-sequence number, so a torn write can be recognised.
#pragma once

#include "engine/format/ntfs/ntfs_geometry.h"
#include "engine/format/ntfs/ntfs_writer.h"

constexpr USHORT NTFS_UPDATE_SEQUENCE_NUMBER = 1;

// Protects the Strides strides of the structure at Base whose array lies at
// Base + ArrayOffset, reading each stride's last word back from the volume.
NTSTATUS NtfsProtect(NtfsWriter *Writer, ULONGLONG Base, ULONG ArrayOffset, ULONG Strides);

// Records 0..26, the four mirror records and the root directory's index
// allocation.
NTSTATUS NtfsApplyFixups(NtfsWriter *Writer, const NtfsGeometry *Geometry);
