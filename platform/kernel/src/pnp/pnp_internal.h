// The Plug and Play manager's own state: the device tree, its worker thread,
// the IRPs it sends, device interfaces and their notifications.
#pragma once

#include <wdm.h>
#include "config/registry_store.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bw {

enum class DevNodeState {
  Enumerated,   // reported, not yet given a driver
  NoDriver,     // no function driver loaded for it (waits for one) and not raw
  AddFailed,    // the function driver's AddDevice refused it
  Started,
  StartFailed,  // its start failed: its stack was removed
  Failed,       // it said PNP_DEVICE_FAILED: its stack was removed
  Removed,      // removed on request (eject, host removal), still reported
};
const char *StateName(DevNodeState state);

struct DevNode {
  PDEVICE_OBJECT pdo = nullptr;  // referenced; null for the tree's root
  DevNode *parent = nullptr;
  std::vector<std::unique_ptr<DevNode>> children;
  DevNodeState state = DevNodeState::Enumerated;
  bool rootEnumerated = false;
  std::u16string deviceId, instanceId, instancePath;
  std::vector<std::u16string> hardwareIds, compatibleIds;
  std::u16string description, location;
  DEVICE_CAPABILITIES caps{};
  bool hasBusInformation = false;
  PNP_BUS_INFORMATION busInformation{};
  std::u16string service;                // the matched function driver's service, if any
  PDRIVER_OBJECT functionDriver = nullptr;  // referenced while the stack is built
  PNP_DEVICE_STATE deviceState = 0;
  SYSTEM_POWER_STATE systemPower = PowerSystemWorking;
};

// Guards the tree and every devnode's fields. The PnP thread alone changes
// the tree's shape; others read it under this lock.
std::mutex &PnpLock();
DevNode &TreeRoot();
// The devnode whose PDO is `device` (or lies at the bottom of its stack);
// null when none. Under PnpLock.
DevNode *DevNodeOf(PDEVICE_OBJECT device);
void SetDevNodeOf(PDEVICE_OBJECT pdo, DevNode *node);
DevNode *FindDevNode(std::u16string_view instancePath);  // under PnpLock

// The PnP thread: work runs there one item at a time, at passive level.
void QueuePnpWork(std::function<void()> work);
// Runs `work` on the PnP thread and returns when it has (runs it directly
// when called there).
void RunOnPnpThread(const std::function<void()> &work);
bool OnPnpThread();
void PnpThreadsStart();
void PnpThreadsStop();
bool WaitPnpQueueIdle(int timeoutMs);

// PnP IRPs, sent to the top of `device`'s stack and waited for. The IRP
// starts with STATUS_NOT_SUPPORTED; `setup` fills the stack location.
NTSTATUS SendPnpIrp(PDEVICE_OBJECT device, UCHAR minor,
                    const std::function<void(PIO_STACK_LOCATION)> &setup, ULONG_PTR *information);
NTSTATUS SendPowerIrp(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                      ULONG action);

// Reading a new PDO: ids, capabilities, text, bus information
// (pnp_query.cpp). False when the device id cannot be had.
bool QueryDeviceFacts(DevNode &node);
// The multi-string reply of a query as strings.
std::vector<std::u16string> MultiStringList(const WCHAR *list);

inline const std::u16string kEnumKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
// Creates every missing key of an absolute path below \Registry\Machine.
NTSTATUS CreateRegistryPath(std::u16string_view path, RegistryStore::KeyRef *key);

// Driver matching (pnp_match.cpp): the service for a devnode, empty when
// none is known; a referenced driver object when that service is loaded.
std::u16string MatchService(const DevNode &node);
void WriteCriticalDevices();

// Building and starting stacks, enumeration and removal (pnp_start.cpp).
void ProcessNewDevNode(DevNode &node);
void EnumerateDevNode(DevNode &node);
// Asks a started device how it is (IRP_MN_QUERY_PNP_DEVICE_STATE); one that
// says it failed or went away loses its stack.
void RefreshDeviceState(DevNode &node);
// Removes a devnode's stack (children first). `keep`: the devnode stays in
// the tree with `finalState`; else it is taken out and freed.
void RemoveDevNode(DevNode *node, bool keep, DevNodeState finalState, bool surprise);
// Asks the subtree whether it may go; cancels what agreed when one refuses.
bool QueryRemoveSubtree(DevNode &node);
void RetryDevNodesOfService(std::u16string_view service);
void RemoveDevNodesOfDriver(PDRIVER_OBJECT driver);
void RemoveWholeTree();
// The loader's hooks: a service was loaded; a driver is about to unload.
void PnpDriverLoaded(std::u16string_view service);
void PnpDriverUnloading(PDRIVER_OBJECT driver);
// Whether any device of `node`'s stack belongs to `driver`.
bool StackUses(const DevNode &node, PDRIVER_OBJECT driver);

// Root enumeration (pnp_root.cpp).
void RootEnumeratorInit();
void RootEnumeratorShutdown();
void EnumerateRoot();
// A fresh PDO for a root device (referenced once for the caller).
PDEVICE_OBJECT CreateRootPdo(std::u16string_view deviceId, std::u16string_view instanceId);
void DeleteRootPdo(PDEVICE_OBJECT pdo);
bool IsRootPdo(PDEVICE_OBJECT pdo);

// Device interfaces (pnp_interface.cpp).
// Enables the interfaces whose enabling waited for the start.
void DevNodeStarted(DevNode &node);
// Disables the devnode's interfaces (removal) or forgets them (deletion).
void DisableDevNodeInterfaces(DevNode &node);
void ForgetDevNodeInterfaces(DevNode &node);
void InterfacesShutdown();
// Guards the interfaces; taken after PnpLock, before the notification queue.
std::mutex &InterfaceLock();
// The enabled interfaces of a class, under InterfaceLock.
std::vector<std::u16string> EnabledInterfaces(const GUID &guid);

// Requested removal (eject, host removal): query-remove, then removal.
NTSTATUS RequestRemoval(DevNode &node, bool eject);
// Boot and shutdown of the PnP manager (pnp_api.cpp) and the power manager.
void PnpInit();
void PnpShutdown();
void PowerReset();

// Notifications (pnp_notify.cpp).
void QueueInterfaceNotification(const GUID &event, const GUID &interfaceClass,
                                const std::u16string &link);
void NotificationsStart();
void NotificationsShutdown();
bool WaitNotificationsIdle(int timeoutMs);

}  // namespace bw
