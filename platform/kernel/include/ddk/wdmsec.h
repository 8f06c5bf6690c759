// Secured device creation with SDDL strings.
#pragma once

#include "nt/io.h"

NTKERNELAPI NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                                          PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                                          ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                                          PCUNICODE_STRING DefaultSDDLString,
                                          LPCGUID DeviceClassGuid, PDEVICE_OBJECT *DeviceObject);
