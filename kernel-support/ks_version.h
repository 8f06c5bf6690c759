// Version of the running system, for the places where 5.1, 5.2, 6.0, 6.1 and
// later systems behave differently.
#pragma once

#include "kernel-support/kernel.h"

struct KS_SYSTEM_VERSION {
  ULONG Major;
  ULONG Minor;
  ULONG Build;
  BOOLEAN CheckedBuild;
  BOOLEAN Server;  // not a workstation product
};

// Asks RtlGetVersion now.
NTSTATUS KsQueryVersion(KS_SYSTEM_VERSION *Version);
// The version recorded by KsInitialize (queried now when not yet recorded).
const KS_SYSTEM_VERSION *KsSystemVersion();
VOID KsRefreshSystemVersion();

BOOLEAN KsIsVersion(ULONG Major, ULONG Minor);
BOOLEAN KsIsAtLeastVersion(ULONG Major, ULONG Minor);
inline BOOLEAN KsIsWindowsXp() { return KsIsVersion(5, 1); }
inline BOOLEAN KsIsWindows2003() { return KsIsVersion(5, 2); }
inline BOOLEAN KsIsWindowsVista() { return KsIsVersion(6, 0); }
inline BOOLEAN KsIsWindows7() { return KsIsVersion(6, 1); }
// Anything after 6.1.
inline BOOLEAN KsIsLaterThanWindows7() {
  return KsIsAtLeastVersion(6, 2);
}
