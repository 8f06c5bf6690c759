// Mounting: recognising an NTFS boot sector on the volume below, the
// library's volume over the volume device (every transfer an IRP to the
// device beneath), verification, and the volume's end when its last file
// goes.
#include "platform/drivers/ntfs/ntfs_volume.h"

#include <errno.h>

namespace {

NTSTATUS Transfer(PDEVICE_OBJECT Target, UCHAR Major, ULONG64 Offset, PVOID Buffer, ULONG Length) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(Offset);
  PIRP irp = IoBuildSynchronousFsdRequest(Major, Target, Buffer, Length, &at, &event, &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoCallDriver(Target, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  // A short transfer is a failed one: the volume ends before the file system does.
  if (NT_SUCCESS(status) && iosb.Information != Length) status = STATUS_FILE_CORRUPT_ERROR;
  return status;
}

int ErrnoOf(NTSTATUS Status) {
  if (NT_SUCCESS(Status)) return 0;
  if (Status == STATUS_MEDIA_WRITE_PROTECTED) return EROFS;
  if (Status == STATUS_INSUFFICIENT_RESOURCES) return ENOMEM;
  return EIO;
}

int DeviceRead(void *Context, uint64_t Offset, void *Buffer, uint32_t Length) {
  return ErrnoOf(Transfer(static_cast<NtfsVolume *>(Context)->Target, IRP_MJ_READ, Offset, Buffer, Length));
}

int DeviceWrite(void *Context, uint64_t Offset, const void *Buffer, uint32_t Length) {
  return ErrnoOf(
      Transfer(static_cast<NtfsVolume *>(Context)->Target, IRP_MJ_WRITE, Offset, const_cast<PVOID>(Buffer), Length));
}

// A device that knows no flush has nothing to flush.
int DeviceFlush(void *Context) {
  auto *volume = static_cast<NtfsVolume *>(Context);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, volume->Target, nullptr, 0, nullptr, &event, &iosb);
  if (!irp) return ENOMEM;
  NTSTATUS status = IoCallDriver(volume->Target, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  return status == STATUS_INVALID_DEVICE_REQUEST ? 0 : ErrnoOf(status);
}

NTSTATUS DeviceLength(PDEVICE_OBJECT Target, ULONG64 *Length) {
  GET_LENGTH_INFORMATION info{};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_DISK_GET_LENGTH_INFO, Target, nullptr, 0, &info, sizeof info, FALSE,
                                           &event, &iosb);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoCallDriver(Target, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = iosb.Status;
  }
  if (NT_SUCCESS(status)) *Length = static_cast<ULONG64>(info.Length.QuadPart);
  return status;
}

struct BootFacts {
  ULONG BytesPerSector;
  ULONG64 TotalBytes;
  ULONG Serial;
};

// An NTFS boot sector: the OEM name, a sector size of 256..4096 bytes, a
// cluster of at most 2 MiB and the 55 AA mark.
BOOLEAN ParseBootSector(const UCHAR *s, BootFacts *Facts) {
  static const UCHAR kOem[8] = {'N', 'T', 'F', 'S', ' ', ' ', ' ', ' '};
  if (RtlCompareMemory(s + 3, kOem, 8) != 8 || s[510] != 0x55 || s[511] != 0xAA) return FALSE;
  ULONG bps = s[11] | (s[12] << 8);
  if (bps < 256 || bps > 4096 || (bps & (bps - 1))) return FALSE;
  UCHAR spc = s[13];
  ULONG clusterSectors = spc <= 0x80 ? spc : 1u << (256 - spc);
  if (!clusterSectors || (clusterSectors & (clusterSectors - 1)) || clusterSectors * bps > (2u << 20)) return FALSE;
  ULONG64 sectors = 0;
  for (int i = 7; i >= 0; --i) sectors = (sectors << 8) | s[0x28 + i];
  Facts->BytesPerSector = bps;
  Facts->TotalBytes = sectors * bps;
  Facts->Serial = static_cast<ULONG>(s[0x48] | (s[0x49] << 8) | (s[0x4A] << 16) | (static_cast<ULONG>(s[0x4B]) << 24));
  return TRUE;
}

NTSTATUS ReadBootSector(PDEVICE_OBJECT Target, BootFacts *Facts) {
  ULONG size = Target->SectorSize > 512 ? Target->SectorSize : 512;
  auto *sector = static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, size, kNtfsTag));
  if (!sector) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = Transfer(Target, IRP_MJ_READ, 0, sector, size);
  if (NT_SUCCESS(status) && !ParseBootSector(sector, Facts)) status = STATUS_UNRECOGNIZED_VOLUME;
  ExFreePoolWithTag(sector, kNtfsTag);
  return status;
}

VOID SetVpbLabel(NtfsVolume *Volume) {
  NtfsLibVolumeInfo info;
  NtfsLibQueryVolume(Volume->Lib, &info);
  PVPB vpb = Volume->Vpb;
  vpb->SerialNumber = Volume->Serial;
  constexpr USHORT kRoom = sizeof(vpb->VolumeLabel) / sizeof(WCHAR);
  USHORT n = info.LabelLength < kRoom ? info.LabelLength : kRoom;
  RtlCopyMemory(vpb->VolumeLabel, info.Label, n * sizeof(WCHAR));
  vpb->VolumeLabelLength = static_cast<USHORT>(n * sizeof(WCHAR));
}

}  // namespace

NTSTATUS NtfsMountVolume(PDRIVER_OBJECT Driver, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PVPB vpb = stack->Parameters.MountVolume.Vpb;
  PDEVICE_OBJECT target = stack->Parameters.MountVolume.DeviceObject;
  // Anything that is no NTFS volume goes on to the next file system.
  BootFacts facts;
  NTSTATUS status = ReadBootSector(target, &facts);
  if (NT_SUCCESS(status) && target->SectorSize && facts.BytesPerSector % target->SectorSize)
    status = STATUS_UNRECOGNIZED_VOLUME;
  if (!NT_SUCCESS(status))
    return FsComplete(Irp, status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_UNRECOGNIZED_VOLUME, 0);
  ULONG64 length = facts.TotalBytes;
  if (!NT_SUCCESS(DeviceLength(target, &length))) length = facts.TotalBytes;

  PDEVICE_OBJECT device = nullptr;
  status = IoCreateDevice(Driver, sizeof(NtfsVolume), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return FsComplete(Irp, status, 0);
  auto *volume = static_cast<NtfsVolume *>(device->DeviceExtension);
  RtlZeroMemory(volume, sizeof(NtfsVolume));
  FsInitializeVolume(volume, device, target, vpb);
  volume->Serial = facts.Serial;
  volume->SectorSize = facts.BytesPerSector;
  InitializeListHead(&volume->Fcbs);
  NtfsLibDevice block{volume, DeviceRead, DeviceWrite, DeviceFlush, length, facts.BytesPerSector};
  int error = NtfsLibMount(&block, &volume->Lib);
  if (!error) {
    volume->Root = NtfsNewFcb(volume, nullptr, kNtfsRootInode, TRUE, nullptr, 0);
    if (!volume->Root) {
      NtfsLibUnmount(volume->Lib);
      error = ENOMEM;
    }
  }
  if (error) {
    IoDeleteDevice(device);
    // A volume the library cannot take is left to the others.
    return FsComplete(Irp, error == ENOMEM ? STATUS_INSUFFICIENT_RESOURCES : STATUS_UNRECOGNIZED_VOLUME, 0);
  }
  volume->Root->IsRoot = TRUE;
  ObReferenceObject(target);
  device->StackSize = static_cast<CCHAR>(target->StackSize + 1);
  device->Flags |= DO_DIRECT_IO;
  device->SectorSize = static_cast<USHORT>(facts.BytesPerSector);
  device->AlignmentRequirement = target->AlignmentRequirement;
  SetVpbLabel(volume);
  vpb->DeviceObject = device;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return FsComplete(Irp, STATUS_SUCCESS, 0);
}

// The same volume is still there when its boot sector says so.
NTSTATUS NtfsVerifyVolume(PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PVPB vpb = stack->Parameters.VerifyVolume.Vpb;
  if (!vpb || !vpb->DeviceObject) return FsComplete(Irp, STATUS_WRONG_VOLUME, 0);
  auto *volume = static_cast<NtfsVolume *>(vpb->DeviceObject->DeviceExtension);
  BootFacts facts;
  NTSTATUS status = ReadBootSector(volume->Target, &facts);
  if (!NT_SUCCESS(status) || facts.Serial != volume->Serial || facts.BytesPerSector != volume->SectorSize)
    status = STATUS_WRONG_VOLUME;
  return FsComplete(Irp, status, 0);
}

VOID NtfsReleaseLibrary(NtfsVolume *Volume) {
  if (!Volume->Lib) return;
  NtfsLibUnmount(Volume->Lib);
  Volume->Lib = nullptr;
}

BOOLEAN NtfsLibraryGone(FsVolume *Volume) { return !static_cast<NtfsVolume *>(Volume)->Lib; }

VOID NtfsCheckForDismount(NtfsVolume *Volume, BOOLEAN Creating) {
  if (!FsVolumeIsUnused(Volume, Creating)) return;
  FsEnter(Volume);
  NtfsReleaseLibrary(Volume);
  FsLeave(Volume);
  // Only the root is left: every other FCB went with its last file object.
  while (!IsListEmpty(&Volume->Fcbs)) {
    PLIST_ENTRY entry = RemoveHeadList(&Volume->Fcbs);
    ExFreePoolWithTag(CONTAINING_RECORD(entry, NtfsFcb, Links), kNtfsTag);
  }
  FsDeleteVolume(Volume);
}
