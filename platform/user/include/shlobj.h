// The shell's special folders.
#pragma once

#include <windows.h>

#define CSIDL_APPDATA 0x001a
#define CSIDL_LOCAL_APPDATA 0x001c
#define CSIDL_COMMON_APPDATA 0x0023
#define CSIDL_FLAG_CREATE 0x8000

// The folder's path (up to MAX_PATH characters) into pszPath. The common
// application-data folder is "C:\ProgramData" on the system drive; the
// per-user ones lie under "C:\Users\<host user>". fCreate makes a missing
// folder with its parents.
WINBASEAPI BOOL WINAPI SHGetSpecialFolderPathW(HWND hwndOwner, LPWSTR pszPath, int csidl, BOOL fCreate);
