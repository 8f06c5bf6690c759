// GetNumaHighestNodeNumber from the host's online memory nodes: the last
// number of /sys/devices/system/node/online ("0", "0-3", "0,2-5"); a host
// without that file (no NUMA support) has the one node 0, as Windows reports
// on such machines.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

BOOL WINAPI GetNumaHighestNodeNumber(PULONG HighestNodeNumber) {
  if (!HighestNodeNumber) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  ULONG highest = 0;
  if (FILE *online = fopen("/sys/devices/system/node/online", "re")) {
    char text[256] = {};
    size_t n = fread(text, 1, sizeof text - 1, online);
    fclose(online);
    text[n] = 0;
    for (char *at = text; *at;) {
      char *end = nullptr;
      unsigned long value = strtoul(at, &end, 10);
      if (end == at) {
        ++at;
        continue;
      }
      if (value > highest) highest = static_cast<ULONG>(value);
      at = end;
    }
  }
  *HighestNodeNumber = highest;
  return TRUE;
}
