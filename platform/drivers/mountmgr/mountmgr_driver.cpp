// The mount manager's driver: "\Device\MountPointManager" with its link
// "\??\MountPointManager", and the dispatch of its requests. Everyone may
// open it for querying; the requests that change points need a handle
// with read and write access, which only administrators and SYSTEM get.
#include "platform/drivers/mountmgr/mountmgr.h"

#include <wdmsec.h>

using namespace mountmgr;

namespace {

PDEVICE_OBJECT gDevice;

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = NT_ERROR(Status) ? 0 : Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS MountMgrOpenClose(PDEVICE_OBJECT, PIRP Irp) { return Complete(Irp, STATUS_SUCCESS, 0); }

// Buffered requests: input and output share the system buffer, so each
// record is read whole before any reply is written.
NTSTATUS MountMgrDeviceControl(PDEVICE_OBJECT, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  void *buffer = Irp->AssociatedIrp.SystemBuffer;
  ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG_PTR information = 0;
  NTSTATUS status;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION: {
      std::u16string device;
      status = ParseTargetName(buffer, inputLength, &device);
      if (NT_SUCCESS(status)) status = VolumeArrival(device, false);
      break;
    }
    case IOCTL_MOUNTMGR_CREATE_POINT: {
      std::u16string link, device;
      status = ParseCreatePoint(buffer, inputLength, &link, &device);
      if (NT_SUCCESS(status)) status = CreatePoint(link, device);
      break;
    }
    case IOCTL_MOUNTMGR_QUERY_POINTS:
    case IOCTL_MOUNTMGR_DELETE_POINTS: {
      PointFilter filter;
      status = ParseMountPoint(buffer, inputLength, &filter);
      if (NT_SUCCESS(status) && outputLength < sizeof(MOUNTMGR_MOUNT_POINTS)) status = STATUS_INVALID_PARAMETER;
      std::vector<Point> points;
      if (NT_SUCCESS(status))
        status = stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_MOUNTMGR_QUERY_POINTS
                     ? QueryPoints(filter, &points)
                     : DeletePoints(filter, &points);
      if (NT_SUCCESS(status)) status = WritePoints(points, buffer, outputLength, &information);
      if (status == STATUS_BUFFER_OVERFLOW) return Complete(Irp, status, information);
      break;
    }
    case IOCTL_MOUNTMGR_DELETE_POINTS_DBONLY: {
      PointFilter filter;
      status = ParseMountPoint(buffer, inputLength, &filter);
      if (NT_SUCCESS(status)) status = DeletePointsFromDatabase(filter);
      break;
    }
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  return Complete(Irp, status, information);
}

VOID MountMgrUnload(PDRIVER_OBJECT) {
  StopWatchingVolumeInterfaces();
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\MountPointManager");
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(gDevice);
  gDevice = nullptr;
  ForgetVolumes();
}

}  // namespace

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  Driver->MajorFunction[IRP_MJ_CREATE] = MountMgrOpenClose;
  Driver->MajorFunction[IRP_MJ_CLEANUP] = MountMgrOpenClose;
  Driver->MajorFunction[IRP_MJ_CLOSE] = MountMgrOpenClose;
  Driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = MountMgrDeviceControl;
  Driver->DriverUnload = MountMgrUnload;
  UNICODE_STRING name = RTL_CONSTANT_STRING(MOUNTMGR_DEVICE_NAME);
  UNICODE_STRING sddl = RTL_CONSTANT_STRING(u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;WD)");
  NTSTATUS status = IoCreateDeviceSecure(Driver, 0, &name, FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE,
                                         &sddl, nullptr, &gDevice);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\MountPointManager");
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(gDevice);
    gDevice = nullptr;
    return status;
  }
  InitializeVolumes();
  gDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  status = WatchVolumeInterfaces(Driver);
  if (!NT_SUCCESS(status)) {
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(gDevice);
    gDevice = nullptr;
    ForgetVolumes();
  }
  return status;
}
