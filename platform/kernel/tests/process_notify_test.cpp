// Process notifications: creation and exit with the right ids, in the
// process's own context, and a creation routine that waits holding back
// that process only.
#include "platform/kernel/tests/kernel_fixture.h"

#include <ntddk.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace bw::test {
namespace {

struct Call {
  uint32_t parent;
  uint32_t pid;
  bool create;
  bool foundByLookup;
  bool inItsContext;
};
std::mutex gCallsLock;
std::vector<Call> gCalls;

uint32_t Number(HANDLE id) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(id)); }

VOID Record(HANDLE ParentId, HANDLE ProcessId, BOOLEAN Create) {
  PEPROCESS process = nullptr;
  bool found = NT_SUCCESS(PsLookupProcessByProcessId(ProcessId, &process));
  bool context = found && process == PsGetCurrentProcess();
  if (found) ObfDereferenceObject(process);
  std::lock_guard<std::mutex> guard(gCallsLock);
  gCalls.push_back(Call{Number(ParentId), Number(ProcessId), Create != FALSE, found, context});
}

constexpr uint32_t kHeldPid = 7001;
KEVENT gRelease;
std::atomic<int> gHeld{0};

VOID HoldOne(HANDLE, HANDLE ProcessId, BOOLEAN Create) {
  if (!Create || Number(ProcessId) != kHeldPid) return;
  ++gHeld;
  KeWaitForSingleObject(&gRelease, Executive, KernelMode, FALSE, nullptr);
}

std::shared_ptr<UserProcess> Process(uint32_t pid, uint32_t parent = 0) {
  ProcessOptions options;
  options.pid = pid;
  options.parentPid = parent;
  options.uid = 1000;
  options.gid = 1000;
  return CreateUserProcess(options);
}

using ProcessNotifyTest = KernelTest;

TEST_F(ProcessNotifyTest, CreationAndExitAreToldWithTheIdsInTheProcesssContext) {
  gCalls.clear();
  ASSERT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(Record, FALSE));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, PsSetCreateProcessNotifyRoutine(Record, FALSE));
  auto process = Process(6001, 600);
  ASSERT_TRUE(process);
  {
    std::lock_guard<std::mutex> guard(gCallsLock);
    ASSERT_EQ(1u, gCalls.size());
    EXPECT_EQ(600u, gCalls[0].parent);
    EXPECT_EQ(6001u, gCalls[0].pid);
    EXPECT_TRUE(gCalls[0].create);
    EXPECT_TRUE(gCalls[0].foundByLookup);
    EXPECT_TRUE(gCalls[0].inItsContext);
  }
  process->Terminate();
  {
    std::lock_guard<std::mutex> guard(gCallsLock);
    ASSERT_EQ(2u, gCalls.size());
    EXPECT_EQ(600u, gCalls[1].parent);
    EXPECT_EQ(6001u, gCalls[1].pid);
    EXPECT_FALSE(gCalls[1].create);
    EXPECT_TRUE(gCalls[1].foundByLookup);
    EXPECT_TRUE(gCalls[1].inItsContext);
  }
  process.reset();  // ended once: no second exit
  PEPROCESS gone = nullptr;
  EXPECT_FALSE(NT_SUCCESS(PsLookupProcessByProcessId(reinterpret_cast<HANDLE>(6001), &gone)));
  EXPECT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(Record, TRUE));
  EXPECT_STATUS(STATUS_PROCEDURE_NOT_FOUND, PsSetCreateProcessNotifyRoutine(Record, TRUE));
  auto unseen = Process(6002);
  EXPECT_EQ(2u, gCalls.size());
}

TEST_F(ProcessNotifyTest, ACreationRoutineThatWaitsHoldsThatProcessOnly) {
  KeInitializeEvent(&gRelease, NotificationEvent, FALSE);
  gHeld = 0;
  auto running = Process(7000);
  ASSERT_TRUE(running);
  auto runningThread = running->CreateThread(1);
  ASSERT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(HoldOne, FALSE));

  std::atomic<bool> firstRequestDone{false};
  std::thread creator([&] {
    auto held = Process(kHeldPid);
    ASSERT_TRUE(held);
    auto thread = held->CreateThread(1);
    HANDLE handle = nullptr;
    // Its first request: a lookup that fails is as good as any.
    held->CreateFile(*thread, u"\\??\\BwNothingHere", FILE_READ_DATA, 0, FILE_OPEN, 0, &handle);
    firstRequestDone = true;
  });
  while (gHeld == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));

  // Others go on meanwhile: a running process's requests, a new process.
  HANDLE handle = nullptr;
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                running->CreateFile(*runningThread, u"\\??\\BwNothingHere", FILE_READ_DATA, 0,
                                    FILE_OPEN, 0, &handle));
  auto another = Process(7002);
  EXPECT_TRUE(another);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(firstRequestDone);

  KeSetEvent(&gRelease, 0, FALSE);
  creator.join();
  EXPECT_TRUE(firstRequestDone);
  EXPECT_EQ(1, gHeld.load());
  EXPECT_STATUS(STATUS_SUCCESS, PsSetCreateProcessNotifyRoutine(HoldOne, TRUE));
}

}  // namespace
}  // namespace bw::test
