// Host-side control of the kernel stand-in: booting it, loading drivers,
// inspecting pool accounting and injecting faults. Used by ramvold and by
// tests; driver code never includes this header.
#pragma once

#include "nt/status.h"
#include "nt/types.h"

#include <cstdint>
#include <string>
#include <vector>

namespace bw {

struct BootOptions {
  std::string root;             // machine state folder; empty = no persistence
  ULONG majorVersion = 10;      // what RtlGetVersion reports
  ULONG minorVersion = 0;
  ULONG buildNumber = 19045;
  bool workstation = true;
};

// Starts the kernel: object namespace, registry (loaded from the root),
// system process, worker threads. Fails with a message when the registry
// file is damaged.
NTSTATUS KernelBoot(const BootOptions &options, std::string *error);
// Stops it: unloads drivers, stops threads, saves the registry.
VOID KernelShutdown();
bool KernelRunning();

// Version reported by RtlGetVersion.
VOID SetSystemVersion(ULONG major, ULONG minor, ULONG build, bool workstation);

// Pool accounting.
struct PoolTagUsage {
  ULONG tag;
  uint64_t allocations;  // outstanding allocations
  uint64_t bytes;        // outstanding bytes
};
std::vector<PoolTagUsage> PoolUsage();
uint64_t PoolBytesWithTag(ULONG tag);
uint64_t PoolOutstandingAllocations();
std::string TagName(ULONG tag);

// Fault injection: the next `skip` allocations succeed, then `count` fail.
enum class Fault { PoolAllocation };
VOID InjectFault(Fault what, uint32_t skip, uint32_t count);
VOID ClearFaults();

// Status names for diagnostics ("STATUS_INVALID_HANDLE (0xC0000008)").
const char *StatusName(NTSTATUS status);
std::string StatusText(NTSTATUS status);

}  // namespace bw
