// The Win32 interface of driver update for Plug and Play devices (newdev), on the host stand-in.
#pragma once

#include "windows.h"
#include "setupapi.h"

#define INSTALLFLAG_FORCE 0x00000001
#define INSTALLFLAG_READONLY 0x00000002
#define INSTALLFLAG_NONINTERACTIVE 0x00000004
#define INSTALLFLAG_BITS 0x00000007

// Installs the driver the INF has for HardwareId on every device whose
// hardware or compatible ids hold it, and starts them.
extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND hwndParent, LPCWSTR HardwareId,
                                                         LPCWSTR FullInfPath, DWORD InstallFlags,
                                                         PBOOL bRebootRequired);
