// Mounting: recognising a FAT boot sector on the volume below, the volume
// device with its VPB, the volume's reads and writes as IRPs to the device
// beneath, verification, and the volume's end when its last file goes.
#include "platform/drivers/fat/fat_volume.h"

namespace {

NTSTATUS Transfer(FatVolume *Volume, UCHAR Major, ULONG64 Offset, PVOID Buffer, ULONG Length) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(Offset);
  PIRP irp = IoBuildSynchronousFsdRequest(Major, Volume->Target, Buffer, Length, &at, &event, &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoCallDriver(Volume->Target, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  // A short transfer is a failed one: the volume ends before the file system does.
  if (NT_SUCCESS(status) && iosb.Information != Length) status = STATUS_FILE_CORRUPT_ERROR;
  return status;
}

NTSTATUS DeviceRead(PVOID Context, ULONG64 Offset, PVOID Buffer, ULONG Length) {
  return Transfer(static_cast<FatVolume *>(Context), IRP_MJ_READ, Offset, Buffer, Length);
}

NTSTATUS DeviceWrite(PVOID Context, ULONG64 Offset, const VOID *Buffer, ULONG Length) {
  return Transfer(static_cast<FatVolume *>(Context), IRP_MJ_WRITE, Offset, const_cast<PVOID>(Buffer), Length);
}

// The VPB's label: the root's label entry, else the boot sector's.
VOID SetVpbLabel(FatVolume *Volume) {
  UCHAR label[11];
  BOOLEAN found = FALSE;
  if (!NT_SUCCESS(FatReadLabel(&Volume->Core, label, &found)) || !found) {
    found = FALSE;
  }
  PVPB vpb = Volume->Vpb;
  vpb->SerialNumber = Volume->Core.Serial;
  USHORT n = 0;
  if (found) {
    n = 11;
    while (n && label[n - 1] == ' ') --n;
    for (USHORT i = 0; i < n; ++i) vpb->VolumeLabel[i] = label[i];
  }
  vpb->VolumeLabelLength = static_cast<USHORT>(n * sizeof(WCHAR));
}

}  // namespace

NTSTATUS FatMountVolume(PDRIVER_OBJECT Driver, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PVPB vpb = stack->Parameters.MountVolume.Vpb;
  PDEVICE_OBJECT target = stack->Parameters.MountVolume.DeviceObject;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(Driver, sizeof(FatVolume), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return FsComplete(Irp, status, 0);
  auto *volume = static_cast<FatVolume *>(device->DeviceExtension);
  RtlZeroMemory(volume, sizeof(FatVolume));
  FsInitializeVolume(volume, device, target, vpb);
  InitializeListHead(&volume->Fcbs);
  FatBlockDevice block{volume, DeviceRead, DeviceWrite};
  // Anything that is no FAT volume goes on to the next file system.
  status = FatMount(&volume->Core, &block);
  if (NT_SUCCESS(status) && target->SectorSize && volume->Core.BytesPerSector % target->SectorSize)
    status = STATUS_UNRECOGNIZED_VOLUME;
  if (NT_SUCCESS(status)) {
    FatEntry rootEntry;
    RtlZeroMemory(&rootEntry, sizeof rootEntry);
    rootEntry.Dirent.Attributes = kFatAttrDirectory;
    volume->Root = FatNewFcb(volume, nullptr, &rootEntry);
    if (!volume->Root) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (!NT_SUCCESS(status)) {
    FatRelease(&volume->Core);
    IoDeleteDevice(device);
    return FsComplete(Irp, status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_UNRECOGNIZED_VOLUME, 0);
  }
  volume->Root->IsRoot = TRUE;
  ObReferenceObject(target);
  device->StackSize = static_cast<CCHAR>(target->StackSize + 1);
  device->Flags |= DO_DIRECT_IO;
  device->SectorSize = static_cast<USHORT>(volume->Core.BytesPerSector);
  device->AlignmentRequirement = target->AlignmentRequirement;
  SetVpbLabel(volume);
  vpb->DeviceObject = device;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return FsComplete(Irp, STATUS_SUCCESS, 0);
}

// The same volume is still there when its boot sector says so.
NTSTATUS FatVerifyVolume(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PVPB vpb = stack->Parameters.VerifyVolume.Vpb;
  if (!vpb || !vpb->DeviceObject) return FsComplete(Irp, STATUS_WRONG_VOLUME, 0);
  auto *volume = static_cast<FatVolume *>(vpb->DeviceObject->DeviceExtension);
  auto *sector = static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 512, kFatTag));
  if (!sector) return FsComplete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  FatVolumeCore fresh;
  NTSTATUS status = DeviceRead(volume, 0, sector, 512);
  if (NT_SUCCESS(status)) status = FatParseBootSector(sector, 512, &fresh);
  ExFreePoolWithTag(sector, kFatTag);
  const FatVolumeCore &now = volume->Core;
  if (!NT_SUCCESS(status) || fresh.Serial != now.Serial || fresh.TotalSectors != now.TotalSectors ||
      fresh.FatBits != now.FatBits || fresh.ClusterSize != now.ClusterSize || fresh.FatSectors != now.FatSectors)
    status = STATUS_WRONG_VOLUME;
  return FsComplete(Irp, status, 0);
}

VOID FatCheckForDismount(FatVolume *Volume, BOOLEAN Creating) {
  if (!FsVolumeIsUnused(Volume, Creating)) return;
  FatFlushTable(&Volume->Core);
  // Only the root is left: every other FCB went with its last file object.
  while (!IsListEmpty(&Volume->Fcbs)) {
    PLIST_ENTRY entry = RemoveHeadList(&Volume->Fcbs);
    ExFreePoolWithTag(CONTAINING_RECORD(entry, FatFcb, Links), kFatTag);
  }
  FatRelease(&Volume->Core);
  FsDeleteVolume(Volume);
}
