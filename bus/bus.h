// The virtual disk bus driver's devices and driver-wide state.
#pragma once

#include "kernel-support/kernel.h"
#include "kernel-support/ks_alloc.h"
#include "bus/protocol/bus_protocol.h"

#include <ntdddisk.h>

// Every device extension of the driver starts with this header.
struct BusDeviceHeader {
  UCHAR Kind;
  UCHAR Flags;
};
constexpr UCHAR BUS_KIND_CONTROL = 0;
constexpr UCHAR BUS_KIND_BUS = 1;
constexpr UCHAR BUS_KIND_DISK = 2;
constexpr UCHAR BUS_DEVICE_FLAG_CONTROL = 0x01;

// The bus's device interface and bus type: {410BD25B-6960-4D94-A160-DFBC9599C506}.
inline constexpr GUID BUS_INTERFACE_GUID = {0x410BD25B, 0x6960, 0x4D94,
                                            {0xA1, 0x60, 0xDF, 0xBC, 0x95, 0x99, 0xC5, 0x06}};

// Pool tags of the driver.
constexpr ULONG BUS_TAG_RELATIONS = KsTag("Brel");  // device relations handed to the PnP manager
constexpr ULONG BUS_TAG_PNP_REPLY = KsTag("Bpnp");  // ids, texts and bus information
constexpr ULONG BUS_TAG_REMOVE_LOCK = KsTag("Brlk");
constexpr ULONG BUS_TAG_SNAPSHOT = KsTag("Bsnp");   // children referenced outside the bus mutex
constexpr ULONG BUS_TAG_TRANSFER = KsTag("Bxfr");   // transfers deferred to a work item

struct BusControlExtension {
  BusDeviceHeader Header;
};

// Plug and Play states of the bus device and of the children.
constexpr UCHAR BUS_PNP_NOT_STARTED = 0;
constexpr UCHAR BUS_PNP_STARTED = 1;
constexpr UCHAR BUS_PNP_STOP_PENDING = 2;
constexpr UCHAR BUS_PNP_STOPPED = 3;
constexpr UCHAR BUS_PNP_REMOVE_PENDING = 4;
constexpr UCHAR BUS_PNP_SURPRISE_REMOVED = 5;
constexpr UCHAR BUS_PNP_DELETED = 6;

struct BusFdoExtension {
  BusDeviceHeader Header;
  UCHAR PnpState;
  UCHAR PreviousPnpState;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT LowerDevice;
  PDEVICE_OBJECT RootDevice;
  LIST_ENTRY Children;  // VirtualDisk.Link, under the bus mutex
  ULONG ChildCounter;   // the next disk ordinal, never reused
  KEVENT StartedEvent;
  UNICODE_STRING InterfaceName;
  BOOLEAN ShutdownRegistered;
};

// Child state flags.
constexpr LONG BUS_DISK_STATE_ONLINE = 0x01;
constexpr LONG BUS_DISK_STATE_REMOVED = 0x02;  // gone from the bus; set under the bus mutex
constexpr LONG BUS_DISK_STATE_NUMBER_KNOWN = 0x08;

// A child disk: the physical device object the disk class driver sits on.
struct VirtualDisk {
  BusDeviceHeader Header;
  UCHAR PnpState;
  UCHAR PreviousPnpState;
  ULONG DevicePowerState;
  ULONG SystemPowerState;
  IO_REMOVE_LOCK RemoveLock;
  ULONG DiskFlags;  // BUS_DISK_...
  ULONG64 EngineContext;
  ULONG Ordinal;
  ULONG DiskNumber;
  volatile LONG StateFlags;  // BUS_DISK_STATE_...
  ULONG64 Size;
  USHORT SectorSize;
  ULONG MaximumTransfer;
  ULONG MaximumPhysicalPages;
  DISK_GEOMETRY Geometry;
  KEVENT StartedEvent;
  PDEVICE_OBJECT Self;
  LIST_ENTRY Link;  // in BusFdoExtension.Children
};

struct BusState {
  PDEVICE_OBJECT ControlDevice;
  PDEVICE_OBJECT BusDevice;  // the one functional bus device, once added
  FAST_MUTEX Mutex;          // guards BusDevice, the child list, the counter and the removed flags
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
inline BusFdoExtension *BusFdoOf(PDEVICE_OBJECT Device) {
  return static_cast<BusFdoExtension *>(Device->DeviceExtension);
}
inline VirtualDisk *BusDiskOf(PDEVICE_OBJECT Device) { return static_cast<VirtualDisk *>(Device->DeviceExtension); }

inline BOOLEAN BusDiskHasState(const VirtualDisk *Disk, LONG Flag) {
  return (ReadAcquire(&Disk->StateFlags) & Flag) != 0;
}
inline BOOLEAN BusDiskRemoved(const VirtualDisk *Disk) { return BusDiskHasState(Disk, BUS_DISK_STATE_REMOVED); }
inline BOOLEAN BusDiskRemovable(const VirtualDisk *Disk) { return (Disk->DiskFlags & BUS_DISK_REMOVABLE) != 0; }

inline VOID BusSetPnpState(UCHAR *State, UCHAR *Previous, UCHAR NewState) {
  *Previous = *State;
  *State = NewState;
}

NTSTATUS BusStart(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
DRIVER_UNLOAD BusUnload;
DRIVER_ADD_DEVICE BusAddDevice;

// Requests for the control device.
DRIVER_DISPATCH BusControlDispatch;
// Requests for the bus device: Plug and Play, power, shutdown and the rest.
DRIVER_DISPATCH BusFdoPnp;
DRIVER_DISPATCH BusFdoPower;
DRIVER_DISPATCH BusFdoShutdown;
DRIVER_DISPATCH BusFdoPassDown;
DRIVER_DISPATCH BusFdoOpenClose;
// Bus relations: the children not marked removed, appended to the request's.
NTSTATUS BusFdoQueryBusRelations(BusFdoExtension *Fdo, PIRP Irp);
// Deletes every child still on the bus (the bus device goes).
VOID BusFdoDeleteChildren(BusFdoExtension *Fdo);

// Engine-to-bus requests on the control device.
NTSTATUS BusAddDisk(PIRP Irp, PIO_STACK_LOCATION Stack);
NTSTATUS BusRemoveDisk(PIRP Irp, PIO_STACK_LOCATION Stack);
NTSTATUS BusQueryDisk(PIRP Irp, PIO_STACK_LOCATION Stack);
// Marks a child gone from the bus and asks for enumeration (bus mutex not held).
VOID BusMarkDiskRemoved(VirtualDisk *Disk);
// Waits (up to 10 s) for the disk interface of Child and learns its disk number.
NTSTATUS BusLearnDiskNumber(VirtualDisk *Disk);

// Requests for a child.
DRIVER_DISPATCH BusPdoPnp;
DRIVER_DISPATCH BusPdoPower;
DRIVER_DISPATCH BusPdoCreate;
DRIVER_DISPATCH BusPdoReadWrite;
DRIVER_DISPATCH BusPdoFlush;
DRIVER_DISPATCH BusPdoDeviceControl;
DRIVER_DISPATCH BusPdoScsi;
DRIVER_DISPATCH BusPdoSystemControl;

// Child Plug and Play answers built from the child's record.
NTSTATUS BusPdoQueryCapabilities(VirtualDisk *Disk, PIO_STACK_LOCATION Stack);
NTSTATUS BusPdoQueryId(VirtualDisk *Disk, PIRP Irp, PIO_STACK_LOCATION Stack);
NTSTATUS BusPdoQueryDeviceText(PIRP Irp, PIO_STACK_LOCATION Stack);
NTSTATUS BusPdoQueryBusInformation(PIRP Irp);
NTSTATUS BusPdoQueryTargetRelation(VirtualDisk *Disk, PIRP Irp);

// Storage answers of a child's device controls.
NTSTATUS BusPdoQueryProperty(VirtualDisk *Disk, PIRP Irp, PIO_STACK_LOCATION Stack, ULONG_PTR *Information);
NTSTATUS BusPdoGeometryEx(VirtualDisk *Disk, PIRP Irp, ULONG OutputLength, ULONG_PTR *Information);

// SCSI commands of a child that answer from its record (INQUIRY, MODE SENSE,
// READ CAPACITY): each fills Buffer of Length bytes, sets *Produced and
// returns the SRB status.
UCHAR BusScsiInquiry(VirtualDisk *Disk, PUCHAR Buffer, ULONG Length, ULONG *Produced);
UCHAR BusScsiModeSense(VirtualDisk *Disk, const UCHAR *Cdb, PUCHAR Buffer, ULONG Length, ULONG *Produced);
UCHAR BusScsiReadCapacity(VirtualDisk *Disk, BOOLEAN Long, PUCHAR Buffer, ULONG Length, ULONG *Produced);
// READ and WRITE (10 and 16): completes the request itself, through a work
// item above APC level; the child's remove lock is released when it completes.
NTSTATUS BusScsiTransfer(VirtualDisk *Disk, PIRP Irp, struct _SCSI_REQUEST_BLOCK *Srb);

// Calls into the engine. Each refuses a child marked removed with
// STATUS_DELETE_PENDING and an engine that registered no such routine with
// STATUS_DEVICE_NOT_READY.
NTSTATUS BusEngineEvent(VirtualDisk *Disk, ULONG Code, ULONG64 Argument);
NTSTATUS BusEngineRead(VirtualDisk *Disk, ULONG64 Offset, ULONG Length, PVOID Buffer, PIO_STATUS_BLOCK IoStatus);
NTSTATUS BusEngineWrite(VirtualDisk *Disk, ULONG64 Offset, ULONG Length, PVOID Buffer, PIO_STATUS_BLOCK IoStatus);
NTSTATUS BusEngineQuery(VirtualDisk *Disk, ULONG Type, PVOID Reply);
// Whether the engine reports the disk busy; a failed query counts as not busy.
BOOLEAN BusEngineDiskBusy(VirtualDisk *Disk);

NTSTATUS BusCompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
// The system address of a request's MDL (mapped when needed), or null.
PVOID BusMdlSystemAddress(PMDL Mdl);

// The children not marked removed, each referenced, taken under the bus
// mutex: a pool array (BUS_TAG_SNAPSHOT) of *Count devices, null when none.
NTSTATUS BusSnapshotChildren(BusFdoExtension *Fdo, PDEVICE_OBJECT **Children, ULONG *Count);
VOID BusFreeSnapshot(PDEVICE_OBJECT *Children, ULONG Count);

// Completes an SRB request: SRB status, SCSI status 0, the bytes produced in
// both the SRB and the request.
NTSTATUS BusCompleteSrb(PIRP Irp, struct _SCSI_REQUEST_BLOCK *Srb, UCHAR SrbStatus, NTSTATUS Status, ULONG Bytes);
// The system address of an SRB's data: inside the request's MDL at the
// SRB's DataBuffer (Length bytes must fit), or the DataBuffer itself when
// a kernel caller sent no MDL. STATUS_INVALID_PARAMETER when it does not fit.
NTSTATUS BusSrbDataBuffer(PIRP Irp, struct _SCSI_REQUEST_BLOCK *Srb, ULONG Length, PVOID *Buffer);
