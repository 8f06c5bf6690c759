// GlobalMemoryStatusEx from the host's memory: physical memory and what is
// available of it (MemAvailable, what the host can give without swapping),
// swap as the page file beyond it, and a 64-bit process's user space.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

// The value of a /proc/meminfo line in bytes; false when it is missing.
bool MeminfoValue(const char *text, const char *name, DWORDLONG *bytes) {
  const char *at = strstr(text, name);
  unsigned long long kib = 0;
  if (!at || sscanf(at + strlen(name), " %llu", &kib) != 1) return false;
  *bytes = kib * 1024;
  return true;
}

}  // namespace

BOOL WINAPI GlobalMemoryStatusEx(LPMEMORYSTATUSEX lpBuffer) {
  if (!lpBuffer || lpBuffer->dwLength != sizeof(MEMORYSTATUSEX)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  char text[8192];
  FILE *meminfo = fopen("/proc/meminfo", "re");
  size_t n = meminfo ? fread(text, 1, sizeof text - 1, meminfo) : 0;
  if (meminfo) fclose(meminfo);
  text[n] = 0;
  DWORDLONG total = 0, available = 0, swapTotal = 0, swapFree = 0;
  if (!MeminfoValue(text, "MemTotal:", &total) || !MeminfoValue(text, "MemAvailable:", &available)) {
    SetLastError(ERROR_GEN_FAILURE);
    return FALSE;
  }
  MeminfoValue(text, "SwapTotal:", &swapTotal);
  MeminfoValue(text, "SwapFree:", &swapFree);
  lpBuffer->ullTotalPhys = total;
  lpBuffer->ullAvailPhys = available;
  lpBuffer->dwMemoryLoad = total ? static_cast<DWORD>((total - available) * 100 / total) : 0;
  lpBuffer->ullTotalPageFile = total + swapTotal;
  lpBuffer->ullAvailPageFile = available + swapFree;
  // The user space of a 64-bit process: 128 TiB less the first and last 64 KiB.
  lpBuffer->ullTotalVirtual = (DWORDLONG{1} << 47) - 0x20000;
  lpBuffer->ullAvailVirtual = lpBuffer->ullTotalVirtual;
  lpBuffer->ullAvailExtendedVirtual = 0;
  return TRUE;
}
