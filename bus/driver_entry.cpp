// The entry point the system calls when it loads the virtual disk bus.
#include "bus/bus.h"

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  return BusStart(DriverObject, RegistryPath);
}
