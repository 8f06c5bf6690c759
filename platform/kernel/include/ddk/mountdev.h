// mountdev.h, as the Windows Driver Kit has it: the stand-in declares these
// requests and records in ntdddisk.h.
#pragma once

#include "ntdddisk.h"
