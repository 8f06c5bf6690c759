// Device creation, secured by SDDL when the device can be opened by name.
#pragma once

#include "kernel-support/kernel.h"

enum KS_DEVICE_ACCESS {
  KsDeviceUsersFullAccess,  // "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;BU)"
  KsDeviceUsersReadOnly,    // "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GR;;;BU)"
};

extern const UNICODE_STRING KsSddlUsersFullAccess;
extern const UNICODE_STRING KsSddlUsersReadOnly;

// Named devices, devices with generated names and devices that must be
// secure-opened get the security descriptor of Access; others are created
// plainly.
NTSTATUS KsCreateDevice(PDRIVER_OBJECT DriverObject, ULONG ExtensionSize, PCUNICODE_STRING Name,
                        DEVICE_TYPE Type, ULONG Characteristics, BOOLEAN Exclusive,
                        KS_DEVICE_ACCESS Access, PDEVICE_OBJECT *Device);
