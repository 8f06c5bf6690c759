// The PnP and power IRPs the managers send: to the top of a device's stack,
// started at STATUS_NOT_SUPPORTED so that a stack that leaves one alone is
// seen as not handling it, and waited for.
#include "pnp/pnp_internal.h"
#include "internal.h"
#include "io/io_internal.h"

namespace bw {

namespace {

NTSTATUS SendAndWait(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)> &setup,
                     ULONG_PTR *information) {
  if (information) *information = 0;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = AllocateCallerIrp(top, &event, &iosb);
  if (!irp) {
    ObfDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->MinorFunction = minor;
  if (setup) setup(stack);
  // Completion has filled iosb by the time the wait returns.
  CallAndWait(top, irp, &event, &iosb);
  if (information) *information = iosb.Information;
  ObfDereferenceObject(top);
  return iosb.Status;
}

}  // namespace

NTSTATUS SendPnpIrp(PDEVICE_OBJECT device, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)> &setup, ULONG_PTR *information) {
  return SendAndWait(device, IRP_MJ_PNP, minor, setup, information);
}

NTSTATUS SendPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                      ULONG action) {
  return SendAndWait(
      device, IRP_MJ_POWER, minor,
      [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.Power.SystemContext = 0;
        stack->Parameters.Power.Type = type;
        stack->Parameters.Power.State = state;
        stack->Parameters.Power.ShutdownType = action;
      },
      nullptr);
}

}  // namespace bw
