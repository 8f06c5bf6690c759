// The Win32 side over a real ramvold: opens, requests, last errors, APCs
// delivered only in alertable waits, 32-bit processes, many processes.
#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

namespace bw::test {
namespace {

constexpr DWORD kEcho = 0x222000;
constexpr DWORD kQueueApc = 0x222008;
constexpr DWORD kCallerInfo = 0x222018;
constexpr DWORD kQueueApcToThread = 0x22201C;

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start({"--driver", BW_BIN_DIR "/testdrv.sys=BwTest"})) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  HANDLE OpenTestDevice() {
    return CreateFileW(u"\\\\.\\BwTest", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  }
  Daemon daemon_;
};

std::atomic<int> gApcRuns{0};
std::atomic<ULONG_PTR> gApcContext{0};
VOID NTAPI CountingApc(ULONG_PTR context, ULONG_PTR argument1, ULONG_PTR) {
  gApcContext = context;
  if (argument1 == 7) ++gApcRuns;
}

TEST_F(ClientTest, RequestsTravelAndFailuresSetTheLastError) {
  HANDLE device = OpenTestDevice();
  ASSERT_NE(INVALID_HANDLE_VALUE, device) << GetLastError();
  char input[] = "round trip";
  char output[32] = {};
  DWORD returned = 0;
  ASSERT_TRUE(DeviceIoControl(device, kEcho, input, sizeof input, output, sizeof output, &returned,
                              nullptr));
  EXPECT_EQ(sizeof input, returned);
  EXPECT_STREQ("round trip", output);
  EXPECT_FALSE(DeviceIoControl(device, 0x222FFC, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
  // A status handed to GetOverlappedResult comes back as its Win32 error.
  OVERLAPPED o{};
  o.Internal = 0xC000042B;
  EXPECT_FALSE(GetOverlappedResult(device, &o, &returned, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IMPLEMENTATION_LIMIT), GetLastError());
  o.Internal = 0xC0000206;
  EXPECT_FALSE(GetOverlappedResult(device, &o, &returned, FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_USER_BUFFER), GetLastError());
  EXPECT_TRUE(CloseHandle(device));
  EXPECT_FALSE(CloseHandle(device));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW(u"\\\\.\\NoSuchDevice", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_F(ClientTest, ApcsRunOnlyInAlertableWaits) {
  HANDLE device = OpenTestDevice();
  ASSERT_NE(INVALID_HANDLE_VALUE, device);
  uint64_t request[2] = {reinterpret_cast<uint64_t>(&CountingApc), 0x5151};
  DWORD returned;
  gApcRuns = 0;
  ASSERT_TRUE(DeviceIoControl(device, kQueueApc, request, sizeof request, nullptr, 0, &returned,
                              nullptr));
  SleepEx(20, FALSE);  // not alertable: nothing runs
  EXPECT_EQ(0, gApcRuns.load());
  EXPECT_EQ(1u, BwPendingApcCount());
  EXPECT_EQ(static_cast<DWORD>(WAIT_IO_COMPLETION), SleepEx(1000, TRUE));
  EXPECT_EQ(1, gApcRuns.load());
  EXPECT_EQ(0x5151u, gApcContext.load());
  EXPECT_EQ(0u, SleepEx(10, TRUE));  // nothing more queued
  CloseHandle(device);
}

std::atomic<int> gLateApcs{0};
VOID NTAPI CountLateApc(ULONG_PTR, ULONG_PTR, ULONG_PTR) { ++gLateApcs; }

TEST_F(ClientTest, AThreadThatNeverWaitsAlertablyStallsNobody) {
  // The thread sleeps without being alertable while thousands of calls are
  // queued to it: more than its socket holds. Requests keep being served.
  std::atomic<bool> release{false};
  HANDLE sleeper = CreateThread(
      nullptr, 0,
      [](LPVOID flag) -> DWORD {
        while (!static_cast<std::atomic<bool> *>(flag)->load()) SleepEx(10, FALSE);
        while (SleepEx(200, TRUE) == WAIT_IO_COMPLETION) {
        }
        return 0;
      },
      &release, 0, nullptr);
  ASSERT_NE(nullptr, sleeper);
  HANDLE device = OpenTestDevice();
  ASSERT_NE(INVALID_HANDLE_VALUE, device);
  uint64_t request[3] = {reinterpret_cast<uint64_t>(sleeper),
                         reinterpret_cast<uint64_t>(&CountLateApc), 0};
  DWORD returned;
  const int kCalls = 3000;
  for (int i = 0; i < kCalls; ++i)
    ASSERT_TRUE(DeviceIoControl(device, kQueueApcToThread, request, sizeof request, nullptr, 0,
                                &returned, nullptr))
        << i << " " << GetLastError();
  release = true;
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(sleeper, 30000));
  EXPECT_EQ(kCalls, gLateApcs.load());  // every call ran once the thread waited
  CloseHandle(sleeper);
  CloseHandle(device);
}

TEST_F(ClientTest, ThreadHandlesAreKnownToTheKernel) {
  HANDLE thread = CreateThread(
      nullptr, 0, [](LPVOID) -> DWORD { return 5; }, nullptr, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  // The handle is one of the daemon's: small and a multiple of four.
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(thread) % 4);
  EXPECT_LT(reinterpret_cast<uintptr_t>(thread), 0x40000000u);
  EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread, 5000));
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(thread, &code));
  EXPECT_EQ(5u, code);
  EXPECT_TRUE(CloseHandle(thread));
}

TEST_F(ClientTest, ManyProcessesAtOnce) {
  std::vector<pid_t> children;
  for (int i = 0; i < 6; ++i) {
    pid_t pid = fork();
    if (pid == 0) {
      HANDLE device = OpenTestDevice();
      int failures = device == INVALID_HANDLE_VALUE;
      for (int n = 0; n < 200 && !failures; ++n) {
        uint32_t value = static_cast<uint32_t>(getpid() * 1000 + n), back = 0;
        DWORD returned = 0;
        if (!DeviceIoControl(device, kEcho, &value, 4, &back, 4, &returned, nullptr) ||
            back != value)
          ++failures;
      }
      _exit(failures ? 1 : 0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) {
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  EXPECT_TRUE(daemon_.Running());
}

TEST_F(ClientTest, AProcessMayDeclareItselfThirtyTwoBit) {
  pid_t pid = fork();
  if (pid == 0) {
    BwDeclareWow64Process(TRUE);
    HANDLE device = OpenTestDevice();
    ULONG info[3] = {};
    DWORD returned = 0;
    bool ok = device != INVALID_HANDLE_VALUE &&
              DeviceIoControl(device, kCallerInfo, nullptr, 0, info, sizeof info, &returned,
                              nullptr) &&
              info[0] == 1 && info[2] == 1 /* UserMode */;
    // Too late once the process has talked to the system.
    ok = ok && !BwDeclareWow64Process(FALSE);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace bw::test
