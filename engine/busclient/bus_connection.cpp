#include "engine/busclient/bus_connection.h"

#include "engine/start/engine.h"
#include "kernel-support/ks_file.h"
#include "kernel-support/ks_object.h"

NTSTATUS BusConnect() {
  BusHandoffInitialize();
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, BUS_CONTROL_DEVICE_NAME);
  NTSTATUS status = KsGetDeviceObject(&name, FILE_READ_DATA | FILE_WRITE_DATA, &Engine.BusFileObject,
                                      &Engine.BusDevice);
  if (!NT_SUCCESS(status)) return status;

  EngineInterface registration;
  RtlZeroMemory(&registration, sizeof(registration));
  registration.EventRoutine = BusRoutineToField(VolumeBusEvent);
  registration.ReadRoutine = BusRoutineToField(VolumeBusRead);
  registration.WriteRoutine = BusRoutineToField(VolumeBusWrite);
  registration.QueryRoutine = BusRoutineToField(VolumeBusQuery);
  IO_STATUS_BLOCK iosb;
  status = KsDeviceControl(Engine.BusDevice, IOCTL_BUS_REGISTER_ENGINE, &registration, sizeof(registration),
                           nullptr, 0, TRUE, &iosb);
  // The registration has no reply; one that claims output is not our bus.
  if (NT_SUCCESS(status) && iosb.Information != 0) status = STATUS_DEVICE_DATA_ERROR;
  if (!NT_SUCCESS(status)) BusDisconnect();
  return status;
}

VOID BusDisconnect() {
  KsReleaseObject(&Engine.BusFileObject);
  Engine.BusDevice = nullptr;
}
