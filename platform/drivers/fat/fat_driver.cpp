// The FAT file system driver: its file-system device "\Fat", registered so
// that the I/O manager offers it every disk volume before the raw file
// system, and the dispatch of requests on the volume devices it mounts.
#include "platform/drivers/fat/fat_volume.h"

namespace {

PDEVICE_OBJECT gFileSystemDevice;

FatVolume *VolumeOf(PDEVICE_OBJECT Device) {
  return Device == gFileSystemDevice ? nullptr : static_cast<FatVolume *>(Device->DeviceExtension);
}

NTSTATUS FatDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  FatVolume *volume = VolumeOf(Device);
  if (!volume) return FsFileSystemDeviceDispatch(Device, Irp, FatMountVolume, FatVerifyVolume);
  UCHAR major = IoGetCurrentIrpStackLocation(Irp)->MajorFunction;
  switch (major) {
    case IRP_MJ_CREATE:
      return FatCreate(volume, Irp);
    case IRP_MJ_CLEANUP:
      return FatCleanup(volume, Irp);
    case IRP_MJ_CLOSE:
      return FatClose(volume, Irp);
    default:
      break;
  }
  // A dismounted volume answers nothing but the unlock of its lock holder.
  if (ReadAcquire(&volume->Dismounted) && major != IRP_MJ_FILE_SYSTEM_CONTROL)
    return FsComplete(Irp, STATUS_VOLUME_DISMOUNTED, 0);
  switch (major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE:
      return FatReadWrite(volume, Irp);
    case IRP_MJ_FLUSH_BUFFERS:
      return FatFlush(volume, Irp);
    case IRP_MJ_QUERY_INFORMATION:
      return FatQueryInformation(volume, Irp);
    case IRP_MJ_SET_INFORMATION:
      return FatSetInformation(volume, Irp);
    case IRP_MJ_DIRECTORY_CONTROL:
      return FatDirectoryControl(volume, Irp);
    case IRP_MJ_QUERY_VOLUME_INFORMATION:
      return FatQueryVolumeInformation(volume, Irp);
    case IRP_MJ_SET_VOLUME_INFORMATION:
      return FatSetVolumeInformation(volume, Irp);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      return FatFileSystemControl(volume, Irp);
    case IRP_MJ_DEVICE_CONTROL:
      return FsPassDown(volume, Irp);
    default:
      // Security requests among them: FAT keeps no security.
      return FsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

VOID FatUnload(PDRIVER_OBJECT) { FsUnregisterFileSystem(&gFileSystemDevice); }

}  // namespace

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  return FsRegisterFileSystem(Driver, u"\\Fat", FatDispatch, FatUnload, &gFileSystemDevice);
}
