#include "engine/system/volume_reformat.h"

#include "engine/format/formatters.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/store/volume_store.h"
#include "engine/volume/volume_device.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_volume.h"

#include <ntdddisk.h>

namespace {

constexpr ULONG kLockAttempts = 10;
constexpr LONGLONG kLockRetryInterval = -500 * 10000LL;  // 500 ms, relative
constexpr ULONG kAllSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

NTSTATUS LockWithRetries(HANDLE Volume) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  for (ULONG attempt = 0; attempt < kLockAttempts; ++attempt) {
    if (attempt) {
      LARGE_INTEGER interval;
      interval.QuadPart = kLockRetryInterval;
      KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    status = KsLockVolume(Volume);
    if (NT_SUCCESS(status)) break;
  }
  return status;
}

// Zeros the first track through the handle, so that whatever mounted the
// old contents no longer recognises them.
NTSTATUS ZeroFirstTrack(HANDLE Volume) {
  DISK_GEOMETRY geometry;
  IO_STATUS_BLOCK iosb;
  NTSTATUS status = ZwDeviceIoControlFile(Volume, nullptr, nullptr, nullptr, &iosb, IOCTL_DISK_GET_DRIVE_GEOMETRY,
                                          nullptr, 0, &geometry, sizeof(geometry));
  if (!NT_SUCCESS(status)) return status;
  ULONG length = geometry.BytesPerSector * geometry.SectorsPerTrack;
  if (!length) return STATUS_SUCCESS;
  PVOID zeros = KsAllocate(length, KS_TAG_BUFFER, PagedPool);
  if (!zeros) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(zeros, length);
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  status = ZwWriteFile(Volume, nullptr, nullptr, nullptr, &iosb, zeros, length, &offset, nullptr);
  KsFree(&zeros);
  return status;
}

// Opens the volume with ShareAccess, locks it, zeros its first track and
// dismounts the file system on it.
NTSTATUS ClearForFormat(VolumeBlock *Volume, ULONG ShareAccess) {
  HANDLE handle;
  NTSTATUS status = KsOpenVolume(Volume->DeviceName, ShareAccess, &handle);
  if (!NT_SUCCESS(status)) return status;
  status = LockWithRetries(handle);
  if (NT_SUCCESS(status)) status = ZeroFirstTrack(handle);
  if (NT_SUCCESS(status)) status = KsDismountVolume(handle);
  ZwClose(handle);
  return status;
}

}  // namespace

NTSTATUS ReformatVolume(VolumeBlock *Volume, ULONG FileSystem, ULONG Options, PCSTR Label) {
  if (!Volume->DeviceName || !Volume->Device || !Volume->Store) return STATUS_INVALID_DEVICE_STATE;
  KsSetVolumeOnline(Volume->Device, TRUE);
  NTSTATUS status = ClearForFormat(Volume, kAllSharing);
  // Another opener that shares only reading keeps an all-sharing open out.
  if (status == STATUS_ACCESS_DENIED) status = ClearForFormat(Volume, FILE_SHARE_READ);
  if (!NT_SUCCESS(status)) return status;

  // A fresh open mounts afresh; it keeps others out while the formatter runs.
  HANDLE handle;
  status = KsOpenVolume(Volume->DeviceName, kAllSharing, &handle);
  if (!NT_SUCCESS(status)) return status;
  KsLockVolume(handle);
  status = FormatVolume(Volume->Store, FORMAT_FLAG_ZERO_FILL, FileSystem, Label, 0, 0);
  // What was mounted saw the volume before the format.
  if (VolumeFileSystemMounted(Volume)) KsDismountVolume(handle);
  ZwClose(handle);
  if (NT_SUCCESS(status) && FileSystem == ENGINE_FS_NTFS && (Options & ENGINE_FORMAT_COMPRESS_ROOT))
    VolumeCompressRoot(Volume);
  return status;
}
