#include "engine/start/engine_start.h"

#include "engine/auto/auto_volumes.h"
#include "engine/busclient/bus_connection.h"
#include "engine/control/control_device.h"
#include "engine/start/engine.h"
#include "kernel-support/ks_init.h"
#include "kernel-support/ks_registry.h"
#include "kernel-support/ks_string.h"
#include "engine/system/logon_sessions.h"
#include "engine/control/notifications.h"
#include "engine/volume/volume_device.h"
#include "engine/volume/volume_reaper.h"
#include "engine/volume/volume_table.h"

EngineState Engine;

namespace {

NTSTATUS CreateTables() {
  ExInitializeFastMutex(&Engine.TableMutex);
  ExInitializeFastMutex(&Engine.AutoConfigMutex);
  KeInitializeEvent(&Engine.ReaperEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Engine.AutoVolumesEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&Engine.AutoVolumesWorkDone, NotificationEvent, FALSE);
  NTSTATUS status = ControlNameDigestCompute();
  if (!NT_SUCCESS(status)) return status;
  status = VolumeTableCreate();
  if (!NT_SUCCESS(status)) return status;
  status = NotificationTableCreate();
  if (!NT_SUCCESS(status)) return status;
  status = SeRegisterLogonSessionTerminatedRoutine(EngineLogonSessionTerminated);
  if (!NT_SUCCESS(status)) return status;
  Engine.LogonRoutineRegistered = TRUE;
  return VolumeReaperStart();
}

// Options and Options\Auto under the service key, kept open while the driver runs.
NTSTATUS OpenConfiguration() {
  PUNICODE_STRING optionsPath;
  NTSTATUS status = KsFormatString(&optionsPath, KS_WSTR("%wZ\\Options"), KsServiceKeyPath());
  if (!NT_SUCCESS(status)) return status;
  status = KsCreateKey(&Engine.OptionsKey, nullptr, optionsPath, KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE,
                       nullptr);
  KsFreeString(&optionsPath);
  if (!NT_SUCCESS(status)) return status;
  UNICODE_STRING auto_ = RTL_CONSTANT_STRING(KS_WSTR("Auto"));
  return KsCreateKey(&Engine.AutoKey, Engine.OptionsKey, &auto_, KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE,
                     nullptr);
}

VOID CloseKey(HANDLE *Key) {
  if (*Key) ZwClose(*Key);
  *Key = nullptr;
}

// Undoes whatever part of start-up has happened, in reverse order.
VOID ReleaseEverything() {
  WaitForAutoVolumeCreation();
  // Flushes under way use their volume and the control device's work items.
  VolumeFlushGateCloseAndWait();
  VolumeReaperStop();
  ControlDeviceDelete();
  VolumeTableDestroy();
  NotificationTableDestroy();
  if (Engine.LogonRoutineRegistered) {
    SeUnregisterLogonSessionTerminatedRoutine(EngineLogonSessionTerminated);
    Engine.LogonRoutineRegistered = FALSE;
  }
  CloseKey(&Engine.AutoKey);
  CloseKey(&Engine.OptionsKey);
  BusDisconnect();
  KsUninitialize();
}

}  // namespace

NTSTATUS EngineStart(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  RtlZeroMemory(&Engine, sizeof(Engine));
  Engine.DriverObject = DriverObject;
  VolumeFlushGateOpen();
  NTSTATUS status = KsInitialize(DriverObject, RegistryPath);
  if (!KsInitializeSucceeded(status)) {
    KsUninitialize();
    return status;
  }
  status = ControlDeviceCreate(DriverObject);
  if (NT_SUCCESS(status)) status = CreateTables();
  if (NT_SUCCESS(status)) status = OpenConfiguration();
  if (NT_SUCCESS(status)) status = BusConnect();
  if (NT_SUCCESS(status)) {
    EngineInstallDispatch(DriverObject);
    // Old entries that cannot be converted stay where they are; start goes on.
    ConvertLegacyAutoVolumes();
    status = QueueAutoVolumeCreation();
  }
  if (!NT_SUCCESS(status)) {
    ReleaseEverything();
    DriverObject->DriverUnload = nullptr;
    return status;
  }
  return STATUS_SUCCESS;
}

VOID EngineUnload(PDRIVER_OBJECT) { ReleaseEverything(); }
