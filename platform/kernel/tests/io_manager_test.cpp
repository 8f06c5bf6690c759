// The I/O manager, object namespace, security on open, work items, APCs
// and system threads, driven through a small test driver.
#include "platform/kernel/tests/kernel_fixture.h"

#include <ntddk.h>

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace bw::test {
namespace {

constexpr ULONG kEcho = 0x222000;
constexpr ULONG kPend = 0x222004;
constexpr ULONG kQueueApc = 0x222008;
constexpr ULONG kThreadTimer = 0x22200C;
constexpr ULONG kCompleteTwice = 0x222010;
constexpr ULONG kPendUnmarked = 0x222014;
constexpr ULONG kCallerInfo = 0x222018;
constexpr ULONG kTestTag = 0x74737442;

class IoManagerTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    std::string error;
    ASSERT_STATUS(STATUS_SUCCESS, LoadDriver(BW_BIN_DIR "/testdrv.sys", u"BwTest", &error))
        << error;
    // The driver and its device's descriptor stay until the shutdown.
    TakePoolBaseline();
  }

  std::shared_ptr<UserProcess> Process(uint32_t uid, bool wow64 = false) {
    ProcessOptions options;
    options.uid = uid;
    options.gid = uid;
    options.wow64 = wow64;
    return CreateUserProcess(options);
  }

  HANDLE Open(UserProcess &process, UserThread &thread, ACCESS_MASK access = GENERIC_READ) {
    HANDLE handle = nullptr;
    EXPECT_STATUS(STATUS_SUCCESS, process.CreateFile(thread, u"\\??\\BwTest", access,
                                                     FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                     FILE_OPEN, 0, &handle));
    return handle;
  }
};

TEST_F(IoManagerTest, NamesResolveThroughLinksAndDirectories) {
  EXPECT_TRUE(ObjectExists(u"\\Device\\BwTestDevice"));
  EXPECT_TRUE(ObjectExists(u"\\??\\BwTest"));
  EXPECT_TRUE(ObjectExists(u"\\DosDevices\\bwtest"));  // names are case-insensitive
  EXPECT_TRUE(ObjectExists(u"\\GLOBAL??\\BwTest"));
  EXPECT_TRUE(ObjectExists(u"\\Driver\\BwTest"));
  auto process = Process(1000);
  auto thread = process->CreateThread(1);
  HANDLE handle;
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                process->CreateFile(*thread, u"\\??\\NoSuchDevice", GENERIC_READ, 0, FILE_OPEN, 0,
                                    &handle));
  EXPECT_STATUS(STATUS_OBJECT_PATH_NOT_FOUND,
                process->CreateFile(*thread, u"\\NoDir\\Device", GENERIC_READ, 0, FILE_OPEN, 0,
                                    &handle));
  EXPECT_STATUS(STATUS_OBJECT_PATH_SYNTAX_BAD,
                process->CreateFile(*thread, u"relative", GENERIC_READ, 0, FILE_OPEN, 0, &handle));
}

TEST_F(IoManagerTest, OpenChecksTheDeviceSecurityForUserCallers) {
  // "Users may read": an ordinary user gets read access but not write.
  auto user = Process(1000);
  auto thread = user->CreateThread(1);
  HANDLE handle = nullptr;
  EXPECT_STATUS(STATUS_ACCESS_DENIED,
                user->CreateFile(*thread, u"\\??\\BwTest", GENERIC_READ | GENERIC_WRITE, 0,
                                 FILE_OPEN, 0, &handle));
  EXPECT_STATUS(STATUS_SUCCESS,
                user->CreateFile(*thread, u"\\??\\BwTest", GENERIC_READ, 0, FILE_OPEN, 0, &handle));
  EXPECT_STATUS(STATUS_SUCCESS, user->Close(handle));
  // LocalSystem (uid 0) has full access.
  auto system = Process(0);
  auto systemThread = system->CreateThread(1);
  EXPECT_STATUS(STATUS_SUCCESS, system->CreateFile(*systemThread, u"\\??\\BwTest",
                                                   GENERIC_READ | GENERIC_WRITE, 0, FILE_OPEN, 0,
                                                   &handle));
}

TEST_F(IoManagerTest, BufferedRequestsCarryInputAndOutput) {
  auto process = Process(1000);
  auto thread = process->CreateThread(1);
  HANDLE handle = Open(*process, *thread);
  const char text[] = "hello, device";
  IoResult r = process->DeviceIoControl(*thread, handle, kEcho, text, sizeof text, 64);
  EXPECT_STATUS(STATUS_SUCCESS, r.status);
  ASSERT_EQ(sizeof text, r.information);
  EXPECT_EQ(0, memcmp(r.output.data(), text, sizeof text));
  // Output shorter than the input: only what fits comes back.
  r = process->DeviceIoControl(*thread, handle, kEcho, text, sizeof text, 5);
  EXPECT_EQ(5u, r.information);
  EXPECT_EQ(0, memcmp(r.output.data(), "hello", 5));
  r = process->DeviceIoControl(*thread, handle, 0x22203C, nullptr, 0, 0);
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, r.status);
  // A handle of another process, or none, is not this process's.
  auto other = Process(1001);
  auto otherThread = other->CreateThread(1);
  r = other->DeviceIoControl(*otherThread, handle, kEcho, text, 1, 1);
  EXPECT_STATUS(STATUS_INVALID_HANDLE, r.status);
}

TEST_F(IoManagerTest, PendingRequestsCompleteFromWorkItems) {
  auto process = Process(1000);
  auto thread = process->CreateThread(1);
  HANDLE handle = Open(*process, *thread);
  // Many times: the worker's completion races the dispatching frame's
  // return, and exactly one of them must free the request.
  for (int i = 0; i < 3000; ++i) {
    IoResult r = process->DeviceIoControl(*thread, handle, kPend, nullptr, 0, 0);
    EXPECT_STATUS(STATUS_SUCCESS, r.status);
  }
}

TEST_F(IoManagerTest, CreateCleanupAndCloseReachTheDriver) {
  auto counters = reinterpret_cast<void (*)(LONG *, LONG *, LONG *)>(
      dlsym(bw::LoadedDriverModule(BW_BIN_DIR "/testdrv.sys"), "TestDriverCounters"));
  ASSERT_NE(nullptr, counters);
  LONG opens, cleanups, closes;
  counters(&opens, &cleanups, &closes);
  auto process = Process(1000);
  auto thread = process->CreateThread(1);
  HANDLE handle = Open(*process, *thread);
  LONG opens2, cleanups2, closes2;
  counters(&opens2, &cleanups2, &closes2);
  EXPECT_EQ(opens + 1, opens2);
  EXPECT_EQ(cleanups, cleanups2);
  EXPECT_STATUS(STATUS_SUCCESS, process->Close(handle));
  EXPECT_STATUS(STATUS_INVALID_HANDLE, process->Close(handle));
  counters(&opens2, &cleanups2, &closes2);
  EXPECT_EQ(cleanups + 1, cleanups2);
  EXPECT_EQ(closes + 1, closes2);
  // A process that ends closes its handles.
  Open(*process, *thread);
  process->Terminate();
  counters(&opens2, &cleanups2, &closes2);
  EXPECT_EQ(closes + 2, closes2);
}

TEST_F(IoManagerTest, UserApcsReachTheThreadsSink) {
  auto process = Process(1000);
  auto thread = process->CreateThread(1);
  std::vector<UserApc> received;
  std::mutex lock;
  thread->SetApcSink([&](const UserApc &apc) {
    std::lock_guard<std::mutex> guard(lock);
    received.push_back(apc);
  });
  HANDLE handle = Open(*process, *thread);
  uint64_t input[2] = {0x1234560, 0xABCDEF};
  IoResult r = process->DeviceIoControl(*thread, handle, kQueueApc, input, 16, 0);
  EXPECT_STATUS(STATUS_SUCCESS, r.status);
  ASSERT_EQ(1u, received.size());
  EXPECT_EQ(0x1234560u, received[0].routine);
  EXPECT_EQ(0xABCDEFu, received[0].normalContext);
  EXPECT_EQ(7u, received[0].systemArgument1);
  EXPECT_EQ(0u, PoolBytesWithTag(kTestTag));  // the kernel routine freed the APC
  // APCs queued before a sink exists wait for it.
  auto second = process->CreateThread(2);
  r = process->DeviceIoControl(*second, handle, kQueueApc, input, 16, 0);
  EXPECT_STATUS(STATUS_SUCCESS, r.status);
  std::vector<UserApc> late;
  second->SetApcSink([&](const UserApc &apc) { late.push_back(apc); });
  EXPECT_EQ(1u, late.size());
}

TEST_F(IoManagerTest, ThirtyTwoBitCallersAreTold) {
  auto process = Process(1000, true);
  auto thread = process->CreateThread(1);
  HANDLE handle = Open(*process, *thread);
  IoResult r = process->DeviceIoControl(*thread, handle, kCallerInfo, nullptr, 0, 12);
  ASSERT_STATUS(STATUS_SUCCESS, r.status);
  ULONG info[3];
  memcpy(info, r.output.data(), sizeof info);
  EXPECT_EQ(1u, info[0]);
  EXPECT_EQ(1u, info[1]);  // session of an interactive user
  EXPECT_EQ(static_cast<ULONG>(UserMode), info[2]);
}

TEST_F(IoManagerTest, SystemThreadsWaitOnTimers) {
  auto process = Process(0);
  auto thread = process->CreateThread(1);
  HANDLE handle = Open(*process, *thread);
  IoResult r = process->DeviceIoControl(*thread, handle, kThreadTimer, nullptr, 0, 0);
  EXPECT_STATUS(STATUS_SUCCESS, r.status);
  EXPECT_EQ(0u, PoolBytesWithTag(kTestTag));
}

// A work item still running in the driver's code keeps its image loaded:
// unloading waits for it rather than unmapping code that is about to run.
TEST_F(IoManagerTest, UnloadWaitsForWorkItemsStillRunning) {
  constexpr ULONG kLateWork = 0x222030;
  auto process = Process(1000);
  auto thread = process->CreateThread(1);
  HANDLE handle = Open(*process, *thread);
  for (int i = 0; i < 3; ++i) {
    EXPECT_STATUS(STATUS_SUCCESS, process->DeviceIoControl(*thread, handle, kLateWork, nullptr, 0, 0).status);
  }
  EXPECT_STATUS(STATUS_SUCCESS, process->Close(handle));
  EXPECT_STATUS(STATUS_SUCCESS, UnloadDriver(u"BwTest"));
  EXPECT_FALSE(ObjectExists(u"\\Device\\BwTestDevice"));
}

TEST_F(IoManagerTest, UnloadRemovesTheDriversObjects) {
  size_t handles = KernelHandleCount();
  EXPECT_STATUS(STATUS_SUCCESS, UnloadDriver(u"BwTest"));
  EXPECT_FALSE(ObjectExists(u"\\Device\\BwTestDevice"));
  EXPECT_FALSE(ObjectExists(u"\\??\\BwTest"));
  EXPECT_FALSE(ObjectExists(u"\\Driver\\BwTest"));
  EXPECT_EQ(handles, KernelHandleCount());
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, UnloadDriver(u"BwTest"));
  std::string error;
  EXPECT_STATUS(STATUS_DRIVER_UNABLE_TO_LOAD, LoadDriver("/nonexistent.sys", u"Missing", &error));
  EXPECT_NE(std::string::npos, error.find("/nonexistent.sys"));
}

using IoManagerDeathTest = IoManagerTest;

TEST_F(IoManagerDeathTest, TheCheckerCatchesDriverFaults) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto process = Process(0);
  auto thread = process->CreateThread(1);
  HANDLE handle = Open(*process, *thread);
  EXPECT_DEATH(process->DeviceIoControl(*thread, handle, kCompleteTwice, nullptr, 0, 0),
               "IRP completed twice");
  EXPECT_DEATH(process->DeviceIoControl(*thread, handle, kPendUnmarked, nullptr, 0, 0),
               "STATUS_PENDING without IoMarkIrpPending");
}

}  // namespace
}  // namespace bw::test
