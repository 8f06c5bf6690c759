// The kernel interface for file-system and filter drivers, as the Windows
// Driver Kit's ntifs.h: everything of ntddk.h and the routines that only
// ntifs.h declares there (process attach, object names, logon sessions...).
// The stand-in declares them all in its nt/ headers.
#pragma once

#include "ntddk.h"
#include "nt/fsrtl.h"
