// The kernel interface for drivers, as the Windows Driver Kit's ntddk.h.
#pragma once

#include "wdm.h"
