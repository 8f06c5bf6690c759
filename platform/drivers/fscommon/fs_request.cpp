// Completing requests, finding their buffers and handing them to the
// device beneath a volume.
#include "platform/drivers/fscommon/fs_volume.h"

namespace {

IO_COMPLETION_ROUTINE SignalCompletion;
NTSTATUS SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

NTSTATUS FsComplete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = NT_ERROR(Status) ? 0 : Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

PVOID FsRequestBuffer(PIRP Irp) {
  if (Irp->MdlAddress)
    return MmGetSystemAddressForMdlSafe(Irp->MdlAddress, NormalPagePriority | MdlMappingNoExecute);
  if (Irp->Flags & IRP_BUFFERED_IO) return Irp->AssociatedIrp.SystemBuffer;
  return Irp->UserBuffer;
}

NTSTATUS FsForwardAndWait(FsVolume *Volume, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Volume->Target, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = Irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS FsPassDown(FsVolume *Volume, PIRP Irp) {
  IoCopyCurrentIrpStackLocationToNext(Irp);
  return IoCallDriver(Volume->Target, Irp);
}

NTSTATUS FsFileSystemDeviceDispatch(PDEVICE_OBJECT Device, PIRP Irp,
                                    NTSTATUS (*Mount)(PDRIVER_OBJECT Driver, PIRP Irp),
                                    NTSTATUS (*Verify)(PIRP Irp)) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
      return FsComplete(Irp, STATUS_SUCCESS, 0);
    case IRP_MJ_FILE_SYSTEM_CONTROL:
      if (stack->MinorFunction == IRP_MN_MOUNT_VOLUME) return Mount(Device->DriverObject, Irp);
      if (stack->MinorFunction == IRP_MN_VERIFY_VOLUME && Verify) return Verify(Irp);
      return FsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    default:
      return FsComplete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}
