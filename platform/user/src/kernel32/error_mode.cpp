// The process's error mode. No dialog is shown on this system, so the mode
// changes nothing but is kept and answered as Windows keeps it.
#include <windows.h>

#include <atomic>

namespace {
std::atomic<UINT> gErrorMode{0};
}

UINT WINAPI SetErrorMode(UINT uMode) { return gErrorMode.exchange(uMode); }
UINT WINAPI GetErrorMode(VOID) { return gErrorMode.load(); }
