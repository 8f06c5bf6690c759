#include "engine/format/ntfs/ntfs_runlist.h"

ULONG NtfsSignedFieldBytes(ULONGLONG Value) {
  // The top byte must leave bit 7 clear, or the value would read as negative.
  ULONG bytes = 1;
  while (bytes < 8 && (Value >> (8 * bytes - 1)) != 0) ++bytes;
  return bytes;
}

ULONG NtfsEncodeRunList(ULONGLONG Lcn, ULONGLONG Clusters, BOOLEAN Sparse,
                        UCHAR Out[NTFS_MAX_RUN_LIST_BYTES]) {
  ULONG countBytes = NtfsSignedFieldBytes(Clusters);
  // A run at LCN 0 that is not sparse (the boot sectors) keeps one LCN byte.
  ULONG lcnBytes = Sparse ? 0 : NtfsSignedFieldBytes(Lcn);
  ULONG used = 0;
  Out[used++] = static_cast<UCHAR>(countBytes | lcnBytes << 4);
  for (ULONG i = 0; i < countBytes; ++i) Out[used++] = static_cast<UCHAR>(Clusters >> (8 * i));
  for (ULONG i = 0; i < lcnBytes; ++i) Out[used++] = static_cast<UCHAR>(Lcn >> (8 * i));
  Out[used++] = 0;
  return used;
}
