#include "engine/control/control_device.h"

#include "engine/start/engine.h"
#include "engine/protocol/engine_protocol.h"
#include "kernel-support/ks_checksum.h"
#include "kernel-support/ks_device.h"
#include "kernel-support/ks_symlink.h"

NTSTATUS ControlDeviceCreate(PDRIVER_OBJECT DriverObject) {
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, ENGINE_DEVICE_NAME);
  RtlInitUnicodeString(&link, ENGINE_SYMBOLIC_LINK_NAME);
  NTSTATUS status = KsCreateDevice(DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                   KsDeviceUsersFullAccess, &Engine.ControlDevice);
  if (!NT_SUCCESS(status)) return status;
  status = KsCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) return status;
  Engine.LinkCreated = TRUE;
  Engine.ControlDevice->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID ControlDeviceDelete() {
  if (Engine.LinkCreated) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, ENGINE_SYMBOLIC_LINK_NAME);
    KsDeleteSymbolicLink(&link);
    Engine.LinkCreated = FALSE;
  }
  if (Engine.ControlDevice) {
    IoDeleteDevice(Engine.ControlDevice);
    Engine.ControlDevice = nullptr;
  }
}

NTSTATUS ControlNameDigestCompute() {
  return KsSha512(ENGINE_DEVICE_NAME, sizeof(ENGINE_DEVICE_NAME) - sizeof(WCHAR), Engine.ControlNameDigest);
}
