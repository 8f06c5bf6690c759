// The test bus (pnpbus.sys) and function driver (pnpfunc.sys) the PnP
// manager's tests load, and the hooks tests reach them by.
#pragma once

#include <ntddk.h>

// A child the test bus presents. Ids are multi-strings ("A\0B\0\0").
struct PnpTestChild {
  WCHAR hardwareIds[96];
  WCHAR compatibleIds[96];
  WCHAR instanceId[16];
  char name[16];  // its location text and log name
  ULONG flags;
};
#define PNPTEST_RAW_OK 0x01
#define PNPTEST_SURPRISE_OK 0x02
#define PNPTEST_UNIQUE_ID 0x04
#define PNPTEST_EJECT_OK 0x08
#define PNPTEST_PDO_FAILS_START 0x10
#define PNPTEST_NO_DEVICE_ID 0x20

// Every PnP and power IRP either driver sees: who ("bus root", "pdo c1",
// "func c1"), then what ("START", "REMOVE", "SET_POWER S4" ...).
typedef void PnpTestLog(const char *who, const char *what);

// The interface class the function driver registers on its PDO.
DEFINE_GUID(GUID_PNPTEST_INTERFACE, 0x1b4a7d2e, 0x9c31, 0x4f0e, 0x8a, 0x52, 0x3d, 0x6e, 0x71, 0x0c, 0x9b, 0x44);

// Hooks of pnpbus.sys.
// A new child of bus `parent` (0: the first bus on a root device, else the
// id of a child whose own function driver is this bus); the bus asks the PnP
// manager to enumerate again. Returns the child's id (1, 2 ...), 0 when
// there is no such bus.
typedef ULONG PnpBusPlugFn(ULONG parent, const PnpTestChild *child);
// The child leaves its bus (reported missing at the next enumeration).
typedef void PnpBusUnplugFn(ULONG id);
// What the child answers to IRP_MN_QUERY_PNP_DEVICE_STATE; the bus tells the
// PnP manager (IoInvalidateDeviceState).
typedef void PnpBusSetStateFn(ULONG id, ULONG pnpState);
typedef void PnpBusEjectFn(ULONG id);
typedef PDEVICE_OBJECT PnpBusPdoFn(ULONG id);
// Bus behaviour: refuse AddDevice; refuse query-remove of bus FDOs.
typedef void PnpBusConfigureFn(BOOLEAN refuseAdd, BOOLEAN vetoRemove);

// Function driver behaviour is chosen by the child's hardware ids: one that
// holds "PNPTEST\RefuseAdd" is refused at AddDevice, "PNPTEST\FailStart"
// fails its start, "PNPTEST\Veto" refuses query-remove; "PNPTEST\HoldLock"
// makes its FDO take its remove lock at start, so that removal waits until
// PnpFuncReleaseHeld.
typedef void PnpFuncReleaseHeldFn(void);
// How many of the function driver's FDOs exist.
typedef ULONG PnpFuncDeviceCountFn(void);
