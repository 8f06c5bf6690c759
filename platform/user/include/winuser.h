// The Win32 interface of window messages, broadcasts, character helpers and ExitWindowsEx (user32), on the host stand-in.
#pragma once

// Included by windows.h, as on Windows.
