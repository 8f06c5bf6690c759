// The raw file system driver: its file-system device "\Device\RawDisk",
// registered so that the I/O manager offers it every disk volume no other
// file system takes, and the mount that gives a volume its raw volume device.
#include "platform/drivers/raw/raw_volume.h"

namespace {

PDEVICE_OBJECT gFileSystemDevice;

RawVolume *VolumeOf(PDEVICE_OBJECT Device) {
  return Device == gFileSystemDevice ? nullptr : static_cast<RawVolume *>(Device->DeviceExtension);
}

NTSTATUS RawDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  RawVolume *volume = VolumeOf(Device);
  if (!volume) return FsFileSystemDeviceDispatch(Device, Irp, RawMountVolume, nullptr);
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_CREATE:
      return RawVolumeCreate(volume, Irp);
    case IRP_MJ_CLEANUP:
      return RawVolumeCleanup(volume, Irp);
    case IRP_MJ_CLOSE:
      return RawVolumeClose(volume, Irp);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      return RawVolumeFsControl(volume, Irp);
    case IRP_MJ_FLUSH_BUFFERS:
      return RawVolumeFlush(volume, Irp);
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_QUERY_INFORMATION:
    case IRP_MJ_SET_INFORMATION:
      return RawVolumePassDown(volume, Irp);
    default:
      return FsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

VOID RawUnload(PDRIVER_OBJECT) { FsUnregisterFileSystem(&gFileSystemDevice); }

}  // namespace

// Accepts any volume: a volume device that forwards to the top of the
// volume's stack, which it keeps referenced while it lives.
NTSTATUS RawMountVolume(PDRIVER_OBJECT Driver, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PVPB vpb = stack->Parameters.MountVolume.Vpb;
  PDEVICE_OBJECT target = stack->Parameters.MountVolume.DeviceObject;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status =
      IoCreateDevice(Driver, sizeof(RawVolume), nullptr, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return FsComplete(Irp, status, 0);
  auto *volume = static_cast<RawVolume *>(device->DeviceExtension);
  RtlZeroMemory(volume, sizeof(RawVolume));
  FsInitializeVolume(volume, device, target, vpb);
  ObReferenceObject(target);
  // Requests are built for this device and passed down as they are: they
  // need the buffering, alignment and room of the stack below.
  device->StackSize = static_cast<CCHAR>(target->StackSize + 1);
  device->Flags |= target->Flags & (DO_DIRECT_IO | DO_BUFFERED_IO);
  device->SectorSize = target->SectorSize;
  device->AlignmentRequirement = target->AlignmentRequirement;
  vpb->DeviceObject = device;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return FsComplete(Irp, STATUS_SUCCESS, 0);
}

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  return FsRegisterFileSystem(Driver, u"\\Device\\RawDisk", RawDispatch, RawUnload, &gFileSystemDevice);
}
