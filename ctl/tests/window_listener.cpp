// A program with one top-level window that prints the WM_DEVICECHANGE
// messages it receives, one line each:
//   event=0x8000 size=20 type=2 mask=0x00020000
// It prints "ready" once its window exists, and ends after COUNT messages
// (first argument, default 1) or when no message came for 20 seconds.
#include <windows.h>
#include <dbt.h>

#include <cstdio>
#include <cstdlib>

namespace {

int gLeft = 1;

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_DEVICECHANGE) return DefWindowProcW(window, message, wParam, lParam);
  auto *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(lParam);
  if (!header) {
    printf("event=0x%04X no record\n", static_cast<unsigned>(wParam));
  } else if (header->dbch_devicetype == DBT_DEVTYP_VOLUME) {
    auto *volume = reinterpret_cast<const DEV_BROADCAST_VOLUME *>(lParam);
    printf("event=0x%04X size=%u type=%u mask=0x%08X\n", static_cast<unsigned>(wParam),
           static_cast<unsigned>(volume->dbcv_size), static_cast<unsigned>(volume->dbcv_devicetype),
           static_cast<unsigned>(volume->dbcv_unitmask));
  } else {
    printf("event=0x%04X size=%u type=%u\n", static_cast<unsigned>(wParam),
           static_cast<unsigned>(header->dbch_size), static_cast<unsigned>(header->dbch_devicetype));
  }
  fflush(stdout);
  if (--gLeft == 0) PostQuitMessage(0);
  return TRUE;
}

DWORD WINAPI Watchdog(LPVOID) {
  Sleep(20000);
  printf("timeout\n");
  fflush(stdout);
  _Exit(3);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc > 1) gLeft = atoi(argv[1]);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = Procedure;
  windowClass.lpszClassName = u"BwWindowListener";
  if (!RegisterClassExW(&windowClass)) return 1;
  HWND window = CreateWindowExW(0, u"BwWindowListener", u"listener", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
  if (!window) {
    printf("no window: %u\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  CreateThread(nullptr, 0, Watchdog, nullptr, 0, nullptr);
  printf("ready\n");
  fflush(stdout);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
