// A devnode's life: its function driver's AddDevice, the start, its bus
// relations, and removal (children first), as the PnP manager drives them.
#include "pnp/pnp_internal.h"
#include "bw/user_session.h"
#include "internal.h"
#include "io/io_internal.h"

#include <algorithm>

namespace bw {

PDRIVER_OBJECT ReferenceLoadedDriver(std::u16string_view service);

namespace {

DevNode *AddChild(DevNode &parent, PDEVICE_OBJECT pdo) {
  auto node = std::make_unique<DevNode>();
  node->pdo = pdo;
  node->parent = &parent;
  DevNode *raw = node.get();
  std::lock_guard<std::mutex> guard(PnpLock());
  parent.children.push_back(std::move(node));
  SetDevNodeOf(pdo, raw);
  return raw;
}

void SetState(DevNode &node, DevNodeState state) {
  std::lock_guard<std::mutex> guard(PnpLock());
  node.state = state;
}

void DropFunctionDriver(DevNode &node) {
  if (node.functionDriver) ObfDereferenceObject(node.functionDriver);
  node.functionDriver = nullptr;
}

}  // namespace

void RefreshDeviceState(DevNode &node) {
  if (node.state != DevNodeState::Started) return;
  ULONG_PTR information = 0;
  if (!NT_SUCCESS(SendPnpIrp(node.pdo, IRP_MN_QUERY_PNP_DEVICE_STATE, nullptr, &information)))
    information = 0;
  {
    std::lock_guard<std::mutex> guard(PnpLock());
    node.deviceState = static_cast<PNP_DEVICE_STATE>(information);
  }
  if (information & PNP_DEVICE_REMOVED)
    RemoveDevNode(&node, true, DevNodeState::Removed, true);
  else if (information & PNP_DEVICE_FAILED)
    RemoveDevNode(&node, true, DevNodeState::Failed, false);
}

namespace {

// Finds the function driver, adds it and starts the stack; a device with
// no driver starts raw when it says it may.
void StartDevNode(DevNode &node) {
  std::u16string service = MatchService(node);
  PDRIVER_OBJECT driver = service.empty() ? nullptr : ReferenceLoadedDriver(service);
  // A function driver not loaded yet is loaded from its service key, as
  // the PnP manager does before AddDevice; one that cannot be loaded leaves
  // the device without a driver.
  if (!driver && !service.empty() && NT_SUCCESS(LoadServiceDriver(service, nullptr)))
    driver = ReferenceLoadedDriver(service);
  {
    std::lock_guard<std::mutex> guard(PnpLock());
    node.service = service;
  }
  if (!driver && !node.caps.RawDeviceOK) {
    SetState(node, DevNodeState::NoDriver);
    return;
  }
  if (driver) {
    PDRIVER_ADD_DEVICE addDevice = driver->DriverExtension->AddDevice;
    NTSTATUS status = addDevice ? addDevice(driver, node.pdo) : STATUS_INVALID_DEVICE_REQUEST;
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) KernelFault("AddDevice returned above PASSIVE_LEVEL");
    if (!NT_SUCCESS(status)) {
      ObfDereferenceObject(driver);
      if (node.pdo->AttachedDevice) KernelFault("AddDevice failed and left a device attached to the PDO");
      SetState(node, DevNodeState::AddFailed);
      return;
    }
    node.functionDriver = driver;
  }
  NTSTATUS status = SendPnpIrp(
      node.pdo, IRP_MN_START_DEVICE,
      [](PIO_STACK_LOCATION s) {
        s->Parameters.StartDevice.AllocatedResources = nullptr;
        s->Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
      },
      nullptr);
  if (!NT_SUCCESS(status)) {
    // A stack that failed its start is taken down again.
    SendPnpIrp(node.pdo, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
    DisableDevNodeInterfaces(node);
    DropFunctionDriver(node);
    SetState(node, DevNodeState::StartFailed);
    return;
  }
  SetState(node, DevNodeState::Started);
  DevNodeStarted(node);
  RefreshDeviceState(node);
  EnumerateDevNode(node);
}

// Surprise removal goes to every started device of the subtree that says
// it may be pulled out, children first, before any of them is removed.
void SurpriseSubtree(DevNode &node) {
  for (auto it = node.children.rbegin(); it != node.children.rend(); ++it) SurpriseSubtree(**it);
  if (node.state == DevNodeState::Started && node.caps.SurpriseRemovalOK) {
    SendPnpIrp(node.pdo, IRP_MN_SURPRISE_REMOVAL, nullptr, nullptr);
    DisableDevNodeInterfaces(node);
  }
}

void CollectStarted(DevNode &node, std::vector<DevNode *> *out) {
  for (auto &child : node.children) CollectStarted(*child, out);
  if (node.state == DevNodeState::Started) out->push_back(&node);
}

}  // namespace

bool StackUses(const DevNode &node, PDRIVER_OBJECT driver) {
  for (PDEVICE_OBJECT d = node.pdo; d; d = d->AttachedDevice)
    if (d->DriverObject == driver) return true;
  return false;
}

void ProcessNewDevNode(DevNode &node) {
  if (node.pdo->Flags & DO_DEVICE_INITIALIZING)
    KernelFault("a bus reported a PDO that is still initializing");
  if (!QueryDeviceFacts(node)) {
    SetState(node, DevNodeState::Failed);
    return;
  }
  {
    std::lock_guard<std::mutex> guard(PnpLock());
    DevNode *same = FindDevNode(node.instancePath);
    if (same && same != &node) KernelFault("two devices reported with one instance path");
  }
  StartDevNode(node);
}

void EnumerateDevNode(DevNode &node) {
  if (node.state != DevNodeState::Started) return;
  ULONG_PTR information = 0;
  NTSTATUS status = SendPnpIrp(
      node.pdo, IRP_MN_QUERY_DEVICE_RELATIONS,
      [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; },
      &information);
  auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
  // A stack that does not enumerate (or fails to) keeps the children it
  // had; what a failed request left in Information is not looked at.
  if (!NT_SUCCESS(status)) return;
  std::vector<PDEVICE_OBJECT> reported;  // each referenced by the bus
  if (relations) {
    reported.assign(relations->Objects, relations->Objects + relations->Count);
    ExFreePool(relations);
  }
  std::vector<DevNode *> missing;
  for (auto &child : node.children)
    if (std::find(reported.begin(), reported.end(), child->pdo) == reported.end())
      missing.push_back(child.get());
  for (DevNode *child : missing) RemoveDevNode(child, false, DevNodeState::Removed, true);

  std::vector<DevNode *> added;
  for (PDEVICE_OBJECT pdo : reported) {
    DevNode *known = nullptr;
    {
      std::lock_guard<std::mutex> guard(PnpLock());
      known = DevNodeOf(pdo);
    }
    if (known) {
      if (known->parent != &node) KernelFault("a bus reported a PDO of another bus");
      ObfDereferenceObject(pdo);  // the devnode holds its own reference
      continue;
    }
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    added.push_back(AddChild(node, pdo));
  }
  for (DevNode *child : added) ProcessNewDevNode(*child);
}

void RemoveDevNode(DevNode *node, bool keep, DevNodeState finalState, bool surprise) {
  if (surprise) SurpriseSubtree(*node);
  while (!node->children.empty())
    RemoveDevNode(node->children.back().get(), false, DevNodeState::Removed, false);
  // A devnode without a stack still tells its bus when it goes, so that the
  // bus may delete the PDO.
  if (node->state == DevNodeState::Started || !keep)
    SendPnpIrp(node->pdo, IRP_MN_REMOVE_DEVICE, nullptr, nullptr);
  DisableDevNodeInterfaces(*node);
  DropFunctionDriver(*node);
  if (keep) {
    SetState(*node, finalState);
    return;
  }
  ForgetDevNodeInterfaces(*node);
  PDEVICE_OBJECT pdo = node->pdo;
  bool root = node->rootEnumerated;
  std::unique_ptr<DevNode> owned;
  {
    std::lock_guard<std::mutex> guard(PnpLock());
    SetDevNodeOf(pdo, nullptr);
    auto &siblings = node->parent->children;
    auto it = std::find_if(siblings.begin(), siblings.end(),
                           [&](const std::unique_ptr<DevNode> &c) { return c.get() == node; });
    owned = std::move(*it);
    siblings.erase(it);
  }
  if (root) DeleteRootPdo(pdo);
  ObfDereferenceObject(pdo);
}

bool QueryRemoveSubtree(DevNode &node) {
  std::vector<DevNode *> started;
  CollectStarted(node, &started);
  for (size_t i = 0; i < started.size(); ++i) {
    if (NT_SUCCESS(SendPnpIrp(started[i]->pdo, IRP_MN_QUERY_REMOVE_DEVICE, nullptr, nullptr)))
      continue;
    // Refused: every stack that was asked, the refusing one too, hears that
    // the removal is off.
    for (size_t j = i + 1; j-- > 0;)
      SendPnpIrp(started[j]->pdo, IRP_MN_CANCEL_REMOVE_DEVICE, nullptr, nullptr);
    return false;
  }
  return true;
}

NTSTATUS RequestRemoval(DevNode &node, bool eject) {
  if (!QueryRemoveSubtree(node)) return STATUS_PLUGPLAY_QUERY_VETOED;
  while (!node.children.empty())
    RemoveDevNode(node.children.back().get(), false, DevNodeState::Removed, false);
  if (eject && node.state == DevNodeState::Started && node.caps.EjectSupported)
    SendPnpIrp(node.pdo, IRP_MN_EJECT, nullptr, nullptr);
  RemoveDevNode(&node, true, DevNodeState::Removed, false);
  return STATUS_SUCCESS;
}

void RetryDevNodesOfService(std::u16string_view service) {
  std::vector<DevNode *> waiting;
  std::vector<DevNode *> pending{&TreeRoot()};
  while (!pending.empty()) {
    DevNode *n = pending.back();
    pending.pop_back();
    if (n->state == DevNodeState::NoDriver && n != &TreeRoot() && EqualNoCase(MatchService(*n), service))
      waiting.push_back(n);
    // Popped in the tree's order.
    for (auto c = n->children.rbegin(); c != n->children.rend(); ++c) pending.push_back(c->get());
  }
  for (DevNode *n : waiting) StartDevNode(*n);
}

void RemoveDevNodesOfDriver(PDRIVER_OBJECT driver) {
  // The topmost devnodes whose stacks hold one of the driver's devices go,
  // their children with them; they wait for the driver to come back.
  std::vector<DevNode *> pending{&TreeRoot()};
  while (!pending.empty()) {
    DevNode *n = pending.back();
    pending.pop_back();
    if (n != &TreeRoot() && StackUses(*n, driver)) {
      RemoveDevNode(n, true, DevNodeState::NoDriver, false);
      continue;
    }
    // Popped in the tree's order.
    for (auto c = n->children.rbegin(); c != n->children.rend(); ++c) pending.push_back(c->get());
  }
}

void RemoveWholeTree() {
  DevNode &root = TreeRoot();
  while (!root.children.empty()) RemoveDevNode(root.children.back().get(), false, DevNodeState::Removed, false);
}

void PnpDriverLoaded(std::u16string_view service) {
  std::u16string name(service);
  QueuePnpWork([name] { RetryDevNodesOfService(name); });
}

void PnpDriverUnloading(PDRIVER_OBJECT driver) {
  RunOnPnpThread([driver] { RemoveDevNodesOfDriver(driver); });
}

}  // namespace bw
