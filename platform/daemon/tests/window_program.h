// The frame of a small test program with one top-level window: the window
// of a fresh class with `procedure`, "ready" on standard output once it
// exists, the thread's messages dispatched until WM_QUIT, and a watchdog
// that prints "timeout" and ends the program with 3 after `watchdogMs`.
// Returns the program's exit code (1: no window, with the reason printed).
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace bw::test {

inline DWORD WINAPI WindowProgramWatchdog(LPVOID milliseconds) {
  Sleep(static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(milliseconds)));
  printf("timeout\n");
  fflush(stdout);
  _Exit(3);
}

inline int RunWindowProgram(const char16_t *className, WNDPROC procedure, DWORD watchdogMs) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.lpfnWndProc = procedure;
  windowClass.lpszClassName = className;
  if (!RegisterClassExW(&windowClass)) return 1;
  HWND window = CreateWindowExW(0, className, className, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
  if (!window) {
    printf("no window: %u\n", static_cast<unsigned>(GetLastError()));
    return 1;
  }
  CreateThread(nullptr, 0, WindowProgramWatchdog, reinterpret_cast<LPVOID>(static_cast<ULONG_PTR>(watchdogMs)), 0,
               nullptr);
  printf("ready\n");
  fflush(stdout);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}

}  // namespace bw::test
