// The NTFS boot sector, written at the start of the range and again in its
// last sector.
#pragma once

#include "engine/format/ntfs/ntfs_geometry.h"
#include "engine/format/ntfs/ntfs_writer.h"

// Fills Sector (one sector of the geometry's size).
VOID NtfsBuildBootSector(const NtfsGeometry *Geometry, PUCHAR Sector);

// Writes the boot sector and its backup; Sector is a one-sector buffer.
NTSTATUS NtfsWriteBootSectors(NtfsWriter *Writer, const NtfsGeometry *Geometry, PUCHAR Sector);
