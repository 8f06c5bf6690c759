// The Win32 interface of path and string helpers (shlwapi), on the host stand-in.
#pragma once

#include "windows.h"
