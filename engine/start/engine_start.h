// Driver start and unload of the volume engine.
#pragma once

#include "kernel-support/kernel.h"

NTSTATUS EngineStart(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
DRIVER_UNLOAD EngineUnload;
