// What user32 keeps of the process's windows and classes, and what its
// files share: the data a message's lParam carries between processes.
#pragma once

#include <windows.h>
#include <dbt.h>

#include <cstdint>
#include <vector>

namespace bw::user32 {

struct WindowInfo {
  WNDPROC procedure = nullptr;
  DWORD thread = 0;  // the thread that made it, whose queue gets its messages
  LONG_PTR userData = 0;
};

// A window of this process; false for any other handle.
bool LookUpWindow(HWND window, WindowInfo *info);

// The bytes a message's lParam points at, when it points at any: a
// WM_DEVICECHANGE record (dbch_size bytes) or a WM_SETTINGCHANGE string
// with its terminator. False with the last error set when such a pointer
// names a record that cannot be (too short or too long).
bool MessageData(UINT message, WPARAM wParam, LPARAM lParam, std::vector<uint8_t> *data);

}  // namespace bw::user32
