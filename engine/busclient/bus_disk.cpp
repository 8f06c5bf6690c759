// The hand-off of a disk-emulated volume to the bus driver, and its removal.
#include "engine/busclient/bus_disk.h"

#include "bus/protocol/bus_protocol.h"
#include "engine/busclient/bus_connection.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/start/engine.h"
#include "engine/store/volume_store.h"
#include "engine/system/partition_walk.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_file.h"
#include "kernel-support/ks_random.h"

#include <ntdddisk.h>

namespace {

constexpr ULONG kBusTransferLimit = 0x8000000;
constexpr ULONG kPartitionWaitMs = 10000;
constexpr ULONG kRemovalWaitMs = 30000;
constexpr ULONG kPollMs = 20;
constexpr ULONG LAYOUT_TAG = KsTag("VVdl");

VOID Pause(ULONG Milliseconds) {
  LARGE_INTEGER interval;
  interval.QuadPart = -static_cast<LONGLONG>(Milliseconds) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

ULONG BusFlagsOf(ULONG MountFlags) {
  ULONG flags = 0;
  if (MountFlags & ENGINE_MOUNT_BUS_HIDDEN) flags |= BUS_REQUEST_HIDDEN;
  if (MountFlags & ENGINE_MOUNT_REMOVABLE) flags |= BUS_REQUEST_REMOVABLE;
  if (MountFlags & ENGINE_MOUNT_BUS_SILENT_INSTALL) flags |= BUS_REQUEST_SILENT_INSTALL;
  if (MountFlags & ENGINE_MOUNT_BUS_SURPRISE_REMOVAL_OK) flags |= BUS_REQUEST_SURPRISE_REMOVAL_OK;
  if (MountFlags & ENGINE_MOUNT_BUS_NEW_PARTITION_TABLE) flags |= BUS_REQUEST_NEW_PARTITION_TABLE;
  return flags;
}

NTSTATUS AddDisk(VolumeBlock *Volume, ULONG MountFlags) {
  if (!Engine.BusDevice) return STATUS_NO_SUCH_DEVICE;
  AddDiskRequest request;
  RtlZeroMemory(&request, sizeof(request));
  ULONGLONG size = Volume->Store->Size();
  request.RequestFlags = BusFlagsOf(MountFlags);
  request.EngineContext = VolumeHandleOf(Volume);
  request.DiskSize = size;
  request.SectorSize = Volume->Store->SectorSize();
  request.AlignmentRequirement = 1;
  request.MaximumTransferLength = static_cast<uint32_t>(size < kBusTransferLimit ? size : kBusTransferLimit);
  request.Geometry.Cylinders = static_cast<uint64_t>(Volume->Geometry.Cylinders);
  request.Geometry.MediaType = Volume->Geometry.MediaType;
  request.Geometry.TracksPerCylinder = Volume->Geometry.TracksPerCylinder;
  request.Geometry.SectorsPerTrack = Volume->Geometry.SectorsPerTrack;
  request.Geometry.BytesPerSector = Volume->Geometry.BytesPerSector;
  uint64_t disk = 0;
  IO_STATUS_BLOCK iosb;
  NTSTATUS status = KsDeviceControl(Engine.BusDevice, IOCTL_BUS_ADD_DISK, &request, sizeof(request), &disk,
                                    sizeof(disk), TRUE, &iosb);
  // A disk the bus made before it failed is still named: it must be removed.
  if (disk) Volume->Device = reinterpret_cast<PDEVICE_OBJECT>(static_cast<ULONG_PTR>(disk));
  if (NT_SUCCESS(status) && (iosb.Information != sizeof(disk) || disk == 0)) status = STATUS_DEVICE_DATA_ERROR;
  return status;
}

// One partition of type 0x07 over the whole disk after its first sector.
NTSTATUS WriteFreshLayout(VolumeBlock *Volume) {
  ULONG size = FIELD_OFFSET(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) + 4 * sizeof(PARTITION_INFORMATION_EX);
  auto *layout = static_cast<PDRIVE_LAYOUT_INFORMATION_EX>(KsAllocate(size, LAYOUT_TAG));
  if (!layout) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(layout, size);
  ULONGLONG sector = Volume->Store->SectorSize();
  layout->PartitionStyle = PARTITION_STYLE_MBR;
  layout->PartitionCount = 4;
  layout->Mbr.Signature = NewRandom32();
  for (ULONG i = 0; i < 4; ++i) {
    layout->PartitionEntry[i].PartitionStyle = PARTITION_STYLE_MBR;
    layout->PartitionEntry[i].RewritePartition = TRUE;
  }
  PARTITION_INFORMATION_EX &first = layout->PartitionEntry[0];
  first.StartingOffset.QuadPart = static_cast<LONGLONG>(sector);
  first.PartitionLength.QuadPart = static_cast<LONGLONG>(Volume->Store->Size() - sector);
  first.PartitionNumber = 1;
  first.Mbr.PartitionType = PARTITION_IFS;
  first.Mbr.BootIndicator = FALSE;
  first.Mbr.RecognizedPartition = TRUE;
  IO_STATUS_BLOCK iosb;
  NTSTATUS status =
      KsDeviceControl(Volume->Device, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, layout, size, nullptr, 0, FALSE, &iosb);
  KsFree(&layout);
  return status;
}

// How many entries of the disk's partition table a volume is made for.
NTSTATUS CountUsablePartitions(VolumeBlock *Volume, PULONG Usable) {
  *Usable = 0;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(Volume->Device);
  PDRIVE_LAYOUT_INFORMATION_EX layout = nullptr;
  NTSTATUS status = IoReadPartitionTableEx(top, &layout);
  ObDereferenceObject(top);
  if (!NT_SUCCESS(status)) return status;
  if (layout->PartitionStyle == PARTITION_STYLE_MBR) {
    for (ULONG i = 0; i < layout->PartitionCount; ++i) {
      const PARTITION_INFORMATION_EX &entry = layout->PartitionEntry[i];
      if (entry.PartitionLength.QuadPart != 0 && entry.Mbr.PartitionType != PARTITION_ENTRY_UNUSED &&
          !IsContainerPartition(entry.Mbr.PartitionType))
        ++*Usable;
    }
  } else if (layout->PartitionStyle == PARTITION_STYLE_GPT) {
    *Usable = layout->PartitionCount;
  }
  ExFreePool(layout);
  return STATUS_SUCCESS;
}

NTSTATUS CountAnnounced(VolumeBlock *, const PartitionVolume *Partition, PVOID Context) {
  if (Partition->MountPoint) ++*static_cast<PULONG>(Context);
  return STATUS_SUCCESS;
}

// Waits until Count partitions are there and the mount manager has given
// each its names, so that what it does on its own is done before the
// volume's letters are set.
NTSTATUS WaitForPartitions(VolumeBlock *Volume, ULONG Count) {
  for (ULONG waited = 0; waited < kPartitionWaitMs; waited += kPollMs) {
    ULONG announced = 0;
    WalkPartitions(Volume, CountAnnounced, &announced);
    if (announced >= Count) return STATUS_SUCCESS;
    Pause(kPollMs);
  }
  return STATUS_DEVICE_NOT_READY;
}

NTSTATUS RemoveDisk(VolumeBlock *Volume) {
  if (!Engine.BusDevice) return STATUS_NO_SUCH_DEVICE;
  RemoveDiskRequest request;
  request.Reserved = 0;
  request.EngineContext = VolumeHandleOf(Volume);
  IO_STATUS_BLOCK iosb;
  NTSTATUS status =
      KsDeviceControl(Engine.BusDevice, IOCTL_BUS_REMOVE_DISK, &request, sizeof(request), nullptr, 0, TRUE, &iosb);
  if (NT_SUCCESS(status) && iosb.Information != 0) status = STATUS_DEVICE_DATA_ERROR;
  return status;
}

// Whether the bus still has the disk as a child.
BOOLEAN BusHasDisk(PDEVICE_OBJECT Disk) {
  uint64_t device = static_cast<uint64_t>(reinterpret_cast<ULONG_PTR>(Disk));
  QueryDiskReply reply;
  RtlZeroMemory(&reply, sizeof(reply));
  IO_STATUS_BLOCK iosb;
  NTSTATUS status = KsDeviceControl(Engine.BusDevice, IOCTL_BUS_QUERY_DISK, &device, sizeof(device), &reply,
                                    sizeof(reply), TRUE, &iosb);
  return NT_SUCCESS(status) && reply.Found ? TRUE : FALSE;
}

}  // namespace

NTSTATUS BusAddVolumeDisk(VolumeBlock *Volume, ULONG MountFlags) {
  // The system starts the disk and reads it before the volume is listed.
  NTSTATUS status = BusHandoffBegin(Volume);
  if (!NT_SUCCESS(status)) return status;
  status = AddDisk(Volume, MountFlags);
  if (NT_SUCCESS(status)) {
    if (MountFlags & ENGINE_MOUNT_BUS_NEW_PARTITION_TABLE) {
      status = WriteFreshLayout(Volume);
      if (NT_SUCCESS(status)) status = WaitForPartitions(Volume, 1);
    } else {
      ULONG usable = 0;
      status = CountUsablePartitions(Volume, &usable);
      if (NT_SUCCESS(status) && usable) status = WaitForPartitions(Volume, usable);
    }
  }
  if (!NT_SUCCESS(status) && Volume->Device) {
    BusRemoveVolumeDisk(Volume);
    Volume->Device = nullptr;
  }
  return status;
}

VOID BusEndVolumeHandoff(VolumeBlock *Volume) { BusHandoffEnd(Volume); }

NTSTATUS BusRemoveVolumeDisk(VolumeBlock *Volume) {
  PDEVICE_OBJECT disk = Volume->Device;
  NTSTATUS status = RemoveDisk(Volume);
  if (!NT_SUCCESS(status) || !disk) return status;
  // The system takes the partitions and the disk down in its own thread;
  // the volume's store must outlive every request they still carry.
  for (ULONG waited = 0; waited < kRemovalWaitMs && BusHasDisk(disk); waited += kPollMs) Pause(kPollMs);
  return STATUS_SUCCESS;
}
