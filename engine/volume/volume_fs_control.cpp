// Requests the engine sends to the file system on a volume: lock, dismount,
// unlock, flush and compression, and the take-offline command built on them.
// An own device has one file system; an emulated disk has one on each of
// its partitions, and each request goes to every one of them.
#include "engine/system/partition_walk.h"
#include "engine/volume/volume_device.h"
#include "engine/volume/volume_parts.h"
#include "kernel-support/ks_file.h"
#include "kernel-support/ks_string.h"

#include <ntdddisk.h>

namespace {

// What is done with the file system of one volume device.
typedef NTSTATUS FILE_SYSTEM_ACTION(PCUNICODE_STRING DeviceName, PVOID Context);

// Opens the volume (or its root folder with Root) through its device name.
NTSTATUS OpenVolume(PCUNICODE_STRING DeviceName, BOOLEAN Root, PHANDLE Handle) {
  *Handle = nullptr;
  if (!DeviceName) return STATUS_INVALID_DEVICE_STATE;
  PUNICODE_STRING name = nullptr;
  NTSTATUS status = Root ? KsFormatString(&name, KS_WSTR("%wZ\\"), DeviceName) : KsDuplicateString(DeviceName, &name);
  if (!NT_SUCCESS(status)) return status;
  status = KsOpenFile(Handle, name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0);
  KsFreeString(&name);
  return status;
}

BOOLEAN DeviceHasFileSystem(PDEVICE_OBJECT Device) {
  return Device && Device->Vpb && (Device->Vpb->Flags & VPB_MOUNTED) ? TRUE : FALSE;
}

struct PartitionRun {
  FILE_SYSTEM_ACTION *Action;
  PVOID Context;
  BOOLEAN MountedOnly;
};

NTSTATUS RunOnPartition(VolumeBlock *, const PartitionVolume *Partition, PVOID Context) {
  auto *run = static_cast<PartitionRun *>(Context);
  if (run->MountedOnly && !DeviceHasFileSystem(Partition->Device)) return STATUS_SUCCESS;
  return run->Action(Partition->DeviceName, run->Context);
}

// Runs Action for each volume device of the volume (MountedOnly: each one a
// file system is mounted on); the first failure ends the run.
NTSTATUS ForEachVolumeDevice(VolumeBlock *Volume, BOOLEAN MountedOnly, FILE_SYSTEM_ACTION *Action, PVOID Context) {
  if (VolumeHasAnyFlag(Volume, VOLUME_DEVICE_GONE) || !Volume->Device) return STATUS_SUCCESS;
  if (VolumeHasAnyFlag(Volume, VOLUME_DISK_EMULATION)) {
    PartitionRun run = {Action, Context, MountedOnly};
    return WalkPartitions(Volume, RunOnPartition, &run);
  }
  if (MountedOnly && !DeviceHasFileSystem(Volume->Device)) return STATUS_SUCCESS;
  return Action(Volume->DeviceName, Context);
}

NTSTATUS ForEachFileSystem(VolumeBlock *Volume, FILE_SYSTEM_ACTION *Action, PVOID Context) {
  return ForEachVolumeDevice(Volume, TRUE, Action, Context);
}

NTSTATUS ControlFileSystem(PCUNICODE_STRING DeviceName, PVOID Context) {
  HANDLE volume;
  NTSTATUS status = OpenVolume(DeviceName, FALSE, &volume);
  if (!NT_SUCCESS(status)) return status;
  IO_STATUS_BLOCK iosb;
  status = ZwFsControlFile(volume, nullptr, nullptr, nullptr, &iosb, *static_cast<PULONG>(Context), nullptr, 0,
                           nullptr, 0);
  ZwClose(volume);
  return status;
}

NTSTATUS FlushFileSystem(PCUNICODE_STRING DeviceName, PVOID) {
  HANDLE volume;
  NTSTATUS status = OpenVolume(DeviceName, FALSE, &volume);
  if (!NT_SUCCESS(status)) return status;
  status = KsFlushFile(volume);
  ZwClose(volume);
  return status;
}

NTSTATUS CompressRoot(PCUNICODE_STRING DeviceName, PVOID) {
  HANDLE root;
  NTSTATUS status = OpenVolume(DeviceName, TRUE, &root);
  if (!NT_SUCCESS(status)) return status;
  USHORT format = COMPRESSION_FORMAT_DEFAULT;
  IO_STATUS_BLOCK iosb;
  status = ZwFsControlFile(root, nullptr, nullptr, nullptr, &iosb, FSCTL_SET_COMPRESSION, &format, sizeof(format),
                           nullptr, 0);
  ZwClose(root);
  return status;
}

NTSTATUS CreateFolder(PCUNICODE_STRING DeviceName, PVOID Context) {
  if (!DeviceName) return STATUS_INVALID_DEVICE_STATE;
  PUNICODE_STRING name = nullptr;
  NTSTATUS status = KsFormatString(&name, KS_WSTR("%wZ%wZ"), DeviceName, static_cast<PCUNICODE_STRING>(Context));
  if (!NT_SUCCESS(status)) return status;
  HANDLE folder;
  status = KsOpenFile(&folder, name, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      FILE_OPEN_IF, FILE_DIRECTORY_FILE);
  KsFreeString(&name);
  if (NT_SUCCESS(status)) ZwClose(folder);
  return status;
}

// Lock (unless forced), dismount, unlock (unless forced), all through one
// handle: a file system unlocks a volume when its locking handle closes,
// and refuses other opens while it is locked.
NTSTATUS DismountFileSystem(PCUNICODE_STRING DeviceName, PVOID Context) {
  BOOLEAN force = *static_cast<PBOOLEAN>(Context);
  HANDLE volume;
  NTSTATUS status = OpenVolume(DeviceName, FALSE, &volume);
  if (!NT_SUCCESS(status)) return status;
  IO_STATUS_BLOCK iosb;
  if (!force) status = ZwFsControlFile(volume, nullptr, nullptr, nullptr, &iosb, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0);
  if (NT_SUCCESS(status)) {
    status = ZwFsControlFile(volume, nullptr, nullptr, nullptr, &iosb, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0);
    if (!force) ZwFsControlFile(volume, nullptr, nullptr, nullptr, &iosb, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0);
  }
  ZwClose(volume);
  return status;
}

}  // namespace

BOOLEAN VolumeFileSystemMounted(VolumeBlock *Volume) {
  PDEVICE_OBJECT device = Volume->Device;
  if (!device || VolumeHasAnyFlag(Volume, VOLUME_DEVICE_GONE)) return FALSE;
  if (VolumeHasAnyFlag(Volume, VOLUME_DISK_EMULATION)) return CountPartitions(Volume) != 0;
  return DeviceHasFileSystem(device);
}

// Passive level; sends Code to the file system of the volume.
NTSTATUS VolumeFileSystemControl(VolumeBlock *Volume, ULONG Code) {
  return ForEachFileSystem(Volume, ControlFileSystem, &Code);
}

NTSTATUS VolumeLockFileSystem(VolumeBlock *Volume) { return VolumeFileSystemControl(Volume, FSCTL_LOCK_VOLUME); }

NTSTATUS VolumeFlushFileSystem(VolumeBlock *Volume) { return ForEachFileSystem(Volume, FlushFileSystem, nullptr); }

// Opening the root folder mounts the file system; a volume whose file system
// has no folders (raw) refuses, and nothing more is done.
NTSTATUS VolumeCreateFolder(VolumeBlock *Volume, PCUNICODE_STRING Path) {
  return ForEachVolumeDevice(Volume, FALSE, CreateFolder, const_cast<PUNICODE_STRING>(Path));
}

NTSTATUS VolumeCompressRoot(VolumeBlock *Volume) {
  return ForEachVolumeDevice(Volume, FALSE, CompressRoot, nullptr);
}

// In a system work item for the worker's command 1.
NTSTATUS VolumeTakeOffline(VolumeBlock *Volume) {
  BOOLEAN force = Volume->Force != 0;
  NTSTATUS status = ForEachFileSystem(Volume, DismountFileSystem, &force);
  if (!NT_SUCCESS(status)) return status;
  VolumeClearFlags(Volume, VOLUME_IN_SERVICE);
  if (force) VolumeSetFlags(Volume, VOLUME_OFFLINE);
  VolumeDeleteDevice(Volume);
  return STATUS_SUCCESS;
}
