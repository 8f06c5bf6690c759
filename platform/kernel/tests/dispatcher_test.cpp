// Dispatcher objects, waits with time-outs, fast mutexes, timers with DPCs.
#include "platform/kernel/tests/kernel_fixture.h"

#include <ntddk.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace bw::test {
namespace {

using DispatcherTest = KernelTest;

LARGE_INTEGER Relative(int ms) {
  LARGE_INTEGER t;
  t.QuadPart = -static_cast<LONGLONG>(ms) * 10000;
  return t;
}

TEST_F(DispatcherTest, EventsWakeWaitersAndTimeOut) {
  KEVENT notification, synchronization;
  KeInitializeEvent(&notification, NotificationEvent, FALSE);
  KeInitializeEvent(&synchronization, SynchronizationEvent, FALSE);
  LARGE_INTEGER zero{};
  EXPECT_STATUS(STATUS_TIMEOUT, KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &zero));
  LARGE_INTEGER shortWait = Relative(20);
  auto start = std::chrono::steady_clock::now();
  EXPECT_STATUS(STATUS_TIMEOUT,
                KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &shortWait));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(15));

  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    KeSetEvent(&notification, 0, FALSE);
    KeSetEvent(&synchronization, 0, FALSE);
  });
  EXPECT_STATUS(STATUS_SUCCESS,
                KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, nullptr));
  EXPECT_STATUS(STATUS_SUCCESS,
                KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, nullptr));
  setter.join();
  // A notification event stays set; a synchronization event resets on a wait.
  EXPECT_EQ(1, KeReadStateEvent(&notification));
  EXPECT_EQ(0, KeReadStateEvent(&synchronization));
  PVOID both[2] = {&synchronization, &notification};
  EXPECT_STATUS(STATUS_WAIT_1, KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode,
                                                        FALSE, &zero, nullptr));
  EXPECT_STATUS(STATUS_TIMEOUT, KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode,
                                                         FALSE, &zero, nullptr));
}

TEST_F(DispatcherTest, FastMutexSerialisesThreadsAndRaisesIrql) {
  FAST_MUTEX mutex;
  ExInitializeFastMutex(&mutex);
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        ExAcquireFastMutex(&mutex);
        EXPECT_EQ(APC_LEVEL, KeGetCurrentIrql());
        int seen = counter;
        counter = seen + 1;
        ExReleaseFastMutex(&mutex);
      }
      EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
    });
  for (auto &t : threads) t.join();
  EXPECT_EQ(8000, counter);
  EXPECT_TRUE(ExTryToAcquireFastMutex(&mutex));
  std::thread other([&] { EXPECT_FALSE(ExTryToAcquireFastMutex(&mutex)); });
  other.join();
  ExReleaseFastMutex(&mutex);
}

TEST_F(DispatcherTest, SpinLocksRaiseToDispatchLevel) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(PASSIVE_LEVEL, KeGetCurrentIrql());
}

std::atomic<int> gDpcRuns{0};
VOID CountDpc(PKDPC, PVOID context, PVOID, PVOID) {
  EXPECT_EQ(DISPATCH_LEVEL, KeGetCurrentIrql());
  static_cast<std::atomic<int> *>(context)->fetch_add(1);
}

TEST_F(DispatcherTest, TimersSignalAndRunTheirDpcs) {
  KTIMER timer;
  KDPC dpc;
  std::atomic<int> runs{0};
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, CountDpc, &runs);
  EXPECT_FALSE(KeSetTimer(&timer, Relative(10), &dpc));
  EXPECT_STATUS(STATUS_SUCCESS, KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr));
  KeFlushQueuedDpcs();
  EXPECT_EQ(1, runs.load());
  // A periodic timer fires until cancelled; a cancelled one stays quiet.
  KeSetTimerEx(&timer, Relative(5), 5, &dpc);
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  EXPECT_TRUE(KeCancelTimer(&timer));
  KeFlushQueuedDpcs();
  int after = runs.load();
  EXPECT_GE(after, 4);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(after, runs.load());
  EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST_F(DispatcherTest, VersionIsConfigurable) {
  RTL_OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof info;
  SetSystemVersion(6, 1, 7601, false);
  ASSERT_STATUS(STATUS_SUCCESS, RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)));
  EXPECT_EQ(6u, info.dwMajorVersion);
  EXPECT_EQ(1u, info.dwMinorVersion);
  EXPECT_EQ(VER_NT_SERVER, info.wProductType);
  info.dwOSVersionInfoSize = 3;
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)));
}

TEST_F(DispatcherTest, PoolIsAccountedPerTag) {
  const ULONG tag = 0x31747354;  // "Tst1"
  void *a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, tag);
  void *b = ExAllocatePool2(POOL_FLAG_NON_PAGED, 28, tag);
  EXPECT_EQ(128u, PoolBytesWithTag(tag));
  EXPECT_EQ(0, static_cast<char *>(b)[27]);  // ExAllocatePool2 zeroes
  ExFreePoolWithTag(a, tag);
  ExFreePoolWithTag(b, tag);
  EXPECT_EQ(0u, PoolBytesWithTag(tag));
  InjectFault(Fault::PoolAllocation, 1, 1);
  void *first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
  EXPECT_NE(nullptr, first);
  EXPECT_EQ(nullptr, ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag));
  void *third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, tag);
  EXPECT_NE(nullptr, third);
  ExFreePool(first);
  ExFreePool(third);
  EXPECT_EQ("Tst1", TagName(tag));
}

}  // namespace
}  // namespace bw::test
