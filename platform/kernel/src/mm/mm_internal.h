// Memory manager internals shared by its source files.
//
// "Physical" pages are pages of host files: every allocation for an MDL is
// a memfd of its own, every section a descriptor of its file (or a memfd).
// Each such file gets a run of made-up page frame numbers, so that an MDL's
// PFN array says which file and offset each page is, and every mapping of
// those PFNs is a MAP_SHARED mapping of the same file pages: two mappings of
// one MDL see the same bytes. Pages of ordinary host memory (pool, stacks,
// buffers) are described by PFNs carrying kHostPfnFlag and the host page
// number; they cannot be mapped a second time, so "mapping" them gives back
// their own address.
#pragma once

#include <wdm.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace bw {

constexpr PFN_NUMBER kHostPfnFlag = PFN_NUMBER(1) << 40;
constexpr ULONG kMdlTag = 0x206C644D;  // "Mdl "

inline bool IsHostPfn(PFN_NUMBER pfn) { return (pfn & kHostPfnFlag) != 0; }
inline PFN_NUMBER HostPfnOf(const void *address) {
  return (reinterpret_cast<uintptr_t>(address) >> PAGE_SHIFT) | kHostPfnFlag;
}

// A run of page frames backed by one host file descriptor.
struct PageRun {
  PFN_NUMBER base = 0;
  uint64_t pages = 0;
  int fd = -1;
  bool allocated = false;   // pages allocated for MDLs: accounted, freed page by page
  int node = 0;             // NUMA node of allocated pages (-1: any node)
  std::vector<bool> live;   // allocated runs: page not yet freed
  uint64_t livePages = 0;
  uint64_t maps = 0;        // mappings in place over the run
  bool released = false;    // the owner let go; the run goes with its last mapping
};

// Everything below is called with MmLock() held.
std::mutex &MmLock();
// Registers a run over `fd` (which it then owns) and gives it its PFNs.
PageRun *NewRun(int fd, uint64_t pages, bool allocated, int node);
PageRun *RunOfPfn(PFN_NUMBER pfn);
// Frees the run if nothing holds it any more.
void MaybeDropRun(PageRun *run);

// One contiguous piece of a mapping: `pages` pages of `run` from `firstPage`.
struct MapSegment {
  PageRun *run;
  uint64_t firstPage;
  uint64_t pages;
};

struct Mapping {
  uintptr_t base = 0;   // page aligned
  size_t bytes = 0;
  bool user = false;    // in the user part of `process`
  bool view = false;    // a section view (else a mapping of an MDL)
  PEPROCESS process = nullptr;
  PVOID section = nullptr;  // views: the section object they keep referenced
  int protection = 0;       // what the mapping allows while open (see the user-space guard)
  std::vector<MapSegment> segments;
};

// Maps the segments (taking a map count on each run) at a new address:
// in user space when `user` (at `requested` if given), else anywhere.
// Returns the mapping's base or nullptr with the reason in *status.
PVOID MapSegments(const std::vector<MapSegment> &segments, bool user, PEPROCESS process,
                  PVOID requested, int protection, bool privateCopy, bool view,
                  NTSTATUS *status);
// The mapping that contains `address`, or nullptr.
Mapping *MappingAt(const void *address);
// Unmaps a mapping found with MappingAt and drops its run counts.
void Unmap(Mapping *mapping);
// PFN of the page at `address`: from a mapping, else the host page.
PFN_NUMBER PfnOfAddress(const void *address);
// PFNs of `pages` pages from the page-aligned `start` into `pfns`. With
// `checkValid`, false as soon as one of them is neither a mapping's page nor
// mapped host memory. Host memory between mappings is checked a stretch at a
// time, not page by page.
bool PfnsOfRange(const void *start, size_t pages, PPFN_NUMBER pfns, bool checkValid);
// The user-space mappings of `process`.
std::vector<Mapping *> UserMappingsOf(PEPROCESS process);

// The user-space guard (mm_user_guard.cpp): while it is on, the user-space
// mappings of a process are open only while some host thread is in that
// process, and PROT_NONE otherwise.
void SetUserSpaceGuard(bool on);
// Protection for a new user mapping of `process` that allows `protection`
// when open.
int UserMappingProtection(PEPROCESS process, int protection);
// Not under MmLock: the calling host thread is now in `process`'s user space
// (nullptr: in none).
void MoveUserPresence(PEPROCESS process);

// Host memory checks: one page, or `bytes` from a page-aligned address.
// Ranges inside a known block (below) are answered without asking the host.
bool HostAddressMapped(const void *address);
bool HostRangeMapped(const void *start, size_t bytes);
// Not under MmLock: whether the `bytes` from page-aligned `start` lie in a
// live pool block or noted user buffers (below, and NoteUserBuffers), which
// are host memory outside every mapping.
bool InKnownBlock(uintptr_t start, size_t bytes);
// Not under MmLock: live pool blocks of a page or more are known host
// memory from their allocation to their free.
void NoteHostBlock(const void *start, size_t bytes);
void ForgetHostBlock(const void *start, size_t bytes);

// NUMA nodes of the host.
ULONG HighestNode();
bool NodeExists(ULONG node);

// The system version as RtlGetVersion reports it.
void SystemVersion(ULONG *major, ULONG *minor);

}  // namespace bw

namespace bw {

// Moves bytes between a host file at `offset` and the pages an MDL
// describes, from `mdlOffset` bytes into its range, as a device's DMA does:
// straight into or out of the pages, without mapping them. Pages of
// allocations and sections are reached through their file, ordinary host
// memory at its own address. Bytes moved; *error is 0 or the errno of the
// call that failed (a read stops early at the end of the file).
size_t MdlReadFromFile(PMDL mdl, size_t mdlOffset, int fd, uint64_t offset, size_t length, int *error);
size_t MdlWriteToFile(PMDL mdl, size_t mdlOffset, int fd, uint64_t offset, size_t length, int *error);

}  // namespace bw
