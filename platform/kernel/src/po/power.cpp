// The power manager: power IRPs pass like any other, each device's state is
// what its driver last recorded, and the system's state changes by a
// set-power request of the system state to every started devnode.
#include "bw/pnp.h"
#include "pnp/pnp_internal.h"
#include "internal.h"
#include "io/io_internal.h"

#include <functional>

namespace bw {

namespace {

std::mutex gPowerLock;  // one system transition at a time
SYSTEM_POWER_STATE gSystemState = PowerSystemWorking;

void CollectStarted(DevNode &node, bool childrenFirst, std::vector<DevNode *> *out) {
  if (!childrenFirst && node.state == DevNodeState::Started) out->push_back(&node);
  for (auto &child : node.children) CollectStarted(*child, childrenFirst, out);
  if (childrenFirst && node.state == DevNodeState::Started) out->push_back(&node);
}

}  // namespace

NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state) {
  ULONG action;
  switch (state) {
    case PowerSystemWorking: action = PowerActionNone; break;
    case PowerSystemSleeping1:
    case PowerSystemSleeping2:
    case PowerSystemSleeping3: action = PowerActionSleep; break;
    case PowerSystemHibernate: action = PowerActionHibernate; break;
    default: return STATUS_INVALID_PARAMETER;
  }
  std::lock_guard<std::mutex> transition(gPowerLock);
  if (state == gSystemState) return STATUS_SUCCESS;
  // Going down, a bus stays powered until its children have gone down;
  // waking, it comes up before them.
  bool down = state != PowerSystemWorking;
  RunOnPnpThread([&] {
    std::vector<DevNode *> nodes;
    for (auto &child : TreeRoot().children) CollectStarted(*child, down, &nodes);
    POWER_STATE target;
    target.SystemState = state;
    for (DevNode *node : nodes) {
      SendPowerIrp(node->pdo, IRP_MN_SET_POWER, SystemPowerState, target, action);
      std::lock_guard<std::mutex> guard(PnpLock());
      node->systemPower = state;
    }
  });
  gSystemState = state;
  return STATUS_SUCCESS;
}

SYSTEM_POWER_STATE CurrentSystemPowerState() {
  std::lock_guard<std::mutex> transition(gPowerLock);
  return gSystemState;
}

void PowerReset() {
  std::lock_guard<std::mutex> transition(gPowerLock);
  gSystemState = PowerSystemWorking;
}

}  // namespace bw

using namespace bw;

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
    KernelFault("PoCallDriver with an IRP that is not a power IRP");
  return IoCallDriver(DeviceObject, Irp);
}

// Power IRPs are not held back per device here, so there is nothing to let go.
VOID PoStartNextPowerIrp(PIRP) {}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  DeviceState *device = StateOf(DeviceObject);
  std::lock_guard<std::mutex> guard(PnpLock());
  POWER_STATE previous;
  if (Type == DevicePowerState) {
    previous.DeviceState = device->devicePower;
    device->devicePower = State.DeviceState;
  } else {
    previous.SystemState = device->systemPower;
    device->systemPower = State.SystemState;
  }
  return previous;
}
