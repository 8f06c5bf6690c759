// The window-message service: posts to a thread's windows, the quit
// request, data that a message's lParam points at, broadcasts that reach
// top-level windows only, and windows that go with their thread.

#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>
#include <dbt.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Seen {
  HWND window;
  UINT message;
  WPARAM wParam;
  std::vector<uint8_t> data;  // the record lParam pointed at, for WM_DEVICECHANGE
};
thread_local std::vector<Seen> *tSeen = nullptr;

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message >= WM_USER || message == WM_DEVICECHANGE || message == WM_SETTINGCHANGE) {
    Seen seen{window, message, wParam, {}};
    if (message == WM_DEVICECHANGE && lParam) {
      auto *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(lParam);
      auto *bytes = reinterpret_cast<const uint8_t *>(lParam);
      seen.data.assign(bytes, bytes + header->dbch_size);
    }
    if (message == WM_SETTINGCHANGE && lParam) {
      std::u16string text(reinterpret_cast<LPCWSTR>(lParam));
      seen.data.assign(text.begin(), text.end());
    }
    if (tSeen) tSeen->push_back(seen);
    return 7;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

class WindowMessages : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = Procedure;
    windowClass.lpszClassName = u"BwTestWindow";
    // One class per process: a test that runs after another finds it there.
    if (!RegisterClassExW(&windowClass)) {
      ASSERT_EQ(static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS), GetLastError());
    }
    tSeen = &seen_;
  }
  void TearDown() override {
    tSeen = nullptr;
    EXPECT_EQ(0, daemon_.Stop());
  }
  static HWND Window(HWND parent = nullptr) {
    return CreateWindowExW(0, u"BwTestWindow", u"test", 0, 0, 0, 10, 10, parent, nullptr, nullptr, nullptr);
  }
  // Dispatches what is queued; each message is looked for at most `ms`.
  void Pump(int count, int ms = 5000) {
    for (int i = 0; i < count; ++i) {
      MSG message;
      bool got = false;
      for (int waited = 0; waited < ms && !got; waited += 5) {
        got = PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE);
        if (!got) Sleep(5);
      }
      ASSERT_TRUE(got) << "message " << i << " did not come";
      DispatchMessageW(&message);
    }
  }

  bw::test::Daemon daemon_;
  std::vector<Seen> seen_;
};

TEST_F(WindowMessages, PostedMessagesReachTheWindowInOrder) {
  HWND window = Window();
  ASSERT_NE(nullptr, window) << GetLastError();
  ASSERT_TRUE(PostMessageW(window, WM_USER + 1, 10, 0));
  ASSERT_TRUE(PostMessageW(window, WM_USER + 2, 20, 0));
  Pump(2);
  ASSERT_EQ(2u, seen_.size());
  EXPECT_EQ(static_cast<UINT>(WM_USER + 1), seen_[0].message);
  EXPECT_EQ(20u, seen_[1].wParam);
  EXPECT_EQ(window, seen_[1].window);
  // Sent messages call the procedure at once and bring its result.
  EXPECT_EQ(7, SendMessageW(window, WM_USER + 3, 0, 0));
  EXPECT_TRUE(DestroyWindow(window));
  EXPECT_FALSE(PostMessageW(window, WM_USER, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
  EXPECT_FALSE(DestroyWindow(window));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
}

TEST_F(WindowMessages, GetMessageWakesForAMessageFromAnotherThreadAndEndsWithQuit) {
  HWND window = Window();
  ASSERT_NE(nullptr, window);
  std::thread poster([window] {
    Sleep(200);  // the window's thread is asleep in GetMessageW by now
    PostMessageW(window, WM_USER + 5, 55, 0);
  });
  MSG message{};
  ASSERT_EQ(TRUE, GetMessageW(&message, nullptr, 0, 0));
  EXPECT_EQ(static_cast<UINT>(WM_USER + 5), message.message);
  EXPECT_EQ(55u, message.wParam);
  poster.join();
  PostQuitMessage(3);
  EXPECT_EQ(FALSE, GetMessageW(&message, nullptr, 0, 0));
  EXPECT_EQ(static_cast<UINT>(WM_QUIT), message.message);
  EXPECT_EQ(3u, message.wParam);
  // Only the window's own thread destroys it.
  std::thread other([window] {
    EXPECT_FALSE(DestroyWindow(window));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  });
  other.join();
  EXPECT_TRUE(DestroyWindow(window));
}

TEST_F(WindowMessages, BroadcastsReachTopLevelWindowsWithTheirData) {
  HWND top = Window();
  HWND messageOnly = Window(HWND_MESSAGE);
  HWND child = Window(top);
  ASSERT_TRUE(top && messageOnly && child);
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof volume;
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 1u << 17;
  DWORD recipients = BSM_APPLICATIONS;
  EXPECT_GT(BroadcastSystemMessageW(BSF_POSTMESSAGE, &recipients, WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                                    reinterpret_cast<LPARAM>(&volume)),
            0);
  volume.dbcv_unitmask = 0;  // the receiver has its own copy
  EXPECT_EQ(TRUE, SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0,
                                      reinterpret_cast<LPARAM>(u"Environment"), SMTO_ABORTIFHUNG, 5000, nullptr));
  Pump(2);
  MSG extra;
  EXPECT_FALSE(PeekMessageW(&extra, nullptr, 0, 0, PM_REMOVE)) << "message " << extra.message << " to " << extra.hwnd;
  ASSERT_EQ(2u, seen_.size());
  EXPECT_EQ(top, seen_[0].window);
  ASSERT_EQ(sizeof(DEV_BROADCAST_VOLUME), seen_[0].data.size());
  DEV_BROADCAST_VOLUME got;
  memcpy(&got, seen_[0].data.data(), sizeof got);
  EXPECT_EQ(1u << 17, got.dbcv_unitmask);
  EXPECT_EQ(static_cast<DWORD>(DBT_DEVTYP_VOLUME), got.dbcv_devicetype);
  EXPECT_EQ(top, seen_[1].window);
  EXPECT_EQ(std::vector<uint8_t>({'E', 'n', 'v', 'i', 'r', 'o', 'n', 'm', 'e', 'n', 't'}), seen_[1].data);
  // A message-only window is reached by a post all the same.
  ASSERT_TRUE(PostMessageW(messageOnly, WM_USER, 1, 0));
  Pump(1);
  EXPECT_EQ(messageOnly, seen_.back().window);

  // Leaving out the caller's own windows leaves none here.
  EXPECT_GT(BroadcastSystemMessageW(BSF_POSTMESSAGE | BSF_IGNORECURRENTTASK, &recipients, WM_USER + 9, 0, 0), 0);
  Sleep(100);
  EXPECT_FALSE(PeekMessageW(&extra, nullptr, 0, 0, PM_REMOVE));
  DestroyWindow(child);
  DestroyWindow(messageOnly);
  DestroyWindow(top);
}

TEST_F(WindowMessages, RefusedCalls) {
  HWND window = Window();
  ASSERT_NE(nullptr, window);
  DWORD recipients = BSM_APPLICATIONS;
  EXPECT_EQ(-1, BroadcastSystemMessageW(BSF_QUERY | BSF_POSTMESSAGE, &recipients, WM_USER, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(-1, BroadcastSystemMessageW(0x80000000, &recipients, WM_USER, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // A device record whose size is smaller than its header cannot travel.
  DEV_BROADCAST_HDR header{4, DBT_DEVTYP_VOLUME, 0};
  EXPECT_FALSE(PostMessageW(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&header)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(nullptr, CreateWindowExW(0, u"NoSuchClass", nullptr, 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CANNOT_FIND_WND_CLASS), GetLastError());
  WNDCLASSEXW again{};
  again.cbSize = sizeof again;
  again.lpfnWndProc = Procedure;
  again.lpszClassName = u"bwtestwindow";  // names match without regard to case
  EXPECT_EQ(0, RegisterClassExW(&again));
  EXPECT_EQ(static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS), GetLastError());
  again.cbSize = 0;
  EXPECT_EQ(0, RegisterClassExW(&again));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  MSG message;
  EXPECT_EQ(-1, GetMessageW(&message, reinterpret_cast<HWND>(0x1234), 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE), GetLastError());
  DestroyWindow(window);
}

TEST_F(WindowMessages, WindowsGoWithTheirThread) {
  HWND window = nullptr;
  std::thread owner([&] { window = Window(); });
  owner.join();
  ASSERT_NE(nullptr, window);
  // The thread's connection closes as it ends; its window goes with it.
  bool gone = false;
  for (int i = 0; i < 200 && !gone; ++i) {
    gone = !PostMessageW(window, WM_USER, 0, 0) && GetLastError() == ERROR_INVALID_WINDOW_HANDLE;
    if (!gone) Sleep(20);
  }
  EXPECT_TRUE(gone);
}

}  // namespace
