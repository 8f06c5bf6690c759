// The Win32 interface of the service control manager (advapi32), on the host stand-in.
#pragma once

// Included by windows.h, as on Windows.
