// Window classes and windows of the process. The daemon gives each window
// its handle and routes messages posted to it; the procedure and what the
// program stores with the window stay here.
#include "platform/user/src/user32/window_table.h"

#include "platform/user/src/client/connection.h"

#include <cwctype>
#include <map>
#include <mutex>
#include <string>

using namespace bw;
using namespace bw::user;

namespace bw::user32 {

namespace {

struct ClassInfo {
  WNDPROC procedure;
  ATOM atom;
};

std::mutex gLock;
std::map<std::u16string, ClassInfo> gClasses;  // by name in upper case
ATOM gLastAtom = 0xC000;                       // registered classes take atoms from 0xC000
std::map<HWND, WindowInfo> gWindows;

std::u16string Key(LPCWSTR name) {
  std::u16string key;
  for (; *name; ++name) key += static_cast<char16_t>(towupper(static_cast<wint_t>(*name)));
  return key;
}

// A class named by a string or by an atom (a pointer whose high bits are zero).
std::map<std::u16string, ClassInfo>::iterator FindClass(LPCWSTR name) {
  auto value = reinterpret_cast<ULONG_PTR>(name);
  if ((value >> 16) == 0) {
    for (auto it = gClasses.begin(); it != gClasses.end(); ++it)
      if (it->second.atom == value) return it;
    return gClasses.end();
  }
  return gClasses.find(Key(name));
}

ATOM AddClass(LPCWSTR name, WNDPROC procedure) {
  if (!name || !procedure || (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::lock_guard<std::mutex> guard(gLock);
  std::u16string key = Key(name);
  if (gClasses.count(key)) {
    SetLastError(ERROR_CLASS_ALREADY_EXISTS);
    return 0;
  }
  ATOM atom = ++gLastAtom;
  gClasses[key] = ClassInfo{procedure, atom};
  return atom;
}

bool Call(const void *frame, size_t length, ReplyData *reply) {
  Connection *connection = ThreadConnection();
  return connection && connection->Call(frame, length, reply);
}

void Forget(HWND window) {
  std::lock_guard<std::mutex> guard(gLock);
  gWindows.erase(window);
}

}  // namespace

bool LookUpWindow(HWND window, WindowInfo *info) {
  std::lock_guard<std::mutex> guard(gLock);
  auto it = gWindows.find(window);
  if (it == gWindows.end()) return false;
  *info = it->second;
  return true;
}

}  // namespace bw::user32

using namespace bw::user32;

ATOM WINAPI RegisterClassExW(const WNDCLASSEXW *lpwcx) {
  if (!lpwcx || lpwcx->cbSize != sizeof(WNDCLASSEXW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return AddClass(lpwcx->lpszClassName, lpwcx->lpfnWndProc);
}

ATOM WINAPI RegisterClassW(const WNDCLASSW *lpWndClass) {
  if (!lpWndClass) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return AddClass(lpWndClass->lpszClassName, lpWndClass->lpfnWndProc);
}

BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE) {
  if (!lpClassName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::lock_guard<std::mutex> guard(gLock);
  auto it = FindClass(lpClassName);
  if (it == gClasses.end()) {
    SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
    return FALSE;
  }
  gClasses.erase(it);
  return TRUE;
}

HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName,
                            DWORD dwStyle, int X, int Y, int nWidth, int nHeight,
                            HWND hWndParent, HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam) {
  if (!lpClassName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  WNDPROC procedure;
  {
    std::lock_guard<std::mutex> guard(gLock);
    auto it = FindClass(lpClassName);
    if (it == gClasses.end()) {
      SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
      return nullptr;
    }
    procedure = it->second.procedure;
  }
  // No parent: top-level; HWND_MESSAGE: message-only; else a child of a
  // window of this process, which broadcasts do not reach.
  uint32_t flags = 0;
  if (!hWndParent) {
    flags = wire::kWindowTopLevel;
  } else if (hWndParent == HWND_MESSAGE) {
    flags = wire::kWindowMessageOnly;
  } else {
    WindowInfo parent;
    if (!LookUpWindow(hWndParent, &parent)) {
      SetLastError(ERROR_INVALID_WINDOW_HANDLE);
      return nullptr;
    }
  }
  wire::CreateWindowRequest request{{wire::kMagic, static_cast<uint32_t>(wire::Op::CreateWindow)},
                                    flags};
  ReplyData reply;
  if (!Call(&request, sizeof request, &reply)) return nullptr;
  if (reply.status < 0) {
    SetLastError(RtlNtStatusToDosError(reply.status));
    return nullptr;
  }
  HWND window = reinterpret_cast<HWND>(reply.value);
  {
    std::lock_guard<std::mutex> guard(gLock);
    gWindows[window] = WindowInfo{procedure, GetCurrentThreadId(), 0};
  }
  CREATESTRUCTW create{lpParam,  hInstance,   hMenu,   hWndParent,   nHeight, nWidth,
                       Y,        X,           static_cast<LONG>(dwStyle), lpWindowName,
                       lpClassName, dwExStyle};
  LPARAM createParam = reinterpret_cast<LPARAM>(&create);
  // A procedure that refuses its window ends the creation.
  if (!procedure(window, WM_NCCREATE, 0, createParam) ||
      procedure(window, WM_CREATE, 0, createParam) == -1) {
    DestroyWindow(window);
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return nullptr;
  }
  return window;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
  WindowInfo info;
  if (!LookUpWindow(hWnd, &info)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  if (info.thread != GetCurrentThreadId()) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  info.procedure(hWnd, WM_DESTROY, 0, 0);
  info.procedure(hWnd, WM_NCDESTROY, 0, 0);
  Forget(hWnd);
  wire::DestroyWindowRequest request{{wire::kMagic, static_cast<uint32_t>(wire::Op::DestroyWindow)},
                                     reinterpret_cast<uint64_t>(hWnd)};
  ReplyData reply;
  if (!Call(&request, sizeof request, &reply)) return FALSE;
  if (reply.status < 0) {
    SetLastError(RtlNtStatusToDosError(reply.status));
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI IsWindow(HWND hWnd) {
  WindowInfo info;
  return LookUpWindow(hWnd, &info) ? TRUE : FALSE;
}

LONG_PTR WINAPI GetWindowLongPtrW(HWND hWnd, int nIndex) {
  std::lock_guard<std::mutex> guard(gLock);
  auto it = gWindows.find(hWnd);
  if (it == gWindows.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  if (nIndex == GWLP_USERDATA) return it->second.userData;
  if (nIndex == GWLP_WNDPROC) return reinterpret_cast<LONG_PTR>(it->second.procedure);
  SetLastError(ERROR_INVALID_PARAMETER);
  return 0;
}

LONG_PTR WINAPI SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
  std::lock_guard<std::mutex> guard(gLock);
  auto it = gWindows.find(hWnd);
  if (it == gWindows.end()) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  LONG_PTR old;
  if (nIndex == GWLP_USERDATA) {
    old = it->second.userData;
    it->second.userData = dwNewLong;
  } else if (nIndex == GWLP_WNDPROC && dwNewLong) {
    old = reinterpret_cast<LONG_PTR>(it->second.procedure);
    it->second.procedure = reinterpret_cast<WNDPROC>(dwNewLong);
  } else {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  SetLastError(ERROR_SUCCESS);  // a previous value of 0 is no failure
  return old;
}

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM, LPARAM) {
  switch (Msg) {
    case WM_NCCREATE:
    case WM_QUERYENDSESSION:  // the session may end
      return TRUE;
    case WM_CLOSE:
      DestroyWindow(hWnd);
      return 0;
    default:
      return 0;
  }
}
