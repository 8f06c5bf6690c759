// Plug and Play and power requests sent straight to a child disk.
#include "bus/tests/bus_fixture.h"
#include "bw/pnp.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

namespace bus_test {
namespace {

constexpr uint64_t kSize = 8 << 20;

class BusChildPnp : public BusTest {
 protected:
  PDEVICE_OBJECT Add(uint32_t flags, uint64_t context = 0x77) {
    PDEVICE_OBJECT child = nullptr;
    EXPECT_STATUS(STATUS_SUCCESS, AddDisk(DiskRequest(context, kSize, 512, flags), &child));
    return child;
  }

  static NTSTATUS Capabilities(PDEVICE_OBJECT child, DEVICE_CAPABILITIES *caps) {
    return Irp(child, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [caps](PIO_STACK_LOCATION stack, PIRP) {
      stack->Parameters.DeviceCapabilities.Capabilities = caps;
    });
  }

  static ULONG_PTR DeviceState(PDEVICE_OBJECT child) {
    ULONG_PTR state = 0;
    EXPECT_STATUS(STATUS_SUCCESS, Irp(
                                      child, IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE,
                                      [](PIO_STACK_LOCATION, PIRP irp) {
                                        irp->IoStatus.Status = STATUS_SUCCESS;
                                        irp->IoStatus.Information = 0;
                                      },
                                      &state));
    return state;
  }

  static NTSTATUS SetPower(PDEVICE_OBJECT child, POWER_STATE_TYPE type, ULONG state) {
    return Irp(child, IRP_MJ_POWER, IRP_MN_SET_POWER, [type, state](PIO_STACK_LOCATION stack, PIRP) {
      stack->Parameters.Power.Type = type;
      if (type == SystemPowerState) stack->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
      else stack->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    });
  }
};

TEST_F(BusChildPnp, CapabilitiesFollowTheRequestFlags) {
  PDEVICE_OBJECT fixed = Add(0, 1);
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  ASSERT_STATUS(STATUS_SUCCESS, Capabilities(fixed, &caps));
  EXPECT_TRUE(caps.UniqueID);
  EXPECT_FALSE(caps.Removable || caps.EjectSupported || caps.LockSupported || caps.WarmEjectSupported);
  EXPECT_FALSE(caps.RawDeviceOK || caps.NoDisplayInUI || caps.SilentInstall || caps.SurpriseRemovalOK);
  for (int i = 0; i < PowerSystemMaximum; ++i) EXPECT_EQ(PowerDeviceD0, caps.DeviceState[i]);
  EXPECT_EQ(PowerSystemWorking, caps.SystemWake);

  // Silent install (request bit 2) and raw device (bit 4) trade places in
  // the stored flags: each must still reach its own capability.
  PDEVICE_OBJECT all = Add(BUS_REQUEST_REMOVABLE | BUS_REQUEST_HIDDEN | BUS_REQUEST_SILENT_INSTALL, 2);
  caps = DEVICE_CAPABILITIES{};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  ASSERT_STATUS(STATUS_SUCCESS, Capabilities(all, &caps));
  EXPECT_TRUE(caps.Removable && caps.EjectSupported && caps.LockSupported && caps.WarmEjectSupported);
  EXPECT_TRUE(caps.NoDisplayInUI);
  EXPECT_TRUE(caps.SilentInstall);
  EXPECT_FALSE(caps.RawDeviceOK);
  EXPECT_FALSE(caps.SurpriseRemovalOK);

  PDEVICE_OBJECT raw = Add(BUS_REQUEST_RAW_DEVICE_OK | BUS_REQUEST_SURPRISE_REMOVAL_OK, 3);
  caps = DEVICE_CAPABILITIES{};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  ASSERT_STATUS(STATUS_SUCCESS, Capabilities(raw, &caps));
  EXPECT_TRUE(caps.RawDeviceOK);
  EXPECT_TRUE(caps.SurpriseRemovalOK);
  EXPECT_FALSE(caps.SilentInstall);

  caps.Version = 2;
  EXPECT_STATUS(STATUS_UNSUCCESSFUL, Capabilities(raw, &caps));
  caps.Version = 1;
  caps.Size = 60;
  EXPECT_STATUS(STATUS_UNSUCCESSFUL, Capabilities(raw, &caps));
}

TEST_F(BusChildPnp, DeviceStateTellsHiddenBusyAndRemoved) {
  PDEVICE_OBJECT hidden = Add(BUS_REQUEST_HIDDEN);
  EXPECT_EQ(PNP_DEVICE_DONT_DISPLAY_IN_UI, DeviceState(hidden));
  Engine().busy = DiskBusyInfo{0, 2};
  EXPECT_EQ(PNP_DEVICE_DONT_DISPLAY_IN_UI | PNP_DEVICE_NOT_DISABLEABLE, DeviceState(hidden));
  // Busy disks refuse to stop; stopping tells the engine.
  EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE,
                Irp(hidden, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, [](PIO_STACK_LOCATION, PIRP) {}));
  EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE,
                Irp(hidden, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, [](PIO_STACK_LOCATION, PIRP) {}));
  Engine().busy = DiskBusyInfo{1, 0};
  EXPECT_STATUS(STATUS_SUCCESS, Irp(hidden, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, [](PIO_STACK_LOCATION, PIRP) {}));
  EXPECT_STATUS(STATUS_SUCCESS, Irp(hidden, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, [](PIO_STACK_LOCATION, PIRP) {}));
  Engine().eventResults[BUS_EVENT_STOPPED] = STATUS_UNSUCCESSFUL;
  EXPECT_STATUS(STATUS_SUCCESS, Irp(hidden, IRP_MJ_PNP, IRP_MN_STOP_DEVICE, [](PIO_STACK_LOCATION, PIRP) {}));
  EXPECT_EQ(1u, Engine().Count(BUS_EVENT_STOPPED));
}

TEST_F(BusChildPnp, EjectUsageAndRelationsReachTheEngine) {
  PDEVICE_OBJECT child = Add(BUS_REQUEST_REMOVABLE);
  Engine().eventResults[BUS_EVENT_EJECT] = STATUS_ACCESS_DENIED;
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Irp(child, IRP_MJ_PNP, IRP_MN_EJECT, [](PIO_STACK_LOCATION, PIRP) {}));

  EXPECT_STATUS(STATUS_SUCCESS,
                Irp(child, IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION, [](PIO_STACK_LOCATION stack, PIRP) {
                  stack->Parameters.UsageNotification.InPath = TRUE;
                  stack->Parameters.UsageNotification.Type = DeviceUsageTypePaging;
                }));
  ASSERT_EQ(BUS_EVENT_DEVICE_USAGE, Engine().events.back().code);
  PagingUsage usage = Engine().events.back().usage;
  uint32_t usageType = usage.UsageType;  // the record is packed
  EXPECT_EQ(1, usage.InPath);
  EXPECT_EQ(uint32_t{DeviceUsageTypePaging}, usageType);

  ULONG_PTR information = 0;
  ASSERT_STATUS(STATUS_SUCCESS, Irp(
                                    child, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                                    [](PIO_STACK_LOCATION stack, PIRP) {
                                      stack->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
                                    },
                                    &information));
  auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(information);
  ASSERT_EQ(1u, relations->Count);
  EXPECT_EQ(child, relations->Objects[0]);
  ObDereferenceObject(relations->Objects[0]);
  ExFreePool(relations);

  // Requests the child does not know keep the status they came with.
  EXPECT_STATUS(STATUS_NOT_SUPPORTED,
                Irp(child, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES, [](PIO_STACK_LOCATION, PIRP) {}));
  EXPECT_STATUS(STATUS_NOT_SUPPORTED, Irp(child, IRP_MJ_PNP, IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION stack, PIRP) {
                  stack->Parameters.QueryId.IdType = BusQueryDeviceSerialNumber;
                }));
}

TEST_F(BusChildPnp, SleepAndHibernationAreToldWithTheirState) {
  PDEVICE_OBJECT child = Add(0);
  for (ULONG state : {PowerSystemSleeping1, PowerSystemSleeping3, PowerSystemHibernate, PowerSystemWorking,
                      PowerSystemShutdown})
    EXPECT_STATUS(STATUS_SUCCESS, SetPower(child, SystemPowerState, state));
  std::vector<uint64_t> told;
  for (const EngineEvent &event : Engine().events)
    if (event.code == BUS_EVENT_SLEEP) told.push_back(event.argument);
  EXPECT_EQ((std::vector<uint64_t>{2, 4, 5}), told);
  // A failing engine still lets the request succeed.
  Engine().eventResults[BUS_EVENT_SLEEP] = STATUS_UNSUCCESSFUL;
  EXPECT_STATUS(STATUS_SUCCESS, SetPower(child, SystemPowerState, PowerSystemSleeping2));
  EXPECT_STATUS(STATUS_SUCCESS, SetPower(child, DevicePowerState, PowerDeviceD3));
  EXPECT_STATUS(STATUS_SUCCESS, Irp(child, IRP_MJ_POWER, IRP_MN_QUERY_POWER, [](PIO_STACK_LOCATION, PIRP) {}));
}

TEST_F(BusChildPnp, TheSystemsSleepReachesChildrenButNotRemovedOnes) {
  Add(0, 1);
  Add(0, 2);
  ASSERT_STATUS(STATUS_SUCCESS, RemoveDisk(2));
  ASSERT_STATUS(STATUS_SUCCESS, bw::SetSystemPowerState(PowerSystemHibernate));
  ASSERT_STATUS(STATUS_SUCCESS, bw::SetSystemPowerState(PowerSystemWorking));
  ASSERT_EQ(1u, Engine().Count(BUS_EVENT_SLEEP));
  for (const EngineEvent &event : Engine().events) {
    if (event.code == BUS_EVENT_SLEEP) {
      EXPECT_EQ(1u, event.context);
    }
  }
}

}  // namespace
}  // namespace bus_test
