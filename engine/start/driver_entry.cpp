// The entry point the system calls when it loads the volume engine.
#include "engine/start/engine_start.h"

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  return EngineStart(DriverObject, RegistryPath);
}
