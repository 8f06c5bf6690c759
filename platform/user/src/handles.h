// The client side of handles: which handle values came from the daemon and
// what they are, and local thread handles when no daemon is involved.
#pragma once

#include <windows.h>

namespace bw::user {

enum class HandleKind { File, Thread };

void RegisterDaemonHandle(HANDLE handle, HandleKind kind);
bool IsDaemonHandle(HANDLE handle, HandleKind kind);
// Closes a daemon or local handle; false with the last error set when the
// handle is not open.
bool CloseAnyHandle(HANDLE handle);

}  // namespace bw::user
