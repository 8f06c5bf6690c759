// The Win32 interface of window messages, broadcasts, character helpers and ExitWindowsEx (user32), on the host stand-in.
#pragma once

// windows.h includes this header too, as on Windows.
#include "windows.h"
