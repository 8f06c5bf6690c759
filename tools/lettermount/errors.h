// Win32 last errors as the errno a host program expects for the same fault.
#pragma once

#include <windows.h>

namespace lettermount {

// The negative errno FUSE answers for `error` (EIO for anything without a
// closer meaning).
int ErrnoOf(DWORD error);
// The same for the calling thread's last error.
inline int LastErrno() { return ErrnoOf(GetLastError()); }

}  // namespace lettermount
