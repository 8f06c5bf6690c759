// The Win32 interface of driver update for Plug and Play devices (newdev), on the host stand-in.
#pragma once

#include "windows.h"
