// Tokens and privileges as a program meets them, and the small kernel32 and
// user32 helpers the control library calls: critical sections, the memory
// status, case-blind comparison and upper-casing.

#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class Tokens : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  void TearDown() override { EXPECT_EQ(0, daemon_.Stop()); }

  static LUID Privilege(LPCWSTR name) {
    LUID luid{};
    EXPECT_TRUE(LookupPrivilegeValueW(nullptr, name, &luid)) << GetLastError();
    return luid;
  }
  // Whether the token says the privilege is enabled (false when it lacks it).
  static bool Enabled(HANDLE token, LUID privilege) {
    std::vector<uint8_t> buffer(4096);
    DWORD length = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenPrivileges, buffer.data(), static_cast<DWORD>(buffer.size()),
                                    &length));
    auto *privileges = reinterpret_cast<TOKEN_PRIVILEGES *>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i)
      if (privileges->Privileges[i].Luid.LowPart == privilege.LowPart &&
          privileges->Privileges[i].Luid.HighPart == privilege.HighPart)
        return privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED;
    return false;
  }

  bw::test::Daemon daemon_;
};

TEST_F(Tokens, NamesOfPrivileges) {
  EXPECT_EQ(19u, Privilege(SE_SHUTDOWN_NAME).LowPart);
  EXPECT_EQ(10u, Privilege(u"seloaddriverprivilege").LowPart);  // without regard to case
  LUID luid;
  EXPECT_FALSE(LookupPrivilegeValueW(nullptr, u"SeFlyPrivilege", &luid));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE), GetLastError());
  EXPECT_FALSE(LookupPrivilegeValueW(u"otherhost", SE_SHUTDOWN_NAME, &luid));
  EXPECT_EQ(static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE), GetLastError());
  EXPECT_FALSE(LookupPrivilegeValueW(nullptr, nullptr, &luid));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(Tokens, NoThreadImpersonates) {
  HANDLE token = reinterpret_cast<HANDLE>(1);
  EXPECT_FALSE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_TOKEN), GetLastError());
  EXPECT_EQ(nullptr, token);
  EXPECT_FALSE(OpenThreadToken(reinterpret_cast<HANDLE>(0x777), TOKEN_QUERY, TRUE, &token));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(Tokens, PrivilegesAreEnabledAndDisabled) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  LUID shutdown = Privilege(SE_SHUTDOWN_NAME);
  ASSERT_FALSE(Enabled(token, shutdown));
  TOKEN_PRIVILEGES change{1, {{shutdown, SE_PRIVILEGE_ENABLED}}};
  TOKEN_PRIVILEGES previous{};
  DWORD length = 0;
  SetLastError(ERROR_INVALID_DATA);
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &change, sizeof previous, &previous, &length));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
  EXPECT_TRUE(Enabled(token, shutdown));
  // The previous state names what changed, as it was.
  ASSERT_EQ(1u, previous.PrivilegeCount);
  EXPECT_EQ(shutdown.LowPart, previous.Privileges[0].Luid.LowPart);
  EXPECT_EQ(0u, previous.Privileges[0].Attributes);
  EXPECT_EQ(sizeof(TOKEN_PRIVILEGES), length);
  // Enabling it again changes nothing, so nothing is reported.
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &change, sizeof previous, &previous, &length));
  EXPECT_EQ(0u, previous.PrivilegeCount);
  // Back as it was, by giving the previous state back.
  change.Privileges[0].Attributes = 0;
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr));
  EXPECT_FALSE(Enabled(token, shutdown));
  CloseHandle(token);
}

TEST_F(Tokens, APrivilegeNotHeldIsNoFailure) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  // No token here holds the sync agent's privilege.
  TOKEN_PRIVILEGES change{1, {{Privilege(u"SeSyncAgentPrivilege"), SE_PRIVILEGE_ENABLED}}};
  ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED), GetLastError());
  CloseHandle(token);
}

TEST_F(Tokens, AccessTheHandleWasOpenedWith) {
  HANDLE query = nullptr, adjust = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &query));
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &adjust));
  TOKEN_PRIVILEGES change{1, {{Privilege(SE_SHUTDOWN_NAME), SE_PRIVILEGE_ENABLED}}};
  EXPECT_FALSE(AdjustTokenPrivileges(query, FALSE, &change, 0, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  TOKEN_STATISTICS statistics{};
  DWORD length = 0;
  EXPECT_FALSE(GetTokenInformation(adjust, TokenStatistics, &statistics, sizeof statistics, &length));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  // The previous state is read from the token: query access is needed too.
  TOKEN_PRIVILEGES previous{};
  EXPECT_FALSE(AdjustTokenPrivileges(adjust, FALSE, &change, sizeof previous, &previous, &length));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(AdjustTokenPrivileges(adjust, FALSE, nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_FALSE(AdjustTokenPrivileges(reinterpret_cast<HANDLE>(0x999), FALSE, &change, 0, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  CloseHandle(query);
  CloseHandle(adjust);
}

TEST_F(Tokens, NoRoomForThePreviousStateChangesNothing) {
  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  LUID shutdown = Privilege(SE_SHUTDOWN_NAME);
  TOKEN_PRIVILEGES change{1, {{shutdown, SE_PRIVILEGE_ENABLED}}};
  TOKEN_PRIVILEGES previous{};
  DWORD length = 0;
  EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &change, sizeof(DWORD), &previous, &length));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(sizeof(TOKEN_PRIVILEGES), length);
  EXPECT_FALSE(Enabled(token, shutdown));
  CloseHandle(token);
}

TEST(Helpers, CaseBlindComparisonAndUpperCase) {
  EXPECT_EQ(0, lstrcmpiW(u"Null", u"NULL"));
  EXPECT_LT(lstrcmpiW(u"abc", u"ABD"), 0);
  EXPECT_GT(lstrcmpiW(u"abcd", u"ABC"), 0);
  EXPECT_LT(lstrcmpiW(nullptr, u""), 0);
  EXPECT_EQ(0, lstrcmpiW(nullptr, nullptr));
  EXPECT_TRUE(IsCharAlphaW(u'q'));
  EXPECT_FALSE(IsCharAlphaW(u'4'));
  EXPECT_FALSE(IsCharAlphaW(u':'));
  // One character in the pointer's low word, or a string in place.
  EXPECT_EQ(static_cast<ULONG_PTR>(u'Q'),
            reinterpret_cast<ULONG_PTR>(CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(u'q')))));
  char16_t text[] = u"ab:c1";
  EXPECT_EQ(text, CharUpperW(text));
  EXPECT_EQ(std::u16string(u"AB:C1"), text);
}

TEST(Helpers, MemoryStatusChecksItsLength) {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status - 1;
  EXPECT_FALSE(GlobalMemoryStatusEx(&status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  status.dwLength = sizeof status;
  ASSERT_TRUE(GlobalMemoryStatusEx(&status));
  EXPECT_GT(status.ullTotalPhys, 0u);
  EXPECT_LE(status.ullAvailPhys, status.ullTotalPhys);
  EXPECT_LE(status.dwMemoryLoad, 100u);
  EXPECT_GE(status.ullTotalPageFile, status.ullTotalPhys);
}

TEST(Helpers, CriticalSectionIsRecursiveAndExclusive) {
  CRITICAL_SECTION section;
  InitializeCriticalSection(&section);
  EnterCriticalSection(&section);
  ASSERT_TRUE(TryEnterCriticalSection(&section));  // the owner enters again
  std::atomic<bool> entered{false};
  std::thread other([&] { entered = TryEnterCriticalSection(&section); });
  other.join();
  EXPECT_FALSE(entered);
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  std::thread after([&] {
    entered = TryEnterCriticalSection(&section);
    if (entered) LeaveCriticalSection(&section);
  });
  after.join();
  EXPECT_TRUE(entered);
  DeleteCriticalSection(&section);
}

}  // namespace
