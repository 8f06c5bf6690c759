// The client side of handles: which handle values came from the daemon and
// what they are, and local thread handles when no daemon is involved.
#pragma once

#include <windows.h>

#include <cstdint>

namespace bw::user {

enum class HandleKind { File, Thread, Token, Find, Mutex };

// A handle the daemon started as `bootId` gave.
void RegisterDaemonHandle(HANDLE handle, HandleKind kind, uint64_t bootId);
// A handle of this process alone (a token of the process itself), closed
// with CloseHandle like any other.
HANDLE NewLocalHandle(HandleKind kind);
bool LocalHandle(HANDLE handle, HandleKind kind);
// Whether `handle` is an open daemon handle of `kind`, and from which start
// of the daemon.
bool DaemonHandle(HANDLE handle, HandleKind kind, uint64_t *bootId);
// Closes a daemon or local handle; false with the last error set when the
// handle is not open or the system went away during the close. A handle of
// a system that has ended closed with it: closing it succeeds.
bool CloseAnyHandle(HANDLE handle);

}  // namespace bw::user
