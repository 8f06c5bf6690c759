// The NTFS file system driver: its file-system device "\Ntfs", registered
// so that the I/O manager offers it every disk volume before FAT and raw,
// and the dispatch of requests on the volume devices it mounts.
#include "platform/drivers/ntfs/ntfs_volume.h"

namespace {

PDEVICE_OBJECT gFileSystemDevice;

NtfsVolume *VolumeOf(PDEVICE_OBJECT Device) {
  return Device == gFileSystemDevice ? nullptr : static_cast<NtfsVolume *>(Device->DeviceExtension);
}

NTSTATUS NtfsDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  NtfsVolume *volume = VolumeOf(Device);
  if (!volume) return FsFileSystemDeviceDispatch(Device, Irp, NtfsMountVolume, NtfsVerifyVolume);
  UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
  switch (major) {
    case IRP_MJ_CREATE:
      return NtfsCreate(volume, Irp);
    case IRP_MJ_CLEANUP:
      return NtfsCleanup(volume, Irp);
    case IRP_MJ_CLOSE:
      return NtfsClose(volume, Irp);
    default:
      break;
  }
  // A dismounted volume answers nothing but the unlock of its lock holder.
  if (ReadAcquire(&volume->Dismounted) && major != IRP_MJ_FILE_SYSTEM_CONTROL)
    return FsComplete(Irp, STATUS_VOLUME_DISMOUNTED, 0);
  switch (major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      return NtfsReadWrite(volume, Irp);
    case IRP_MJ_FLUSH_BUFFERS:
      return NtfsFlush(volume, Irp);
    case IRP_MJ_QUERY_INFORMATION:
      return NtfsQueryInformation(volume, Irp);
    case IRP_MJ_SET_INFORMATION:
      return NtfsSetInformation(volume, Irp);
    case IRP_MJ_DIRECTORY_CONTROL:
      return NtfsDirectoryControl(volume, Irp);
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
      return NtfsQueryVolumeInformation(volume, Irp);
    case IRP_MJ_SET_VOLUME_INFORMATION:
      return NtfsSetVolumeInformation(volume, Irp);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      return NtfsFileSystemControl(volume, Irp);
    case IRP_MJ_QUERY_SECURITY:
      return NtfsQuerySecurity(volume, Irp);
    case IRP_MJ_SET_SECURITY:
      return NtfsSetSecurity(volume, Irp);
    case IRP_MJ_DEVICE_CONTROL:
      return FsPassDown(volume, Irp);
    default:
      return FsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

VOID NtfsUnload(PDRIVER_OBJECT) { FsUnregisterFileSystem(&gFileSystemDevice); }

}  // namespace

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  return FsRegisterFileSystem(Driver, u"\\Ntfs", NtfsDispatch, NtfsUnload, &gFileSystemDevice);
}
