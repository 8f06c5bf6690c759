// The Win32 interface of the service control manager (advapi32), on the host stand-in.
#pragma once

// windows.h includes this header too, as on Windows.
#include "windows.h"
