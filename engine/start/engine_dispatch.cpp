// Major-function routines: requests for the control device are answered
// here, every other device of the driver is a volume device.
#include "engine/control/control_device.h"
#include "engine/control/control_request.h"
#include "engine/start/engine.h"
#include "engine/start/engine_start.h"
#include "engine/volume/volume_parts.h"

namespace {

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

BOOLEAN IsControlDevice(PDEVICE_OBJECT Device) { return Device == Engine.ControlDevice; }

NTSTATUS EngineDispatchCreate(PDEVICE_OBJECT Device, PIRP Irp) {
  if (!IsControlDevice(Device)) return VolumeDispatchCreate(Device, Irp);
  return Complete(Irp, STATUS_SUCCESS, FILE_OPENED);
}

NTSTATUS EngineDispatchClose(PDEVICE_OBJECT Device, PIRP Irp) {
  if (!IsControlDevice(Device)) return VolumeDispatchClose(Device, Irp);
  return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS EngineDispatchReadWrite(PDEVICE_OBJECT Device, PIRP Irp) {
  if (!IsControlDevice(Device)) return VolumeDispatchReadWrite(Device, Irp);
  return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

// Control requests run in the requesting thread at passive level.
NTSTATUS EngineDispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp) {
  if (!IsControlDevice(Device)) return VolumeDispatchDeviceControl(Device, Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ControlRequest request;
  request.Irp = Irp;
  request.Buffer = Irp->AssociatedIrp.SystemBuffer;
  request.InputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  request.OutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  request.Information = 0;
  NTSTATUS status = ControlDispatch(stack->Parameters.DeviceIoControl.IoControlCode, &request);
  // A failed request returns no bytes.
  return Complete(Irp, status, NT_ERROR(status) ? 0 : request.Information);
}

NTSTATUS EngineDispatchShutdown(PDEVICE_OBJECT Device, PIRP Irp) {
  if (!IsControlDevice(Device)) return VolumeDispatchShutdown(Device, Irp);
  return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS EngineDispatchPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  if (!IsControlDevice(Device)) return VolumeDispatchPnp(Device, Irp);
  return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

}  // namespace

VOID EngineInstallDispatch(PDRIVER_OBJECT DriverObject) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = EngineDispatchCreate;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = EngineDispatchClose;
  DriverObject->MajorFunction[IRP_MJ_READ] = EngineDispatchReadWrite;
  DriverObject->MajorFunction[IRP_MJ_WRITE] = EngineDispatchReadWrite;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = EngineDispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_SHUTDOWN] = EngineDispatchShutdown;
  DriverObject->MajorFunction[IRP_MJ_PNP] = EngineDispatchPnp;
  DriverObject->DriverUnload = EngineUnload;
}
