// Status names for diagnostics and test failure messages.
#include "bw/host.h"

#include <cstdio>

namespace bw {

const char *StatusName(NTSTATUS status) {
#define BW_STATUS_NAME(name, value, win32) \
  if (static_cast<ULONG>(status) == static_cast<ULONG>(value)) return #name;
  BW_STATUS_LIST(BW_STATUS_NAME)
#undef BW_STATUS_NAME
  return nullptr;
}

std::string StatusText(NTSTATUS status) {
  char hex[16];
  snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
  const char *name = StatusName(status);
  return name ? std::string(name) + " (" + hex + ")" : std::string(hex);
}

}  // namespace bw
