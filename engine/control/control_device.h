// The engine's control device "\Device\BrimwellVolume" and its link.
#pragma once

#include "kernel-support/kernel.h"

NTSTATUS ControlDeviceCreate(PDRIVER_OBJECT DriverObject);
VOID ControlDeviceDelete();
// SHA-512 of the control device's name, an input to every volume's unique id.
NTSTATUS ControlNameDigestCompute();

// Installs the engine's dispatch routines on the driver object.
VOID EngineInstallDispatch(PDRIVER_OBJECT DriverObject);
