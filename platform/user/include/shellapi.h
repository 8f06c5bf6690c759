// The shell's program and document starter (shell32), on the host
// stand-in. A program on drive C: or Z: (or on a RAM disk shown in a host
// folder by lettermount) is its host file: an executable one starts as a
// host process with the parameters split as a Windows program's C runtime
// splits its command line; a folder, a document or a URL goes to the host's
// desktop opener (xdg-open). Without an opener, SE_ERR_NOASSOC /
// ERROR_NO_ASSOCIATION, as Windows answers for a missing handler.
#pragma once

#include "windows.h"

#define SE_ERR_FNF 2
#define SE_ERR_PNF 3
#define SE_ERR_ACCESSDENIED 5
#define SE_ERR_OOM 8
#define SE_ERR_NOASSOC 31
#ifndef ERROR_NO_ASSOCIATION
#define ERROR_NO_ASSOCIATION 1155L
#endif
#ifndef ERROR_BAD_FORMAT
#define ERROR_BAD_FORMAT 11L
#endif

#define SEE_MASK_DEFAULT 0x00000000
#define SEE_MASK_NOCLOSEPROCESS 0x00000040
#define SEE_MASK_DOENVSUBST 0x00000200
#define SEE_MASK_FLAG_NO_UI 0x00000400
#define SEE_MASK_NOASYNC 0x00000100
#define SEE_MASK_WAITFORINPUTIDLE 0x02000000

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMAXIMIZED 3
#define SW_SHOW 5
#define SW_SHOWDEFAULT 10

#include "winreg.h"

typedef struct _SHELLEXECUTEINFOW {
  DWORD cbSize;
  ULONG fMask;
  HWND hwnd;
  LPCWSTR lpVerb;
  LPCWSTR lpFile;
  LPCWSTR lpParameters;
  LPCWSTR lpDirectory;
  int nShow;
  HINSTANCE hInstApp;  // > 32 on success, an SE_ERR_ code on failure
  void *lpIDList;
  LPCWSTR lpClass;
  HKEY hkeyClass;
  DWORD dwHotKey;
  union {
    HANDLE hIcon;
    HANDLE hMonitor;
  };
  HANDLE hProcess;  // null here: a started host process is not waited for
} SHELLEXECUTEINFOW, *LPSHELLEXECUTEINFOW;

// TRUE when started; otherwise FALSE with the last error and hInstApp set.
WINBASEAPI BOOL WINAPI ShellExecuteExW(SHELLEXECUTEINFOW *pExecInfo);
// A value above 32 when started, an SE_ERR_ code otherwise.
WINBASEAPI HINSTANCE WINAPI ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile,
                                          LPCWSTR lpParameters, LPCWSTR lpDirectory, int nShowCmd);
