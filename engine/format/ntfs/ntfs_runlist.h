// Run lists of the formatter's non-resident attributes: always one run.
#pragma once

#include "kernel-support/kernel.h"

// Header byte, up to 8 count bytes, up to 8 LCN bytes and the terminator.
constexpr ULONG NTFS_MAX_RUN_LIST_BYTES = 18;

// Bytes needed to hold Value as a signed little-endian number.
ULONG NtfsSignedFieldBytes(ULONGLONG Value);

// Encodes the run of Clusters clusters at Lcn, followed by the terminating
// zero, into Out; returns the bytes used. A sparse run has no LCN bytes.
ULONG NtfsEncodeRunList(ULONGLONG Lcn, ULONGLONG Clusters, BOOLEAN Sparse,
                        UCHAR Out[NTFS_MAX_RUN_LIST_BYTES]);
