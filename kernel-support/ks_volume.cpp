#include "kernel-support/ks_volume.h"

#include "kernel-support/ks_file.h"

#include <ntdddisk.h>

namespace {

NTSTATUS FsControl(HANDLE Volume, ULONG Code) {
  if (!Volume) return STATUS_INVALID_PARAMETER;
  IO_STATUS_BLOCK iosb;
  return ZwFsControlFile(Volume, nullptr, nullptr, nullptr, &iosb, Code, nullptr, 0, nullptr, 0);
}

}  // namespace

NTSTATUS KsOpenVolume(PCUNICODE_STRING DeviceName, ULONG ShareAccess, PHANDLE Volume) {
  return KsOpenFile(Volume, DeviceName, FILE_ALL_ACCESS, ShareAccess, FILE_OPEN, 0);
}

NTSTATUS KsLockVolume(HANDLE Volume) { return FsControl(Volume, FSCTL_LOCK_VOLUME); }
NTSTATUS KsUnlockVolume(HANDLE Volume) { return FsControl(Volume, FSCTL_UNLOCK_VOLUME); }
NTSTATUS KsDismountVolume(HANDLE Volume) { return FsControl(Volume, FSCTL_DISMOUNT_VOLUME); }

NTSTATUS KsSetVolumeOnline(PDEVICE_OBJECT Device, BOOLEAN Online) {
  return KsDeviceControl(Device, Online ? IOCTL_VOLUME_ONLINE : IOCTL_VOLUME_OFFLINE, nullptr, 0, nullptr, 0,
                         FALSE, nullptr);
}
