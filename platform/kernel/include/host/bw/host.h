// Host-side control of the kernel stand-in: booting it, loading drivers,
// inspecting pool accounting and injecting faults. Used by ramvold and by
// tests; driver code never includes this header.
#pragma once

#if defined(BW_DRIVER_CODE)
#error "driver code reaches the kernel through its public headers only, never the stand-in's host side"
#endif

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
  // Each process's user-space mappings are PROT_NONE while no thread is in
  // that process (attached to it, or standing for one of its threads), so
  // that touching another process's user space faults as on Windows. The
  // system's own threads must attach to reach the system process's user
  // space.
  bool guardUserSpace = false;
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

// Fault injection: the next `skip` calls of the kind succeed, then `count`
// fail the way Windows fails them:
// - PoolAllocation: pool allocations return NULL;
// - PageAllocation: MmAllocatePagesForMdl(Ex) and MmAllocateNodePagesForMdlEx
//   return NULL when MM_ALLOCATE_FULLY_REQUIRED is given (or a single page
//   was asked for), else an MDL with half the pages asked for;
// - Mapping: MmMapLockedPagesSpecifyCache returns NULL (a bug check when the
//   caller asked for one), ZwMapViewOfSection and MmMapViewInSystemSpace
//   return STATUS_NO_MEMORY;
// - FileCall: every request the host file system serves but cleanup and
//   close: a create fails with STATUS_INSUFFICIENT_RESOURCES, a read, write
//   or flush with STATUS_IO_DEVICE_ERROR, an information query or change
//   with STATUS_INSUFFICIENT_RESOURCES.
enum class Fault { PoolAllocation, PageAllocation, Mapping, FileCall };
VOID InjectFault(Fault what, uint32_t skip, uint32_t count);
VOID ClearFaults();

// Memory manager accounting: bytes of physical pages allocated for MDLs and
// not yet freed, and mappings (of MDLs and section views) still in place.
uint64_t MdlPagesOutstanding();
uint64_t MappingsOutstanding();
// Freed-page census: while it runs, MmFreePagesFromMdl reads every page it
// frees before giving it back and counts the pages' bytes and how many of
// them were not zero, so that a test can see what memory held when it was
// released. Starting resets the counts.
struct FreedPageCensus {
  uint64_t bytes = 0;
  uint64_t nonZeroBytes = 0;
};
VOID StartFreedPageCensus();
FreedPageCensus StopFreedPageCensus();
// Sector size the host file system reports for every host file; 0 (the
// default) detects it from the block device holding the file.
VOID SetHostSectorSize(ULONG bytes);

// Status names for diagnostics ("STATUS_INVALID_HANDLE (0xC0000008)").
const char *StatusName(NTSTATUS status);
std::string StatusText(NTSTATUS status);

}  // namespace bw
