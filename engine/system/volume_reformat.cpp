#include "engine/system/volume_reformat.h"

#include "engine/format/formatters.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/store/volume_store.h"
#include "engine/system/partition_walk.h"
#include "engine/volume/volume_device.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_file.h"
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
NTSTATUS ClearForFormat(PCUNICODE_STRING DeviceName, ULONG ShareAccess) {
  HANDLE handle;
  NTSTATUS status = KsOpenVolume(DeviceName, ShareAccess, &handle);
  if (!NT_SUCCESS(status)) return status;
  status = LockWithRetries(handle);
  if (NT_SUCCESS(status)) status = ZeroFirstTrack(handle);
  if (NT_SUCCESS(status)) status = KsDismountVolume(handle);
  ZwClose(handle);
  return status;
}

BOOLEAN DeviceHasFileSystem(PDEVICE_OBJECT Device) {
  return Device && Device->Vpb && (Device->Vpb->Flags & VPB_MOUNTED) ? TRUE : FALSE;
}

// One volume device (the volume's own, or a partition of its disk) over the
// store's bytes from Offset, Length long (0: to the end).
struct FormatTarget {
  PCUNICODE_STRING DeviceName;
  PDEVICE_OBJECT Device;
  ULONGLONG Offset;
  ULONGLONG Length;
};

NTSTATUS FormatDevice(VolumeBlock *Volume, const FormatTarget *Target, ULONG FileSystem, ULONG Options,
                      PCSTR Label) {
  KsSetVolumeOnline(Target->Device, TRUE);
  NTSTATUS status = ClearForFormat(Target->DeviceName, kAllSharing);
  // Another opener that shares only reading keeps an all-sharing open out.
  if (status == STATUS_ACCESS_DENIED) status = ClearForFormat(Target->DeviceName, FILE_SHARE_READ);
  if (!NT_SUCCESS(status)) return status;

  // A fresh open mounts afresh; it keeps others out while the formatter runs.
  HANDLE handle;
  status = KsOpenVolume(Target->DeviceName, kAllSharing, &handle);
  if (!NT_SUCCESS(status)) return status;
  KsLockVolume(handle);
  status = FormatVolume(Volume->Store, FORMAT_FLAG_ZERO_FILL, FileSystem, Label, Target->Offset, Target->Length);
  // What was mounted saw the volume before the format.
  if (DeviceHasFileSystem(Target->Device)) KsDismountVolume(handle);
  ZwClose(handle);
  return status;
}

// The partitions to format and what to write on them.
struct PartitionFormat {
  LONG Selector;
  ULONG FileSystem;
  ULONG Options;
  PCSTR Label;
  ULONG Ordinal;
  ULONG Formatted;
};

constexpr ULONG kMaxLabel = 64;

// "label n", or "Volume n" without a label, as 8-bit text.
VOID NumberedLabel(PCSTR Label, ULONG Ordinal, CHAR (&Text)[kMaxLabel + 12]) {
  PCSTR base = Label && Label[0] ? Label : "Volume";
  ULONG at = 0;
  while (base[at] && at < kMaxLabel) {
    Text[at] = base[at];
    ++at;
  }
  Text[at++] = ' ';
  CHAR digits[11];
  ULONG count = 0;
  do {
    digits[count++] = static_cast<CHAR>('0' + Ordinal % 10);
    Ordinal /= 10;
  } while (Ordinal);
  while (count) Text[at++] = digits[--count];
  Text[at] = 0;
}

NTSTATUS FormatPartition(VolumeBlock *Volume, const PartitionVolume *Partition, PVOID Context) {
  auto *plan = static_cast<PartitionFormat *>(Context);
  ++plan->Ordinal;
  if (plan->Selector >= 0 && Partition->PartitionNumber != static_cast<ULONG>(plan->Selector))
    return STATUS_SUCCESS;
  PARTITION_INFORMATION_EX info;
  IO_STATUS_BLOCK iosb;
  NTSTATUS status = KsDeviceControl(Partition->Device, IOCTL_DISK_GET_PARTITION_INFO_EX, nullptr, 0, &info,
                                    sizeof(info), FALSE, &iosb);
  if (!NT_SUCCESS(status)) return status;
  ULONGLONG size = Volume->Store->Size();
  ULONGLONG offset = static_cast<ULONGLONG>(info.StartingOffset.QuadPart);
  ULONGLONG length = static_cast<ULONGLONG>(info.PartitionLength.QuadPart);
  // A table that names bytes beyond the disk is not formatted over.
  if (offset >= size || length == 0 || length > size - offset) return STATUS_INVALID_PARAMETER;
  CHAR numbered[kMaxLabel + 12];
  PCSTR label = plan->Label;
  if (plan->Options & ENGINE_FORMAT_NUMBER_LABELS) {
    NumberedLabel(plan->Label, plan->Ordinal, numbered);
    label = numbered;
  }
  FormatTarget target = {Partition->DeviceName, Partition->Device, offset, length};
  status = FormatDevice(Volume, &target, plan->FileSystem, plan->Options, label);
  if (NT_SUCCESS(status)) ++plan->Formatted;
  return status;
}

}  // namespace

NTSTATUS ReformatVolume(VolumeBlock *Volume, ULONG FileSystem, ULONG Options, PCSTR Label, LONG PartitionSelector) {
  if (!Volume->Device || !Volume->Store) return STATUS_INVALID_DEVICE_STATE;
  NTSTATUS status;
  if (VolumeHasAnyFlag(Volume, VOLUME_DISK_EMULATION)) {
    PartitionFormat plan = {PartitionSelector, FileSystem, Options, Label, 0, 0};
    status = WalkPartitions(Volume, FormatPartition, &plan);
    if (NT_SUCCESS(status) && plan.Formatted == 0) status = STATUS_NOT_FOUND;
  } else {
    if (!Volume->DeviceName) return STATUS_INVALID_DEVICE_STATE;
    FormatTarget target = {Volume->DeviceName, Volume->Device, 0, 0};
    status = FormatDevice(Volume, &target, FileSystem, Options, Label);
  }
  if (NT_SUCCESS(status) && FileSystem == ENGINE_FS_NTFS && (Options & ENGINE_FORMAT_COMPRESS_ROOT))
    VolumeCompressRoot(Volume);
  return status;
}
