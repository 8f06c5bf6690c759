// The Win32 interface of window messages, broadcasts, character helpers and ExitWindowsEx (user32), on the host stand-in.
#pragma once

// windows.h includes this header too, as on Windows.
#include "windows.h"

// Windows and their classes. A window belongs to the thread that made it;
// its messages go to that thread's queue. Top-level windows (no parent)
// receive broadcasts; message-only windows (parent HWND_MESSAGE) are
// reached by posts alone.
typedef struct HWND__ *HWND;
typedef struct HINSTANCE__ *HINSTANCE, *HMODULE;
typedef struct HICON__ *HICON, *HCURSOR;
typedef struct HBRUSH__ *HBRUSH;
typedef struct HMENU__ *HMENU;
typedef WORD ATOM;
typedef ULONG_PTR WPARAM;
typedef LONG_PTR LPARAM, LRESULT;
typedef LRESULT(CALLBACK *WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef DWORD_PTR *PDWORD_PTR;

typedef struct tagPOINT {
  LONG x;
  LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagMSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
  DWORD lPrivate;
} MSG, *PMSG, *LPMSG;

typedef struct tagWNDCLASSEXW {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
  HICON hIconSm;
} WNDCLASSEXW, *LPWNDCLASSEXW;

typedef struct tagWNDCLASSW {
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  LPCWSTR lpszMenuName;
  LPCWSTR lpszClassName;
} WNDCLASSW, *LPWNDCLASSW;

typedef struct tagCREATESTRUCTW {
  LPVOID lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy;
  int cx;
  int y;
  int x;
  LONG style;
  LPCWSTR lpszName;
  LPCWSTR lpszClass;
  DWORD dwExStyle;
} CREATESTRUCTW, *LPCREATESTRUCTW;

#define HWND_BROADCAST ((HWND)0xFFFF)
#define HWND_MESSAGE ((HWND)(LONG_PTR)-3)
#define CW_USEDEFAULT ((int)0x80000000)
#define MAKEINTATOM(i) ((LPWSTR)(ULONG_PTR)((WORD)(i)))
#define WS_OVERLAPPED 0x00000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_OVERLAPPEDWINDOW 0x00CF0000L
#define GWLP_WNDPROC (-4)
#define GWLP_USERDATA (-21)

// Messages.
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUERYENDSESSION 0x0011
#define WM_QUIT 0x0012
#define WM_ENDSESSION 0x0016
#define WM_SETTINGCHANGE 0x001A
#define WM_NCCREATE 0x0081
#define WM_NCDESTROY 0x0082
#define WM_TIMER 0x0113
#define WM_DEVICECHANGE 0x0219
#define WM_USER 0x0400
#define WM_APP 0x8000
// lParam of WM_QUERYENDSESSION and WM_ENDSESSION: the user logs off (0:
// the system shuts down).
#define ENDSESSION_CLOSEAPP 0x00000001
#define ENDSESSION_CRITICAL 0x40000000
#define ENDSESSION_LOGOFF 0x80000000
#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002

WINBASEAPI ATOM WINAPI RegisterClassExW(const WNDCLASSEXW *lpwcx);
WINBASEAPI ATOM WINAPI RegisterClassW(const WNDCLASSW *lpWndClass);
WINBASEAPI BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE hInstance);
WINBASEAPI HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName,
                                       DWORD dwStyle, int X, int Y, int nWidth, int nHeight,
                                       HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                                       LPVOID lpParam);
WINBASEAPI BOOL WINAPI DestroyWindow(HWND hWnd);
WINBASEAPI BOOL WINAPI IsWindow(HWND hWnd);
WINBASEAPI LONG_PTR WINAPI GetWindowLongPtrW(HWND hWnd, int nIndex);
WINBASEAPI LONG_PTR WINAPI SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong);
WINBASEAPI LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

// The calling thread's queue. A message whose lParam points at data
// (WM_DEVICECHANGE with a DEV_BROADCAST_HDR record, WM_SETTINGCHANGE with a
// string) brings a copy of it; lParam points at that copy until the thread
// takes its next message.
WINBASEAPI BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
WINBASEAPI BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                    UINT wRemoveMsg);
WINBASEAPI BOOL WINAPI TranslateMessage(const MSG *lpMsg);
WINBASEAPI LRESULT WINAPI DispatchMessageW(const MSG *lpMsg);
WINBASEAPI BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINBASEAPI VOID WINAPI PostQuitMessage(int nExitCode);
// Calls the window procedure at once; only windows of the calling process
// are reached (ERROR_INVALID_WINDOW_HANDLE otherwise). HWND_BROADCAST posts
// to every top-level window instead.
WINBASEAPI LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
#define SMTO_NORMAL 0x0000
#define SMTO_BLOCK 0x0001
#define SMTO_ABORTIFHUNG 0x0002
#define SMTO_NOTIMEOUTIFNOTHUNG 0x0008
WINBASEAPI LRESULT WINAPI SendMessageTimeoutW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam,
                                              UINT fuFlags, UINT uTimeout, PDWORD_PTR lpdwResult);

// Broadcasts. The message is posted to each recipient (BSF_QUERY, which
// needs answers, is not offered); the result is positive when it went out,
// -1 when it could not.
#define BSF_QUERY 0x00000001
#define BSF_IGNORECURRENTTASK 0x00000002
#define BSF_FLUSHDISK 0x00000004
#define BSF_NOHANG 0x00000008
#define BSF_POSTMESSAGE 0x00000010
#define BSF_FORCEIFHUNG 0x00000020
#define BSF_NOTIMEOUTIFNOTHUNG 0x00000040
#define BSF_ALLOWSFW 0x00000080
#define BSF_SENDNOTIFYMESSAGE 0x00000100
#define BSM_ALLCOMPONENTS 0x00000000
#define BSM_VXDS 0x00000001
#define BSM_NETDRIVER 0x00000002
#define BSM_INSTALLABLEDRIVERS 0x00000004
#define BSM_APPLICATIONS 0x00000008
#define BSM_ALLDESKTOPS 0x00000010
WINBASEAPI long WINAPI BroadcastSystemMessageW(DWORD flags, LPDWORD lpInfo, UINT Msg, WPARAM wParam,
                                               LPARAM lParam);

// Characters: alphabetic test and upper-casing of one character (passed in
// the low word of the pointer, the high bits zero) or of a string in place.
WINBASEAPI BOOL WINAPI IsCharAlphaW(WCHAR ch);
WINBASEAPI LPWSTR WINAPI CharUpperW(LPWSTR lpsz);

// Restarting and shutting down the system.
#define EWX_LOGOFF 0x00000000
#define EWX_SHUTDOWN 0x00000001
#define EWX_REBOOT 0x00000002
#define EWX_FORCE 0x00000004
#define EWX_POWEROFF 0x00000008
#define EWX_FORCEIFHUNG 0x00000010
#define SHTDN_REASON_FLAG_PLANNED 0x80000000
#define SHTDN_REASON_MAJOR_OTHER 0x00000000
#define SHTDN_REASON_MAJOR_HARDWARE 0x00010000
#define SHTDN_REASON_MAJOR_OPERATINGSYSTEM 0x00020000
#define SHTDN_REASON_MAJOR_SOFTWARE 0x00030000
#define SHTDN_REASON_MAJOR_APPLICATION 0x00040000
#define SHTDN_REASON_MINOR_OTHER 0x00000000
#define SHTDN_REASON_MINOR_MAINTENANCE 0x00000001
#define SHTDN_REASON_MINOR_INSTALLATION 0x00000002
#define SHTDN_REASON_MINOR_UPGRADE 0x00000003
#ifndef ERROR_PRIVILEGE_NOT_HELD
#define ERROR_PRIVILEGE_NOT_HELD 1314L
#endif
WINBASEAPI BOOL WINAPI ExitWindowsEx(UINT uFlags, DWORD dwReason);
