// The process heap.
#include <windows.h>

#include <malloc.h>

#include <cstdlib>
#include <cstring>

namespace {
// Any non-null value names the one process heap.
HANDLE const kProcessHeap = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x50000));
}

HANDLE WINAPI GetProcessHeap(VOID) { return kProcessHeap; }

LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
  if (hHeap != kProcessHeap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  void *p = (dwFlags & HEAP_ZERO_MEMORY) ? calloc(1, dwBytes ? dwBytes : 1)
                                         : malloc(dwBytes ? dwBytes : 1);
  if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return p;
}

LPVOID WINAPI HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes) {
  if (hHeap != kProcessHeap || !lpMem) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  size_t old = malloc_usable_size(lpMem);
  void *p = realloc(lpMem, dwBytes ? dwBytes : 1);
  if (!p) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if ((dwFlags & HEAP_ZERO_MEMORY) && dwBytes > old)
    memset(static_cast<char *>(p) + old, 0, dwBytes - old);
  return p;
}

BOOL WINAPI HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem) {
  if (hHeap != kProcessHeap) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  free(lpMem);
  return TRUE;
}

SIZE_T WINAPI HeapSize(HANDLE hHeap, DWORD, LPCVOID lpMem) {
  if (hHeap != kProcessHeap || !lpMem) return static_cast<SIZE_T>(-1);
  return malloc_usable_size(const_cast<void *>(lpMem));
}
