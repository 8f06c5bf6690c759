// The Win32 interface of device installation and INF files (setupapi), on the host stand-in.
#pragma once

#include "windows.h"
