// The FAT file system driver: its file-system device "\Fat", registered so
// that the I/O manager offers it every disk volume before the raw file
// system, and the dispatch of requests on the volume devices it mounts.
#include "platform/drivers/fat/fat_volume.h"

namespace {

PDEVICE_OBJECT gFileSystemDevice;

FatVolume *VolumeOf(PDEVICE_OBJECT Device) {
  return Device == gFileSystemDevice ? nullptr : static_cast<FatVolume *>(Device->DeviceExtension);
}

NTSTATUS FileSystemDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return FatComplete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      if (stack->MinorFunction == IRP_MN_MOUNT_VOLUME) return FatMountVolume(Device->DriverObject, Irp);
      if (stack->MinorFunction == IRP_MN_VERIFY_VOLUME) return FatVerifyVolume(Irp);
      return FatComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    default:
      return FatComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS FatDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  FatVolume *volume = VolumeOf(Device);
  if (!volume) return FileSystemDispatch(Device, Irp);
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
    return FatComplete(Irp, STATUS_VOLUME_DISMOUNTED, 0);
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
      return FatPassDown(volume, Irp);
    default:
      // Security requests among them: FAT keeps no security.
      return FatComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

VOID FatUnload(PDRIVER_OBJECT) {
  IoUnregisterFileSystem(gFileSystemDevice);
  IoDeleteDevice(gFileSystemDevice);
  gFileSystemDevice = nullptr;
}

}  // namespace

NTSTATUS FatComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = NT_ERROR(Status) ? 0 : Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

VOID FatEnter(FatVolume *Volume) { KeWaitForSingleObject(&Volume->Lock, Executive, KernelMode, FALSE, nullptr); }

VOID FatLeave(FatVolume *Volume) { KeSetEvent(&Volume->Lock, IO_NO_INCREMENT, FALSE); }

PVOID FatRequestBuffer(PIRP Irp) {
  if (Irp->MdlAddress) return MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority | MdlMappingNoExecute);
  if (Irp->Flags & IRP_BUFFERED_IO) return Irp->AssociatedIrp.SystemBuffer;
  return Irp->UserBuffer;
}

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH &dispatch : Driver->MajorFunction) dispatch = FatDispatch;
  Driver->DriverUnload = FatUnload;
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Fat");
  NTSTATUS status = IoCreateDevice(Driver, 0, &name, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &gFileSystemDevice);
  if (!NT_SUCCESS(status)) return status;
  IoRegisterFileSystem(gFileSystemDevice);
  return STATUS_SUCCESS;
}
