// LocalAlloc and LocalFree: fixed blocks of the process heap, which is what
// they are on Windows today.
#include <windows.h>

HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
  if (uFlags & ~static_cast<UINT>(LMEM_ZEROINIT)) {  // only fixed memory is offered
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return HeapAlloc(GetProcessHeap(), (uFlags & LMEM_ZEROINIT) ? HEAP_ZERO_MEMORY : 0, uBytes);
}

HLOCAL WINAPI LocalFree(HLOCAL hMem) {
  if (hMem) HeapFree(GetProcessHeap(), 0, hMem);
  return nullptr;
}
