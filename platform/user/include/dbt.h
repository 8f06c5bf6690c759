// The Win32 interface of device-change broadcast records, on the host stand-in.
#pragma once

#include "windows.h"
