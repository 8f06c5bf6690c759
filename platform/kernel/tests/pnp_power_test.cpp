// The power manager: system sleep and wake as set-power requests to every
// started devnode in tree order, device states drivers record, and the
// tree torn down at shutdown.
#include "platform/kernel/tests/pnp_fixture.h"

#include "ob/object.h"

namespace bw::test {
namespace {

using ::testing::ElementsAre;

TEST_F(PnpTest, SleepGoesToChildrenBeforeTheirBusAndWakeToTheBusFirst) {
  StartBus();
  ULONG hub = Plug(0, Child("hub", {u"PNPTEST\\Hub"}, {}, PNPTEST_UNIQUE_ID));
  Plug(hub, Child("leaf", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  // Not started: gets no power requests.
  Plug(0, Child("idle", {u"PNPTEST\\Nothing"}, {}, PNPTEST_UNIQUE_ID));
  PnpLog::Take();
  ASSERT_STATUS(STATUS_SUCCESS, SetSystemPowerState(PowerSystemSleeping3));
  EXPECT_EQ(PowerSystemSleeping3, CurrentSystemPowerState());
  EXPECT_THAT(PnpLog::Take(), ElementsAre("func leaf SET_POWER S3", "pdo leaf SET_POWER S3", "bus hub SET_POWER S3",
                                          "pdo hub SET_POWER S3", "bus root SET_POWER S3"));
  EXPECT_EQ(PowerDeviceD3, Named("leaf").devicePower);
  EXPECT_EQ(PowerSystemSleeping3, Named("leaf").systemPower);

  ASSERT_STATUS(STATUS_SUCCESS, SetSystemPowerState(PowerSystemHibernate));
  EXPECT_EQ(5u, PnpLog::Matching(PnpLog::Take(), "S4").size());
  ASSERT_STATUS(STATUS_SUCCESS, SetSystemPowerState(PowerSystemWorking));
  EXPECT_THAT(PnpLog::Take(), ElementsAre("bus root SET_POWER S0", "bus hub SET_POWER S0", "pdo hub SET_POWER S0",
                                          "func leaf SET_POWER S0", "pdo leaf SET_POWER S0"));
  EXPECT_EQ(PowerDeviceD0, Named("leaf").devicePower);
  EXPECT_EQ(PowerSystemWorking, Named("idle").systemPower);

  // Waking a working system sends nothing; shutdown is not a sleep state.
  ASSERT_STATUS(STATUS_SUCCESS, SetSystemPowerState(PowerSystemWorking));
  EXPECT_TRUE(PnpLog::Take().empty());
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, SetSystemPowerState(PowerSystemShutdown));
}

TEST_F(KernelTest, PoSetPowerStateReturnsThePreviousState) {
  PDRIVER_OBJECT driver = nullptr;
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Driver\\PnpManager");
  LookupResult found;
  ASSERT_STATUS(STATUS_SUCCESS, LookupObject(ToU16(&name), true, &found));
  driver = static_cast<PDRIVER_OBJECT>(found.object);
  PDEVICE_OBJECT device = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device));
  POWER_STATE d3, d0;
  d3.DeviceState = PowerDeviceD3;
  d0.DeviceState = PowerDeviceD0;
  EXPECT_EQ(PowerDeviceD0, PoSetPowerState(device, DevicePowerState, d3).DeviceState);
  EXPECT_EQ(PowerDeviceD3, PoSetPowerState(device, DevicePowerState, d0).DeviceState);
  POWER_STATE s3;
  s3.SystemState = PowerSystemSleeping3;
  EXPECT_EQ(PowerSystemWorking, PoSetPowerState(device, SystemPowerState, s3).SystemState);
  IoDeleteDevice(device);
  ObfDereferenceObject(driver);
}

TEST_F(PnpTest, ShutdownRemovesTheWholeTreeChildrenFirstAndLeavesNoPool) {
  PoolCounts before = PoolAllocationsByTag();
  StartBus();
  ULONG hub = Plug(0, Child("hub", {u"PNPTEST\\Hub"}, {}, PNPTEST_UNIQUE_ID));
  Plug(hub, Child("leaf", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  Plug(0, Child("raw", {u"PNPTEST\\Nothing"}, {}, PNPTEST_UNIQUE_ID | PNPTEST_RAW_OK));
  PnpLog::Take();
  RemoveDeviceTree();
  EXPECT_THAT(PnpLog::Matching(PnpLog::Take(), "REMOVE"),
              ElementsAre("pdo raw REMOVE", "func leaf REMOVE", "pdo leaf REMOVE", "bus hub REMOVE", "pdo hub REMOVE",
                          "bus root REMOVE"));
  EXPECT_TRUE(DevNodes().empty());
  EXPECT_FALSE(ObjectExists(u"\\??\\PNPTEST#Child#leaf#{1b4a7d2e-9c31-4f0e-8a52-3d6e710c9b44}"));
  // Everything the devices held is back; the drivers then unload with no
  // device left (the kernel faults otherwise).
  EXPECT_EQ("", PoolGrowthSince(before));
}

}  // namespace
}  // namespace bw::test
