// The system ending under a client: ramvold killed while a request waits
// in a driver. The call fails as for a device that was removed, handles of
// the ended system stay dead even when a new one starts, and devio says so
// and fails.
#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace bw::test {
namespace {

constexpr DWORD kEcho = 0x222000;
constexpr DWORD kStall = 0x22202C;  // waits in the driver until it unloads

class LostSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start(kDriver)) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  HANDLE Open(const char16_t *path) {
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  }
  // True once a stalled request has reached the driver.
  bool WaitForTheStall() {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < until) {
      HANDLE marker = Open(u"\\\\.\\BwTestStalled");
      if (marker != INVALID_HANDLE_VALUE) {
        CloseHandle(marker);
        return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
  const std::vector<std::string> kDriver = {"--driver", BW_BIN_DIR "/testdrv.sys=BwTest"};
  Daemon daemon_;
};

TEST_F(LostSystemTest, ACallWhoseSystemEndsFailsAsForARemovedDevice) {
  HANDLE device = Open(u"\\\\.\\BwTest");
  ASSERT_NE(INVALID_HANDLE_VALUE, device) << GetLastError();
  HANDLE other = Open(u"\\\\.\\BwTest");
  ASSERT_NE(INVALID_HANDLE_VALUE, other);
  BOOL ok = TRUE;
  DWORD error = 0;
  OVERLAPPED result{};
  std::thread caller([&] {
    DWORD returned = 0;
    ok = DeviceIoControl(device, kStall, nullptr, 0, nullptr, 0, &returned, &result);
    error = GetLastError();
  });
  ASSERT_TRUE(WaitForTheStall());
  daemon_.Kill();
  caller.join();
  EXPECT_FALSE(ok);
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_REMOVED), error);
  EXPECT_EQ(0x103u, result.Internal);  // the request never completed
  // The handles went with their system.
  char byte = 0;
  DWORD returned = 0;
  EXPECT_FALSE(DeviceIoControl(device, kEcho, &byte, 1, &byte, 1, &returned, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_REMOVED), GetLastError());
  EXPECT_FALSE(ReadFile(device, &byte, 1, &returned, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_REMOVED), GetLastError());
  EXPECT_FALSE(FlushFileBuffers(device));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_REMOVED), GetLastError());
  EXPECT_TRUE(CloseHandle(device));
  // No system, no device.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(u"\\\\.\\BwTest"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  // A new system gives new handles; one of the old is still no handle of it.
  ASSERT_TRUE(daemon_.Start(kDriver)) << daemon_.Output();
  HANDLE fresh = Open(u"\\\\.\\BwTest");
  ASSERT_NE(INVALID_HANDLE_VALUE, fresh) << GetLastError();
  EXPECT_TRUE(DeviceIoControl(fresh, kEcho, &byte, 1, &byte, 1, &returned, nullptr));
  EXPECT_FALSE(DeviceIoControl(other, kEcho, &byte, 1, &byte, 1, &returned, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEVICE_REMOVED), GetLastError());
  EXPECT_TRUE(CloseHandle(other));
  EXPECT_TRUE(CloseHandle(fresh));
}

// A thread whose connection went with the old system has not noticed yet:
// a handle of the new system, opened by another thread, still reaches it.
TEST_F(LostSystemTest, AThreadOfAnEndedSystemReachesTheNextWithItsHandles) {
  HANDLE old = Open(u"\\\\.\\BwTest");
  ASSERT_NE(INVALID_HANDLE_VALUE, old) << GetLastError();
  daemon_.Kill();
  EXPECT_TRUE(CloseHandle(old));
  ASSERT_TRUE(daemon_.Start(kDriver)) << daemon_.Output();
  // The opener stays: with its process's last connection its handles would
  // close.
  std::promise<HANDLE> opened;
  std::promise<void> done;
  std::thread opener([&] {
    opened.set_value(Open(u"\\\\.\\BwTest"));
    done.get_future().wait();
  });
  HANDLE fresh = opened.get_future().get();
  EXPECT_NE(INVALID_HANDLE_VALUE, fresh);
  char byte = 7;
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(fresh, kEcho, &byte, 1, &byte, 1, &returned, nullptr)) << GetLastError();
  EXPECT_EQ(1u, returned);
  EXPECT_TRUE(CloseHandle(fresh));
  done.set_value();
  opener.join();
}

TEST_F(LostSystemTest, DevioReportsTheEndedSystemAndFails) {
  int code = -1;
  std::string output;
  std::thread devio([&] { output = Devio(daemon_, "'\\\\.\\BwTest' 0x22202C", &code); });
  ASSERT_TRUE(WaitForTheStall());
  daemon_.Kill();
  devio.join();
  EXPECT_EQ(1, code);
  EXPECT_NE(std::string::npos,
            output.find("DeviceIoControl failed: error 1617 (ERROR_DEVICE_REMOVED)"))
      << output;
  EXPECT_EQ(std::string::npos, output.find("status=")) << output;
}

}  // namespace
}  // namespace bw::test
