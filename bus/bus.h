// The virtual disk bus driver's devices and driver-wide state.
#pragma once

#include "kernel-support/kernel.h"
#include "bus/protocol/bus_protocol.h"

// Every device extension of the driver starts with this header.
struct BusDeviceHeader {
  UCHAR Kind;
  UCHAR Flags;
};
constexpr UCHAR BUS_KIND_CONTROL = 0;
constexpr UCHAR BUS_KIND_BUS = 1;
constexpr UCHAR BUS_KIND_DISK = 2;
constexpr UCHAR BUS_DEVICE_FLAG_CONTROL = 0x01;

struct BusControlExtension {
  BusDeviceHeader Header;
};

struct BusFdoExtension {
  BusDeviceHeader Header;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT LowerDevice;
  PDEVICE_OBJECT RootDevice;
};

struct BusState {
  PDEVICE_OBJECT ControlDevice;
  PDEVICE_OBJECT BusDevice;  // the one functional bus device, once added
  FAST_MUTEX Mutex;          // guards BusDevice (and later the child list)
  KSPIN_LOCK EngineLock;     // guards EngineRoutines
  EngineInterface EngineRoutines;
  BOOLEAN EngineRegistered;
};

extern BusState Bus;

// The bus mutex is held at passive level inside a critical region, so that
// devices can be created and attached under it.
inline VOID BusLock() {
  KeEnterCriticalRegion();
  ExAcquireFastMutexUnsafe(&Bus.Mutex);
}
inline VOID BusUnlock() {
  ExReleaseFastMutexUnsafe(&Bus.Mutex);
  KeLeaveCriticalRegion();
}

inline BusDeviceHeader *BusHeaderOf(PDEVICE_OBJECT Device) {
  return static_cast<BusDeviceHeader *>(Device->DeviceExtension);
}

NTSTATUS BusStart(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
DRIVER_UNLOAD BusUnload;
DRIVER_ADD_DEVICE BusAddDevice;

// Requests for the control device.
DRIVER_DISPATCH BusControlDispatch;
// Requests for the bus device: Plug and Play, power and the rest.
DRIVER_DISPATCH BusFdoPnp;
DRIVER_DISPATCH BusFdoPower;
DRIVER_DISPATCH BusFdoPassDown;
DRIVER_DISPATCH BusFdoOpenClose;

NTSTATUS BusCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
