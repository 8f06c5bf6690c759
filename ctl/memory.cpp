// Memory the library hands out (process heap, zero-filled, released with
// RamctlFree), and the machine's physical memory.
#include "ctl/ramctl_internal.h"

namespace ramctl {

void *NewBlock(size_t bytes) {
  // A block of no bytes is still a block the caller frees.
  void *block = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes ? bytes : 1);
  if (!block) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return block;
}

}  // namespace ramctl

using namespace ramctl;

RAMCTL_API void *WINAPI RamctlAllocate(uint32_t Bytes) { return NewBlock(Bytes); }

RAMCTL_API void WINAPI RamctlFree(void *Pointer) {
  auto **slot = static_cast<void **>(Pointer);
  if (!slot || !*slot) return;
  KeepError keep;
  HeapFree(GetProcessHeap(), 0, *slot);
  *slot = nullptr;
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetMemoryInformation(uint64_t *AvailablePhysical, uint64_t *TotalPhysical) {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return 0;
  if (AvailablePhysical) *AvailablePhysical = status.ullAvailPhys;
  if (TotalPhysical) *TotalPhysical = status.ullTotalPhys;
  return 1;
}
