// Removal: asked for (query first, cancelled when refused), ejection,
// surprise removal of devices that may be pulled out, devices that say they
// failed, drivers that unload, and remove locks that removal waits for.
#include "platform/kernel/tests/pnp_fixture.h"

#include <atomic>
#include <thread>

namespace bw::test {
namespace {

using ::testing::ElementsAre;

std::vector<std::string> Without(std::vector<std::string> lines, const std::string &part) {
  std::erase_if(lines, [&](const std::string &l) { return l.find(part) != std::string::npos; });
  return lines;
}

TEST_F(PnpTest, RequestedRemovalIsQueriedAndCancelledWhenAnyStackOfTheSubtreeRefuses) {
  StartBus();
  ULONG hub = Plug(0, Child("hub", {u"PNPTEST\\Hub"}, {}, PNPTEST_UNIQUE_ID));
  Plug(hub, Child("ok", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  Plug(hub, Child("veto", {u"PNPTEST\\Veto", u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  PnpLog::Take();
  EXPECT_STATUS(STATUS_PLUGPLAY_QUERY_VETOED, RemoveDevice(Named("hub").instancePath));
  // Children are asked first; every stack asked hears of the cancel.
  EXPECT_THAT(PnpLog::Take(), ElementsAre("func ok QUERY_REMOVE", "pdo ok QUERY_REMOVE", "func veto QUERY_REMOVE",
                                          "func veto CANCEL_REMOVE", "pdo veto CANCEL_REMOVE",
                                          "func ok CANCEL_REMOVE", "pdo ok CANCEL_REMOVE"));
  EXPECT_EQ("started", Named("hub").state);
  EXPECT_EQ("started", Named("veto").state);

  // Without a refusal: the children go, the device's stack is removed and
  // it stays known as removed while its bus still reports it.
  EXPECT_STATUS(STATUS_SUCCESS, RemoveDevice(Named("ok").instancePath));
  EXPECT_THAT(Without(PnpLog::Take(), "RELATIONS"),
              ElementsAre("func ok QUERY_REMOVE", "pdo ok QUERY_REMOVE", "func ok REMOVE", "pdo ok REMOVE"));
  EXPECT_EQ("removed", Named("ok").state);
  ASSERT_EQ(STATUS_SUCCESS, ReenumerateDevice(Named("hub").instancePath));
  EXPECT_EQ("removed", Named("ok").state);
  EXPECT_STATUS(STATUS_NO_SUCH_DEVICE, RemoveDevice(u"PNPTEST\\Child\\none"));
}

TEST_F(PnpTest, EjectGoesToTheDeviceBetweenItsChildrensRemovalAndItsOwn) {
  StartBus();
  ULONG hub = Plug(0, Child("hub", {u"PNPTEST\\Hub"}, {}, PNPTEST_UNIQUE_ID | PNPTEST_EJECT_OK));
  Plug(hub, Child("leaf", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  PnpLog::Take();
  reinterpret_cast<PnpBusEjectFn *>(Hook("pnpbus.sys", "PnpBusEject"))(hub);
  ASSERT_TRUE(WaitForPnpIdle());
  EXPECT_THAT(Without(PnpLog::Take(), "CANCEL"),
              ElementsAre("func leaf QUERY_REMOVE", "pdo leaf QUERY_REMOVE", "bus hub QUERY_REMOVE",
                          "pdo hub QUERY_REMOVE", "func leaf REMOVE", "pdo leaf REMOVE", "bus hub EJECT",
                          "pdo hub EJECT", "bus hub REMOVE", "pdo hub REMOVE"));
  EXPECT_EQ("removed", Named("hub").state);
  EXPECT_EQ("none", Named("leaf").state);
}

TEST_F(PnpTest, DeviceThatMayBePulledOutHearsOfItsSurpriseRemovalFirst) {
  StartBus();
  ULONG pulled = Plug(0, Child("pulled", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID | PNPTEST_SURPRISE_OK));
  ULONG plain = Plug(0, Child("plain", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  PnpLog::Take();
  Unplug(pulled);
  EXPECT_THAT(Without(PnpLog::Take(), "RELATIONS"),
              ElementsAre("func pulled SURPRISE", "pdo pulled SURPRISE", "func pulled REMOVE", "pdo pulled REMOVE"));
  Unplug(plain);
  EXPECT_THAT(Without(PnpLog::Take(), "RELATIONS"), ElementsAre("func plain REMOVE", "pdo plain REMOVE"));
  EXPECT_EQ(0u, FuncDevices());
}

TEST_F(PnpTest, DeviceThatSaysItFailedOrWentAwayLosesItsStack) {
  StartBus();
  ULONG failing = Plug(0, Child("failing", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  ULONG gone = Plug(0, Child("gone", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID | PNPTEST_SURPRISE_OK));
  ULONG fine = Plug(0, Child("fine", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  PnpLog::Take();
  auto setState = reinterpret_cast<PnpBusSetStateFn *>(Hook("pnpbus.sys", "PnpBusSetState"));
  setState(failing, PNP_DEVICE_FAILED);
  ASSERT_TRUE(WaitForPnpIdle());
  EXPECT_THAT(PnpLog::Take(), ElementsAre("func failing STATE", "pdo failing STATE", "func failing REMOVE",
                                          "pdo failing REMOVE"));
  EXPECT_EQ("failed", Named("failing").state);
  setState(gone, PNP_DEVICE_REMOVED);
  ASSERT_TRUE(WaitForPnpIdle());
  EXPECT_THAT(PnpLog::Take(), ElementsAre("func gone STATE", "pdo gone STATE", "func gone SURPRISE",
                                          "pdo gone SURPRISE", "func gone REMOVE", "pdo gone REMOVE"));
  EXPECT_EQ("removed", Named("gone").state);
  setState(fine, PNP_DEVICE_DONT_DISPLAY_IN_UI);
  ASSERT_TRUE(WaitForPnpIdle());
  EXPECT_EQ("started", Named("fine").state);
}

TEST_F(PnpTest, UnloadingADriverRemovesItsDevicesWhichStartAgainWhenItReturns) {
  StartBus();
  ULONG hub = Plug(0, Child("hub", {u"PNPTEST\\Hub"}, {}, PNPTEST_UNIQUE_ID));
  Plug(hub, Child("leaf", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  Plug(0, Child("other", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  PnpLog::Take();
  Unload(kFuncService);
  EXPECT_THAT(PnpLog::Take(), ElementsAre("func leaf REMOVE", "pdo leaf REMOVE", "func other REMOVE", "pdo other REMOVE"));
  EXPECT_EQ("no driver", Named("leaf").state);
  EXPECT_EQ("started", Named("hub").state);
  Load("pnpfunc.sys", kFuncService);
  ASSERT_TRUE(WaitForPnpIdle());
  EXPECT_EQ("started", Named("leaf").state);
  EXPECT_EQ("started", Named("other").state);
  // The bus's own unload takes its whole tree, children first.
  PnpLog::Take();
  Unload(kBusService);
  auto removes = PnpLog::Matching(PnpLog::Take(), "REMOVE");
  ASSERT_EQ(7u, removes.size());
  EXPECT_EQ("bus root REMOVE", removes.back());
  EXPECT_EQ("no driver", NodeOf(busPath_).state);
  EXPECT_EQ(0u, FuncDevices());
}

using RemoveLockTest = KernelTest;

TEST_F(RemoveLockTest, AcquireFailsOnceRemovalBeganAndRemovalWaitsForEveryHolder) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0x6B636F4C, 0, 0);
  int a, b, remover;
  ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &a));
  ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &b));
  ASSERT_STATUS(STATUS_SUCCESS, IoAcquireRemoveLock(&lock, &remover));
  std::atomic<bool> done{false};
  std::thread removal([&] {
    IoReleaseRemoveLockAndWait(&lock, &remover);
    done = true;
  });
  while (!lock.Common.Removed) std::this_thread::yield();
  EXPECT_STATUS(STATUS_DELETE_PENDING, IoAcquireRemoveLock(&lock, &remover));
  IoReleaseRemoveLock(&lock, &a);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(done);
  IoReleaseRemoveLock(&lock, &b);
  removal.join();
  EXPECT_TRUE(done);
  EXPECT_STATUS(STATUS_DELETE_PENDING, IoAcquireRemoveLock(&lock, &a));
}

TEST_F(PnpTest, RemovalWaitsForTheFunctionDriversRemoveLockHolders) {
  StartBus();
  ULONG held = Plug(0, Child("held", {u"PNPTEST\\HoldLock", u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  reinterpret_cast<PnpBusUnplugFn *>(Hook("pnpbus.sys", "PnpBusUnplug"))(held);
  EXPECT_FALSE(WaitForPnpIdle(300));
  EXPECT_EQ(1u, FuncDevices());
  reinterpret_cast<PnpFuncReleaseHeldFn *>(Hook("pnpfunc.sys", "PnpFuncReleaseHeld"))();
  ASSERT_TRUE(WaitForPnpIdle());
  EXPECT_EQ(0u, FuncDevices());
  EXPECT_EQ("none", Named("held").state);
}

}  // namespace
}  // namespace bw::test
