#include "kernel-support/ks_version.h"

namespace {

KS_SYSTEM_VERSION gVersion;
BOOLEAN gVersionKnown;

}  // namespace

NTSTATUS KsQueryVersion(KS_SYSTEM_VERSION *Version) {
  if (!Version) return STATUS_INVALID_PARAMETER;
  RTL_OSVERSIONINFOEXW info;
  RtlZeroMemory(&info, sizeof(info));
  info.dwOSVersionInfoSize = sizeof(info);
  NTSTATUS status = RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info));
  if (!NT_SUCCESS(status)) return status;
  Version->Major = info.dwMajorVersion;
  Version->Minor = info.dwMinorVersion;
  Version->Build = info.dwBuildNumber;
  Version->Server = info.wProductType != VER_NT_WORKSTATION ? TRUE : FALSE;
  ULONG major, minor, build;
  Version->CheckedBuild = PsGetVersion(&major, &minor, &build, nullptr);
  return STATUS_SUCCESS;
}

VOID KsRefreshSystemVersion() {
  KS_SYSTEM_VERSION version;
  if (NT_SUCCESS(KsQueryVersion(&version))) {
    gVersion = version;
    gVersionKnown = TRUE;
  }
}

const KS_SYSTEM_VERSION *KsSystemVersion() {
  if (!gVersionKnown) KsRefreshSystemVersion();
  return &gVersion;
}

BOOLEAN KsIsVersion(ULONG Major, ULONG Minor) {
  const KS_SYSTEM_VERSION *version = KsSystemVersion();
  return version->Major == Major && version->Minor == Minor;
}

BOOLEAN KsIsAtLeastVersion(ULONG Major, ULONG Minor) {
  const KS_SYSTEM_VERSION *version = KsSystemVersion();
  return version->Major > Major || (version->Major == Major && version->Minor >= Minor);
}
