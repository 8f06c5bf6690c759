// Requests the engine sends to the file system on a volume: lock, dismount,
// unlock, flush and compression, and the take-offline command built on them.
#include "engine/volume/volume_device.h"
#include "engine/volume/volume_parts.h"
#include "kernel-support/ks_file.h"
#include "kernel-support/ks_string.h"

#include <ntdddisk.h>

namespace {

// Opens the volume (or its root folder with Root) through its device name.
NTSTATUS OpenVolume(VolumeBlock *Volume, BOOLEAN Root, PHANDLE Handle) {
  *Handle = nullptr;
  if (!Volume->DeviceName) return STATUS_INVALID_DEVICE_STATE;
  PUNICODE_STRING name = nullptr;
  NTSTATUS status = Root ? KsFormatString(&name, KS_WSTR("%wZ\\"), Volume->DeviceName)
                         : KsDuplicateString(Volume->DeviceName, &name);
  if (!NT_SUCCESS(status)) return status;
  status = KsOpenFile(Handle, name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0);
  KsFreeString(&name);
  return status;
}

}  // namespace

// The partitions of an emulated disk are reached through the bus driver's
// disk, which does not present them yet; an own device has a file system
// when its parameter block says so.
BOOLEAN VolumeFileSystemMounted(VolumeBlock *Volume) {
  PDEVICE_OBJECT device = Volume->Device;
  if (!device || VolumeHasAnyFlag(Volume, VOLUME_DISK_EMULATION | VOLUME_DEVICE_GONE)) return FALSE;
  return device->Vpb && (device->Vpb->Flags & VPB_MOUNTED) ? TRUE : FALSE;
}

// Passive level; sends Code to the file system of the volume.
NTSTATUS VolumeFileSystemControl(VolumeBlock *Volume, ULONG Code) {
  HANDLE volume;
  NTSTATUS status = OpenVolume(Volume, FALSE, &volume);
  if (!NT_SUCCESS(status)) return status;
  IO_STATUS_BLOCK iosb;
  status = ZwFsControlFile(volume, nullptr, nullptr, nullptr, &iosb, Code, nullptr, 0, nullptr, 0);
  ZwClose(volume);
  return status;
}

NTSTATUS VolumeLockFileSystem(VolumeBlock *Volume) {
  if (!VolumeFileSystemMounted(Volume)) return STATUS_SUCCESS;
  return VolumeFileSystemControl(Volume, FSCTL_LOCK_VOLUME);
}

NTSTATUS VolumeFlushFileSystem(VolumeBlock *Volume) {
  if (!VolumeFileSystemMounted(Volume)) return STATUS_SUCCESS;
  HANDLE volume;
  NTSTATUS status = OpenVolume(Volume, FALSE, &volume);
  if (!NT_SUCCESS(status)) return status;
  status = KsFlushFile(volume);
  ZwClose(volume);
  return status;
}

NTSTATUS VolumeCompressRoot(VolumeBlock *Volume) {
  // The request is for the file system: without one there is no folder.
  if (!VolumeFileSystemMounted(Volume)) return STATUS_SUCCESS;
  HANDLE root;
  NTSTATUS status = OpenVolume(Volume, TRUE, &root);
  if (!NT_SUCCESS(status)) return status;
  USHORT format = COMPRESSION_FORMAT_DEFAULT;
  IO_STATUS_BLOCK iosb;
  status = ZwFsControlFile(root, nullptr, nullptr, nullptr, &iosb, FSCTL_SET_COMPRESSION, &format, sizeof(format),
                           nullptr, 0);
  ZwClose(root);
  return status;
}

// In a system work item for the worker's command 1.
NTSTATUS VolumeTakeOffline(VolumeBlock *Volume) {
  BOOLEAN force = Volume->Force != 0;
  if (VolumeFileSystemMounted(Volume)) {
    // One handle throughout: a file system unlocks a volume when its
    // locking handle closes, and refuses other opens while it is locked.
    HANDLE volume;
    NTSTATUS status = OpenVolume(Volume, FALSE, &volume);
    if (!NT_SUCCESS(status)) return status;
    IO_STATUS_BLOCK iosb;
    if (!force) status = ZwFsControlFile(volume, nullptr, nullptr, nullptr, &iosb, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0);
    if (NT_SUCCESS(status)) {
      status = ZwFsControlFile(volume, nullptr, nullptr, nullptr, &iosb, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0);
      if (!force) ZwFsControlFile(volume, nullptr, nullptr, nullptr, &iosb, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0);
    }
    ZwClose(volume);
    if (!NT_SUCCESS(status)) return status;
  }
  VolumeClearFlags(Volume, VOLUME_IN_SERVICE);
  if (force) VolumeSetFlags(Volume, VOLUME_OFFLINE);
  VolumeDeleteDevice(Volume);
  return STATUS_SUCCESS;
}
