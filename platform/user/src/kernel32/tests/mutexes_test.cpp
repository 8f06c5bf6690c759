// CreateMutexW, OpenMutexW and ReleaseMutex against a running ramvold: the
// last errors a program sees, security attributes, and names that last
// while a handle is open.
#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

class Mutexes : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    daemon_ = new bw::test::Daemon();
    ASSERT_TRUE(daemon_->Start()) << daemon_->Output();
    setenv("BRIMWELL_ROOT", daemon_->Root().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete daemon_;
    daemon_ = nullptr;
  }
  static inline bw::test::Daemon *daemon_ = nullptr;
};

TEST_F(Mutexes, ASecondCreateOpensTheFirstAndSaysSo) {
  SetLastError(1234);
  HANDLE first = CreateMutexW(nullptr, FALSE, u"BwMutexOne");
  ASSERT_NE(nullptr, first) << GetLastError();
  EXPECT_EQ(ERROR_SUCCESS, GetLastError());
  HANDLE second = CreateMutexW(nullptr, FALSE, u"BwMutexOne");
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(ERROR_ALREADY_EXISTS, GetLastError());
  HANDLE opened = OpenMutexW(SYNCHRONIZE, FALSE, u"BwMutexOne");
  EXPECT_NE(nullptr, opened);
  for (HANDLE h : {first, second, opened}) EXPECT_TRUE(CloseHandle(h));
  // With its last handle the name is gone.
  EXPECT_EQ(nullptr, OpenMutexW(SYNCHRONIZE, FALSE, u"BwMutexOne"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetLastError());
}

TEST_F(Mutexes, NamesAreCheckedAndUnnamedOnesAreNeverShared) {
  EXPECT_EQ(nullptr, CreateMutexW(nullptr, FALSE, u"Bw\\Mutex"));
  EXPECT_EQ(ERROR_PATH_NOT_FOUND, GetLastError());
  EXPECT_EQ(nullptr, OpenMutexW(SYNCHRONIZE, FALSE, nullptr));
  EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
  HANDLE a = CreateMutexW(nullptr, FALSE, nullptr);
  HANDLE b = CreateMutexW(nullptr, FALSE, nullptr);
  ASSERT_NE(nullptr, a);
  ASSERT_NE(nullptr, b);
  EXPECT_EQ(ERROR_SUCCESS, GetLastError());
  EXPECT_NE(a, b);
  CloseHandle(a);
  CloseHandle(b);
}

TEST_F(Mutexes, ReleaseNeedsTheOwningThread) {
  HANDLE owned = CreateMutexW(nullptr, TRUE, u"Local\\BwOwned");
  ASSERT_NE(nullptr, owned);
  // Another thread of the process does not own it.
  struct Result {
    HANDLE mutex;
    BOOL released;
    DWORD error;
  } other{owned, TRUE, 0};
  HANDLE thread = CreateThread(
      nullptr, 0,
      [](LPVOID p) -> DWORD {
        auto *r = static_cast<Result *>(p);
        r->released = ReleaseMutex(r->mutex);
        r->error = GetLastError();
        return 0;
      },
      &other, 0, nullptr);
  ASSERT_NE(nullptr, thread);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_FALSE(other.released);
  EXPECT_EQ(ERROR_NOT_OWNER, other.error);
  EXPECT_TRUE(ReleaseMutex(owned));
  EXPECT_FALSE(ReleaseMutex(owned));
  EXPECT_EQ(ERROR_NOT_OWNER, GetLastError());
  CloseHandle(owned);
  EXPECT_FALSE(ReleaseMutex(owned));
  EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(Mutexes, SecurityAttributesCarryTheDescriptor) {
  SECURITY_DESCRIPTOR descriptor;
  EXPECT_FALSE(InitializeSecurityDescriptor(&descriptor, 2));
  EXPECT_EQ(ERROR_INVALID_REVISION, GetLastError());
  ASSERT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
  ASSERT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE));
  EXPECT_EQ(SE_DACL_PRESENT, descriptor.Control);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  HANDLE open = CreateMutexW(&attributes, FALSE, u"Global\\BwEveryone");
  ASSERT_NE(nullptr, open);
  HANDLE again = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, u"Global\\BwEveryone");
  EXPECT_NE(nullptr, again);
  CloseHandle(again);
  CloseHandle(open);
  // A malformed descriptor is refused before anything is made.
  descriptor.Revision = 7;
  EXPECT_EQ(nullptr, CreateMutexW(&attributes, FALSE, u"Global\\BwBroken"));
  EXPECT_EQ(ERROR_INVALID_SECURITY_DESCR, GetLastError());
}

}  // namespace
