#include "SessionEnd.h"

#include <windows.h>

#include <csignal>
#include <unistd.h>

namespace Ramdeck {

namespace {

// The signal handler only writes a byte; the manager reads it on its thread.
int gSignalPipe[2] = {-1, -1};

void OnSignal(int) {
  char byte = 1;
  if (write(gSignalPipe[1], &byte, 1) < 0) {
  }
}

// The class the manager's main window has on Windows.
constexpr const WCHAR *kWindowClass = u"TBWMainGUIForm";

LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto *watch = reinterpret_cast<TSessionEndWatch *>(GetWindowLongPtrW(window, GWLP_USERDATA));
  switch (message) {
    case WM_QUERYENDSESSION:
      return TRUE;  // the disks go at the end itself
    case WM_ENDSESSION:
      if (wParam && watch) watch->EndingFromWindow();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

TSessionEndWatch::TSessionEndWatch() {
  if (pipe(gSignalPipe) == 0) {
    notifier_ = std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
      char byte;
      if (read(gSignalPipe[0], &byte, 1) <= 0) return;
      notifier_->setEnabled(false);
      Fire();
    });
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
  }
  thread_ = std::thread([this] { RunWindow(); });
}

TSessionEndWatch::~TSessionEndWatch() {
  HWND window;
  {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
    window = static_cast<HWND>(window_);
  }
  changed_.notify_all();
  // The window's thread ends with its window; without one it has ended.
  if (window) PostMessageW(window, WM_CLOSE, 0, 0);
  if (thread_.joinable()) thread_.join();
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  notifier_.reset();
  for (int &end : gSignalPipe) {
    if (end >= 0) close(end);
    end = -1;
  }
}

void TSessionEndWatch::Fire() {
  if (fired_) return;
  fired_ = true;
  emit SessionEnding();
}

void TSessionEndWatch::EndingFromWindow() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) return;
    handled_ = false;
  }
  // Dropped by Qt when the watch is gone before it runs.
  QMetaObject::invokeMethod(
      this,
      [this] {
        Fire();
        {
          std::lock_guard<std::mutex> guard(lock_);
          handled_ = true;
        }
        changed_.notify_all();
      },
      Qt::QueuedConnection);
  std::unique_lock<std::mutex> guard(lock_);
  changed_.wait(guard, [this] { return handled_ || stopping_; });
}

void TSessionEndWatch::RunWindow() {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = WindowProcedure;
  windowClass.lpszClassName = kWindowClass;
  // A second watch of the process finds the class there.
  if (!RegisterClassExW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return;
  // Without the system (no daemon) there is no window and no session end
  // to hear of but the signals.
  HWND window = CreateWindowExW(0, kWindowClass, u"Ramdeck", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
  if (!window) return;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (stopping_) {
      DestroyWindow(window);
      return;
    }
    window_ = window;
  }
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
  if (IsWindow(window)) DestroyWindow(window);
}

}  // namespace Ramdeck
