// The NTFS file system driver: its file-system device "\Ntfs", registered
// so that the I/O manager offers it every disk volume before FAT and raw,
// and the dispatch of requests on the volume devices it mounts.
#include "platform/drivers/ntfs/ntfs_volume.h"

namespace {

PDEVICE_OBJECT gFileSystemDevice;

NtfsVolume *VolumeOf(PDEVICE_OBJECT Device) {
  return Device == gFileSystemDevice ? nullptr : static_cast<NtfsVolume *>(Device->DeviceExtension);
}

NTSTATUS FileSystemDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return NtfsComplete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      if (stack->MinorFunction == IRP_MN_MOUNT_VOLUME) return NtfsMountVolume(Device->DriverObject, Irp);
      if (stack->MinorFunction == IRP_MN_VERIFY_VOLUME) return NtfsVerifyVolume(Irp);
      return NtfsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    default:
      return NtfsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS NtfsDispatch(PDEVICE_OBJECT Device, PIRP Irp) {
  NtfsVolume *volume = VolumeOf(Device);
  if (!volume) return FileSystemDispatch(Device, Irp);
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
    return NtfsComplete(Irp, STATUS_VOLUME_DISMOUNTED, 0);
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
      return NtfsPassDown(volume, Irp);
    default:
      return NtfsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

VOID NtfsUnload(PDRIVER_OBJECT) {
  IoUnregisterFileSystem(gFileSystemDevice);
  IoDeleteDevice(gFileSystemDevice);
  gFileSystemDevice = nullptr;
}

}  // namespace

NTSTATUS NtfsComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = NT_ERROR(Status) ? 0 : Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

VOID NtfsEnter(NtfsVolume *Volume) { KeWaitForSingleObject(&Volume->Lock, Executive, KernelMode, FALSE, nullptr); }

VOID NtfsLeave(NtfsVolume *Volume) { KeSetEvent(&Volume->Lock, IO_NO_INCREMENT, FALSE); }

PVOID NtfsRequestBuffer(PIRP Irp) {
  if (Irp->MdlAddress) return MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority | MdlMappingNoExecute);
  if (Irp->Flags & IRP_BUFFERED_IO) return Irp->AssociatedIrp.SystemBuffer;
  return Irp->UserBuffer;
}

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  for (PDRIVER_DISPATCH &dispatch : Driver->MajorFunction) dispatch = NtfsDispatch;
  Driver->DriverUnload = NtfsUnload;
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Ntfs");
  NTSTATUS status = IoCreateDevice(Driver, 0, &name, FILE_DEVICE_DISK_FILE_SYSTEM, 0, FALSE, &gFileSystemDevice);
  if (!NT_SUCCESS(status)) return status;
  IoRegisterFileSystem(gFileSystemDevice);
  return STATUS_SUCCESS;
}
