// Host-side control of the Plug and Play and power managers: root devices,
// the device tree as tests and diagnostics see it, removal, and the
// system's power state. Driver code never includes this header.
#pragma once

#if defined(BW_DRIVER_CODE)
#error "driver code reaches the kernel through its public headers only, never the stand-in's host side"
#endif

#include "nt/io.h"
#include "nt/status.h"

#include <string>
#include <vector>

namespace bw {

// Creates a root-enumerated device as setup would install one: the key
// "Enum\Root\<DEVICE>\<NNNN>" (the lowest free NNNN) with HardwareID
// `hardwareId` and Service `service`, then has the PnP manager enumerate the
// root, which starts the device once its service is loaded. <DEVICE> is the
// part of `hardwareId` after "Root\" (else the whole id, '\' as '#').
// *instancePath receives "Root\<DEVICE>\<NNNN>". Returns at once; the start
// runs on the PnP thread (WaitForPnpIdle waits for it).
NTSTATUS CreateRootDevice(std::u16string_view hardwareId, std::u16string_view service,
                          std::u16string *instancePath);
// The same, unless a root device with this hardware id is installed already
// (a machine root that kept its registry): then that one is enumerated.
NTSTATUS EnsureRootDevice(std::u16string_view hardwareId, std::u16string_view service,
                          std::u16string *instancePath);
// Enumerates the root devices the registry lists (the kernel does so at
// boot; devices whose service loads later start then).
void EnumerateRootDevices();

// Waits until the PnP thread has nothing left to do and every queued
// interface notification has been delivered. False on timeout.
bool WaitForPnpIdle(int timeoutMs = 30000);

// Removes a device as a user's "safely remove" does: every stack of its
// subtree is asked (IRP_MN_QUERY_REMOVE_DEVICE) and the removal cancelled
// when one refuses (STATUS_PLUGPLAY_QUERY_VETOED); else the children go and
// the device's stack is removed, its devnode staying as "removed".
// STATUS_NO_SUCH_DEVICE when no devnode has this instance path.
NTSTATUS RemoveDevice(std::u16string_view instancePath);
// Asks the device's stack how it is (IoInvalidateDeviceState) and its bus
// relations again, and waits for both.
NTSTATUS ReenumerateDevice(std::u16string_view instancePath);
// Sends IRP_MN_REMOVE_DEVICE to every devnode, children first, and takes
// them out of the tree (the system's shutdown does this before drivers
// unload).
void RemoveDeviceTree();

struct DevNodeInfo {
  std::u16string instancePath;
  std::u16string parentPath;  // empty for root-enumerated devices
  int depth = 0;              // 1 for root-enumerated devices
  std::u16string deviceId, instanceId;
  std::vector<std::u16string> hardwareIds, compatibleIds;
  std::u16string description, location;
  std::u16string service;     // the function driver's service; empty: raw or none
  std::u16string pdoName;     // "\Device\NNNNNNNN"
  std::string state;          // "started", "no driver", "add failed", "start failed",
                              // "failed", "removed", "enumerated"
  bool rawDeviceOk = false, surpriseRemovalOk = false, uniqueId = false;
  SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
  // What the device above the PDO (else the PDO) last recorded with
  // PoSetPowerState.
  DEVICE_POWER_STATE devicePower = PowerDeviceD0;
};
// The device tree, parents before their children.
std::vector<DevNodeInfo> DevNodes();
// One line per devnode, indented by depth (diagnostics).
std::string DescribeDevNodes();

// Puts the system to sleep (PowerSystemSleeping1..3), hibernates it
// (PowerSystemHibernate) or wakes it (PowerSystemWorking): IRP_MN_SET_POWER
// of the system state to every started devnode, children before parents
// when going down, parents first when waking. Returns once all have
// answered; STATUS_INVALID_PARAMETER for another state.
NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state);
SYSTEM_POWER_STATE CurrentSystemPowerState();

// Device installation, as Windows' Plug and Play service does it for
// setup (pnp_setup.cpp). Devices are root devices: "Root\<NAME>\NNNN"
// keys under Enum. A device whose key has CSConfigFlags with
// CSCONFIGFLAG_DO_NOT_CREATE (4) stays registered but is not enumerated:
// it is not present.
struct RegistryValueData {
  std::u16string name;
  ULONG type = 0;
  std::vector<uint8_t> data;
};
struct RegisteredDevice {
  std::u16string instancePath;
  bool present = false;  // it has a devnode that was not removed
};
std::vector<RegisteredDevice> RegisteredRootDevices();
// A value of the device's key, or (driverKey) of its driver key under
// Control\Class. STATUS_NO_SUCH_DEVICE for a device not registered,
// STATUS_OBJECT_NAME_NOT_FOUND for a value it lacks.
NTSTATUS QueryDeviceValue(std::u16string_view instancePath, bool driverKey, std::u16string_view name,
                          ULONG *type, std::vector<uint8_t> *data);
NTSTATUS SetDeviceValue(std::u16string_view instancePath, const RegistryValueData &value);
// "ROOT\<NAME>\NNNN" with the lowest NNNN not registered yet.
NTSTATUS NewRootInstanceId(std::u16string_view deviceName, std::u16string *instancePath);
// Writes the device's key with `values` and enumerates it (it has no driver
// yet). STATUS_OBJECT_NAME_COLLISION when the key exists.
NTSTATUS RegisterRootDevice(std::u16string_view instancePath,
                            const std::vector<RegistryValueData> &values);
// The device's driver key "{class}\NNNN" under Control\Class (the one its
// Driver value names, else a new one), with `values`; Driver is set to it.
NTSTATUS WriteDriverKey(std::u16string_view instancePath, std::u16string_view classGuid,
                        const std::vector<RegistryValueData> &values, std::u16string *driverKey);
// The key Services\<name> with `values`, as the service control manager
// writes it.
NTSTATUS WriteServiceKey(std::u16string_view name, const std::vector<RegistryValueData> &values);
// (Re)starts an installed device: its devnode goes, its service's driver is
// loaded from the service key when it is not yet, and it is enumerated
// afresh. *started: its stack started.
NTSTATUS StartInstalledDevice(std::u16string_view instancePath, bool *started);
// Removes the device's devnode and, when `global`, its key and driver key
// (else it stays registered, not present). The function driver unloads
// when no other device uses it.
NTSTATUS UninstallDevice(std::u16string_view instancePath, bool global);

}  // namespace bw
