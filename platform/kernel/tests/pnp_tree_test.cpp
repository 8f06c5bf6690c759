// The PnP manager builds the device tree: root devices from the registry and
// at run time, ids and capabilities asked before the driver is matched,
// AddDevice and start, bus relations compared with the children it knows.
#include "platform/kernel/tests/pnp_fixture.h"

#include "config/registry.h"
#include "config/registry_store.h"
#include "ob/object.h"

namespace bw::test {
namespace {

using ::testing::ElementsAre;

TEST_F(PnpTest, RootDeviceStartsWhenItsServiceLoadsAndPdoBelongsToThePnpManager) {
  std::u16string path;
  // Installed before its driver is there: it waits without a driver.
  ASSERT_STATUS(STATUS_SUCCESS, CreateRootDevice(u"Root\\PnpTestBus", kBusService, &path));
  EXPECT_EQ(u"Root\\PnpTestBus\\0000", path);
  ASSERT_TRUE(WaitForPnpIdle());
  EXPECT_EQ("no driver", NodeOf(path).state);
  Load("pnpbus.sys", kBusService);
  ASSERT_TRUE(WaitForPnpIdle());
  DevNodeInfo node = NodeOf(path);
  EXPECT_EQ("started", node.state);
  EXPECT_EQ(u"Root\\PnpTestBus", node.deviceId);
  EXPECT_EQ(u"0000", node.instanceId);
  EXPECT_THAT(node.hardwareIds, ElementsAre(u"Root\\PnpTestBus"));
  EXPECT_EQ(u"PnpTestBus", node.service);
  EXPECT_EQ(u"\\Device\\", node.pdoName.substr(0, 8));

  // The bus checks for this name before it takes a root device.
  LookupResult found;
  ASSERT_STATUS(STATUS_SUCCESS, LookupObject(node.pdoName, true, &found));
  auto *pdo = static_cast<PDEVICE_OBJECT>(found.object);
  EXPECT_EQ(u"\\Driver\\PnpManager", ToU16(&pdo->DriverObject->DriverName));
  ObfDereferenceObject(pdo);

  // A second root device gets the next instance; EnsureRootDevice finds the first.
  std::u16string second;
  ASSERT_STATUS(STATUS_SUCCESS, CreateRootDevice(u"Root\\PnpTestBus", kBusService, &second));
  EXPECT_EQ(u"Root\\PnpTestBus\\0001", second);
  std::u16string again;
  ASSERT_STATUS(STATUS_SUCCESS, EnsureRootDevice(u"root\\pnptestbus", kBusService, &again));
  EXPECT_EQ(path, again);
  ASSERT_TRUE(WaitForPnpIdle());
  // The test bus takes one root device only: its AddDevice refuses the second.
  EXPECT_EQ("add failed", NodeOf(second).state);
}

TEST_F(PnpTest, BootEnumeratesRootDevicesTheRegistryKeeps) {
  std::u16string path;
  ASSERT_STATUS(STATUS_SUCCESS, CreateRootDevice(u"Root\\PnpTestBus", kBusService, &path));
  ASSERT_TRUE(WaitForPnpIdle());
  // The next start of the machine finds the device in its registry.
  RemoveDeviceTree();
  KernelShutdown();
  std::string error;
  ASSERT_STATUS(STATUS_SUCCESS, KernelBoot(BootOptionsFor(root_), &error)) << error;
  TakePoolBaseline();
  ASSERT_TRUE(WaitForPnpIdle());
  EXPECT_EQ("no driver", NodeOf(path).state) << DescribeDevNodes();
  Load("pnpbus.sys", kBusService);
  ASSERT_TRUE(WaitForPnpIdle());
  EXPECT_EQ("started", NodeOf(path).state);
  // The database entry for disks is there as Windows ships it.
  RegistryStore::KeyRef key;
  ASSERT_STATUS(STATUS_SUCCESS,
                Registry().OpenKey(nullptr,
                                   u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\"
                                   u"CriticalDeviceDatabase\\GenDisk",
                                   &key));
  RegistryStore::Value service;
  ASSERT_STATUS(STATUS_SUCCESS, Registry().QueryValue(key, u"Service", &service));
  EXPECT_EQ(u"disk", std::u16string(reinterpret_cast<const char16_t *>(service.data.data()), 4));
}

TEST_F(PnpTest, NewChildIsQueriedThenAddedStartedAndEnumerated) {
  StartBus();
  PnpLog::Take();
  Plug(0, Child("c1", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  // The bus is asked again, then the child: ids, capabilities, text, bus
  // information, AddDevice, start, state, relations.
  EXPECT_THAT(PnpLog::Take(),
              ElementsAre("bus root RELATIONS", "pdo c1 ID", "pdo c1 ID", "pdo c1 ID", "pdo c1 ID", "pdo c1 CAPS",
                          "pdo c1 TEXT", "pdo c1 TEXT", "pdo c1 BUS_INFO", "func c1 ADD", "func c1 START",
                          "pdo c1 START", "func c1 STATE", "pdo c1 STATE", "func c1 RELATIONS",
                          "pdo c1 RELATIONS"));
  DevNodeInfo node = Named("c1");
  EXPECT_EQ("started", node.state);
  EXPECT_EQ(busPath_, node.parentPath);
  EXPECT_EQ(2, node.depth);
  // A unique child is known by its bus's instance id as it is.
  EXPECT_EQ(u"PNPTEST\\Child\\c1", node.instancePath);
  EXPECT_EQ(u"PnpTestFunc", node.service);
  EXPECT_EQ(u"Test child", node.description);
  EXPECT_TRUE(node.uniqueId);
}

TEST_F(PnpTest, ChildrenOfOneBusThatAreNotUniqueGetTheirParentsPrefix) {
  StartBus();
  Plug(0, Child("c1", {u"PNPTEST\\Leaf"}, {}, 0, u"7"));
  std::u16string path = Named("c1").instancePath;
  EXPECT_EQ(u"PNPTEST\\Child\\", path.substr(0, 14));
  EXPECT_EQ(u"&7", path.substr(path.size() - 2));
  EXPECT_NE(u"PNPTEST\\Child\\7", path);
}

TEST_F(PnpTest, DriverIsMatchedByHardwareIdsFirstThenCompatibleIdsIgnoringCase) {
  StartBus();
  SetCriticalDevice(u"PNPTEST#Other", u"NoSuchService");
  // The first hardware id with an entry wins, even when its driver is not
  // loaded; later ids are not looked at.
  Plug(0, Child("first", {u"PNPTEST\\Unknown", u"pnptest\\other", u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  EXPECT_EQ("no driver", Named("first").state);
  EXPECT_EQ(u"NoSuchService", Named("first").service);
  // No hardware id known: the compatible ids are tried, case-insensitively.
  Plug(0, Child("compat", {u"PNPTEST\\Unknown"}, {u"PNPTEST\\Nothing", u"pnptest\\LEAF"}, PNPTEST_UNIQUE_ID));
  EXPECT_EQ("started", Named("compat").state);
  EXPECT_EQ(u"PnpTestFunc", Named("compat").service);
  EXPECT_THAT(Named("compat").compatibleIds, ElementsAre(u"PNPTEST\\Nothing", u"pnptest\\LEAF"));
}

TEST_F(PnpTest, DeviceWithoutDriverStartsRawOnlyWhenItMayAndWaitsOtherwise) {
  StartBus();
  PnpLog::Take();
  Plug(0, Child("raw", {u"PNPTEST\\Nothing"}, {}, PNPTEST_RAW_OK | PNPTEST_UNIQUE_ID));
  Plug(0, Child("none", {u"PNPTEST\\Nothing2"}, {}, PNPTEST_UNIQUE_ID));
  EXPECT_EQ("started", Named("raw").state);
  EXPECT_EQ(u"", Named("raw").service);
  EXPECT_EQ("no driver", Named("none").state);
  auto lines = PnpLog::Take();
  EXPECT_THAT(PnpLog::Matching(lines, "START"), ElementsAre("pdo raw START"));
}

TEST_F(PnpTest, RefusedAddDeviceAndFailedStartLeaveNoStack) {
  StartBus();
  PnpLog::Take();
  Plug(0, Child("refused", {u"PNPTEST\\RefuseAdd", u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  EXPECT_EQ("add failed", Named("refused").state);
  EXPECT_EQ(0u, FuncDevices());
  // The function driver fails the start: the stack is removed again.
  Plug(0, Child("fails", {u"PNPTEST\\FailStart", u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  EXPECT_EQ("start failed", Named("fails").state);
  EXPECT_EQ(0u, FuncDevices());
  // So does the bus driver's PDO.
  Plug(0, Child("pdofails", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID | PNPTEST_PDO_FAILS_START));
  EXPECT_EQ("start failed", Named("pdofails").state);
  EXPECT_EQ(0u, FuncDevices());
  auto lines = PnpLog::Take();
  EXPECT_THAT(PnpLog::Matching(lines, "func fails"),
              ElementsAre("func fails ADD", "func fails START", "func fails REMOVE"));
  EXPECT_THAT(PnpLog::Matching(lines, "refused"), ::testing::Not(::testing::Contains("pdo refused START")));
  // A device without a device id is not taken any further.
  Plug(0, Child("noid", {u"PNPTEST\\Leaf"}, {}, PNPTEST_NO_DEVICE_ID));
  auto nodes = DevNodes();
  EXPECT_EQ(1, std::count_if(nodes.begin(), nodes.end(), [](const DevNodeInfo &n) { return n.state == "failed"; }));
  EXPECT_EQ(0u, FuncDevices());
}

TEST_F(PnpTest, RelationsDiffStartsNewChildrenAndRemovesMissingOnesDeepestFirst) {
  StartBus();
  ULONG hub = Plug(0, Child("hub", {u"PNPTEST\\Hub"}, {}, PNPTEST_UNIQUE_ID));
  ASSERT_EQ("started", Named("hub").state);
  Plug(hub, Child("leaf1", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  Plug(hub, Child("leaf2", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  ULONG other = Plug(0, Child("other", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  EXPECT_EQ(3, Named("leaf1").depth);
  EXPECT_EQ(3u, FuncDevices());
  PnpLog::Take();

  // The hub leaves its bus: its children go before it, and the other child
  // of the root bus stays.
  Unplug(hub);
  auto removes = PnpLog::Matching(PnpLog::Take(), "REMOVE");
  EXPECT_THAT(removes, ElementsAre("func leaf2 REMOVE", "pdo leaf2 REMOVE", "func leaf1 REMOVE", "pdo leaf1 REMOVE",
                                   "bus hub REMOVE", "pdo hub REMOVE"));
  EXPECT_EQ("none", Named("hub").state);
  EXPECT_EQ("none", Named("leaf1").state);
  EXPECT_EQ("started", Named("other").state);
  EXPECT_EQ(1u, FuncDevices());
  EXPECT_EQ(nullptr, Pdo(hub));  // the bus deleted the PDO that left
  EXPECT_NE(nullptr, Pdo(other));
}

TEST_F(PnpTest, DevicePropertiesAreWhatTheBusReported) {
  StartBus();
  ULONG id = Plug(0, Child("props", {u"PNPTEST\\Leaf", u"PNPTEST\\Second"}, {u"PNPTEST\\Compat"}, PNPTEST_UNIQUE_ID));
  PDEVICE_OBJECT pdo = Pdo(id);
  ASSERT_NE(nullptr, pdo);
  WCHAR text[64];
  ULONG length = 0;
  ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof text, text, &length));
  EXPECT_EQ(std::u16string(u"PNPTEST\\Leaf\0PNPTEST\\Second\0\0", 29), std::u16string(text, length / 2));
  ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyCompatibleIDs, sizeof text, text, &length));
  EXPECT_EQ(std::u16string(u"PNPTEST\\Compat\0\0", 16), std::u16string(text, length / 2));
  ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyLocationInformation, sizeof text, text, &length));
  EXPECT_EQ(std::u16string(u"props\0", 6), std::u16string(text, length / 2));
  ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyEnumeratorName, sizeof text, text, &length));
  EXPECT_EQ(std::u16string(u"PNPTEST\0", 8), std::u16string(text, length / 2));
  ASSERT_STATUS(STATUS_SUCCESS,
                IoGetDeviceProperty(pdo, DevicePropertyPhysicalDeviceObjectName, sizeof text, text, &length));
  EXPECT_EQ(Named("props").pdoName + u'\0', std::u16string(text, length / 2));
  GUID bus;
  ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyBusTypeGuid, sizeof bus, &bus, &length));
  EXPECT_TRUE(IsEqualGUID(GUID_PNPTEST_INTERFACE, bus));
  ULONG number = 99;
  ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyLegacyBusType, sizeof number, &number, &length));
  EXPECT_EQ(static_cast<ULONG>(PNPBus), number);
  ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceProperty(pdo, DevicePropertyAddress, sizeof number, &number, &length));
  EXPECT_EQ(id, number);

  // Too small a buffer names the size; unknown properties and devices that
  // are not PDOs are refused.
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 4, text, &length));
  EXPECT_EQ(58u, length);
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                IoGetDeviceProperty(pdo, DevicePropertyDriverKeyName, sizeof text, text, &length));
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST,
                IoGetDeviceProperty(pdo->AttachedDevice, DevicePropertyHardwareID, sizeof text, text, &length));
}

}  // namespace
}  // namespace bw::test
