// Mappings of MDLs into system space and into the user part of the current
// process, and the address-space layout that tells the two apart.
//
// User-space mappings are placed in a window of the host address space
// that nothing else uses; MmSystemRangeStart is its end, so every host
// address above it (pool, stacks, system mappings) is "system space" and
// everything below (this window and the low 2 GiB where client processes
// share memory with the kernel) is "user space", as drivers expect.
#include "bw/user_session.h"
#include "host/faults.h"
#include "internal.h"
#include "mm/mm_internal.h"
#include "ps/process.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <map>

namespace bw {

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr uintptr_t kUserWindowStart = 0x004000000000ULL;
constexpr uintptr_t kUserWindowEnd = 0x008000000000ULL;
#else
constexpr uintptr_t kUserWindowStart = 0x200000000000ULL;
constexpr uintptr_t kUserWindowEnd = 0x300000000000ULL;
#endif
constexpr uintptr_t kGranularity = 0x10000;  // user views start on 64 KiB

std::map<uintptr_t, Mapping *> gMappings;  // by base
std::map<uintptr_t, size_t> gUserRanges;   // reserved stretches of the user window

uintptr_t AlignUp(uintptr_t v, uintptr_t a) { return (v + a - 1) & ~(a - 1); }

// Reserves `bytes` of the user window, at `requested` when given.
uintptr_t ReserveUser(size_t bytes, uintptr_t requested, NTSTATUS *status) {
  for (int attempt = 0; attempt < 64; ++attempt) {
    uintptr_t at = requested;
    if (!at) {
      at = kUserWindowStart;
      for (auto &[base, size] : gUserRanges) {
        if (base >= at + bytes) break;
        at = std::max(at, AlignUp(base + size, kGranularity));
      }
    } else {
      auto next = gUserRanges.lower_bound(at);
      bool overlaps = (next != gUserRanges.end() && next->first < at + bytes);
      if (next != gUserRanges.begin()) {
        auto prev = std::prev(next);
        overlaps = overlaps || prev->first + prev->second > at;
      }
      if (overlaps) {
        *status = STATUS_CONFLICTING_ADDRESSES;
        return 0;
      }
    }
    if (at < kUserWindowStart || at + bytes > kUserWindowEnd || at + bytes < at) {
      *status = requested ? STATUS_CONFLICTING_ADDRESSES : STATUS_NO_MEMORY;
      return 0;
    }
    void *p = mmap(reinterpret_cast<void *>(at), bytes, PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    if (p != MAP_FAILED && reinterpret_cast<uintptr_t>(p) == at) {
      gUserRanges[at] = bytes;
      return at;
    }
    if (p != MAP_FAILED) munmap(p, bytes);  // an old kernel took the address as a hint
    if (requested) {
      *status = STATUS_CONFLICTING_ADDRESSES;
      return 0;
    }
    // Something of the host's sits there: keep clear of it from now on.
    gUserRanges[at] = bytes;
  }
  *status = STATUS_NO_MEMORY;
  return 0;
}

}  // namespace

PVOID MapSegments(const std::vector<MapSegment> &segments, bool user, PEPROCESS process,
                  PVOID requested, int protection, bool privateCopy, bool view,
                  NTSTATUS *status) {
  size_t bytes = 0;
  for (const MapSegment &s : segments) bytes += s.pages << PAGE_SHIFT;
  if (bytes == 0) {
    *status = STATUS_INVALID_PARAMETER;
    return nullptr;
  }
  uintptr_t base;
  if (user) {
    base = ReserveUser(bytes, reinterpret_cast<uintptr_t>(requested), status);
    if (!base) return nullptr;
  } else {
    void *p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
      *status = STATUS_NO_MEMORY;
      return nullptr;
    }
    base = reinterpret_cast<uintptr_t>(p);
  }
  // A user mapping of a process nobody is in starts closed.
  const int initial = user ? UserMappingProtection(process, protection) : protection;
  size_t offset = 0;
  for (const MapSegment &s : segments) {
    void *p = mmap(reinterpret_cast<void *>(base + offset), s.pages << PAGE_SHIFT, initial,
                   (privateCopy ? MAP_PRIVATE : MAP_SHARED) | MAP_FIXED, s.run->fd,
                   static_cast<off_t>(s.firstPage << PAGE_SHIFT));
    if (p == MAP_FAILED) {
      munmap(reinterpret_cast<void *>(base), bytes);
      if (user) gUserRanges.erase(base);
      *status = STATUS_NO_MEMORY;
      return nullptr;
    }
    offset += s.pages << PAGE_SHIFT;
  }
  auto *m = new Mapping;
  m->base = base;
  m->bytes = bytes;
  m->user = user;
  m->view = view;
  m->process = process;
  m->protection = protection;
  m->segments = segments;
  for (const MapSegment &s : segments) s.run->maps++;
  gMappings[base] = m;
  *status = STATUS_SUCCESS;
  return reinterpret_cast<PVOID>(base);
}

Mapping *MappingAt(const void *address) {
  auto a = reinterpret_cast<uintptr_t>(address);
  auto it = gMappings.upper_bound(a);
  if (it == gMappings.begin()) return nullptr;
  --it;
  Mapping *m = it->second;
  return a < m->base + m->bytes ? m : nullptr;
}

void Unmap(Mapping *m) {
  munmap(reinterpret_cast<void *>(m->base), m->bytes);
  if (m->user) gUserRanges.erase(m->base);
  gMappings.erase(m->base);
  for (const MapSegment &s : m->segments) {
    s.run->maps--;
    MaybeDropRun(s.run);
  }
  delete m;
}

PFN_NUMBER PfnOfAddress(const void *address) {
  Mapping *m = MappingAt(address);
  if (!m) return HostPfnOf(address);
  uint64_t page = (reinterpret_cast<uintptr_t>(address) - m->base) >> PAGE_SHIFT;
  for (const MapSegment &s : m->segments) {
    if (page < s.pages) return s.run->base + s.firstPage + page;
    page -= s.pages;
  }
  return HostPfnOf(address);
}

bool PfnsOfRange(const void *start, size_t pages, PPFN_NUMBER pfns, bool checkValid) {
  auto page = reinterpret_cast<uintptr_t>(start);
  size_t i = 0;
  while (i < pages) {
    auto next = gMappings.upper_bound(page);
    if (next != gMappings.begin()) {
      Mapping *m = std::prev(next)->second;
      if (page < m->base + m->bytes) {
        // The pages of this mapping, segment by segment.
        uint64_t at = (page - m->base) >> PAGE_SHIFT;
        for (const MapSegment &s : m->segments) {
          for (; at < s.pages && i < pages; ++at, ++i, page += PAGE_SIZE) pfns[i] = s.run->base + s.firstPage + at;
          if (i == pages) return true;
          at -= s.pages;
        }
        // Past its segments (never so for a whole mapping): the host page.
        if (page < m->base + m->bytes) {
          pfns[i++] = HostPfnOf(reinterpret_cast<void *>(page));
          page += PAGE_SIZE;
        }
        continue;
      }
    }
    // Host memory up to the next mapping: checked and recorded in one go.
    size_t run = pages - i;
    if (next != gMappings.end() && ((next->first - page) >> PAGE_SHIFT) < run) run = (next->first - page) >> PAGE_SHIFT;
    if (checkValid && !HostRangeMapped(reinterpret_cast<void *>(page), run << PAGE_SHIFT)) return false;
    for (size_t j = 0; j < run; ++j, ++i, page += PAGE_SIZE) pfns[i] = HostPfnOf(reinterpret_cast<void *>(page));
  }
  return true;
}

std::vector<Mapping *> UserMappingsOf(PEPROCESS process) {
  std::vector<Mapping *> found;
  for (auto &[base, m] : gMappings)
    if (m->user && m->process == process) found.push_back(m);
  return found;
}

bool HostAddressMapped(const void *address) { return HostRangeMapped(PAGE_ALIGN(address), PAGE_SIZE); }

namespace {

// Known host blocks by start; a leaf lock, taken under MmLock or alone.
struct KnownBlocks {
  std::mutex lock;
  std::map<uintptr_t, size_t> blocks;
};

KnownBlocks &Known() {
  static KnownBlocks *known = new KnownBlocks;  // lives for the whole process
  return *known;
}

}  // namespace

// The block reaching furthest among those that start in the range's first
// page covers all of it when it reaches into the last page: memory is
// mapped by whole pages.
bool InKnownBlock(uintptr_t start, size_t bytes) {
  KnownBlocks &known = Known();
  std::lock_guard<std::mutex> guard(known.lock);
  auto it = known.blocks.upper_bound(start + PAGE_SIZE - 1);
  if (it == known.blocks.begin()) return false;
  --it;
  return it->first + it->second > start + bytes - PAGE_SIZE;
}

void NoteHostBlock(const void *start, size_t bytes) {
  if (bytes < PAGE_SIZE) return;
  KnownBlocks &known = Known();
  std::lock_guard<std::mutex> guard(known.lock);
  known.blocks[reinterpret_cast<uintptr_t>(start)] = bytes;
}

void ForgetHostBlock(const void *start, size_t bytes) {
  if (bytes < PAGE_SIZE) return;
  KnownBlocks &known = Known();
  std::lock_guard<std::mutex> guard(known.lock);
  known.blocks.erase(reinterpret_cast<uintptr_t>(start));
}

void NoteUserBuffers(const void *start, size_t bytes) { NoteHostBlock(start, bytes); }
void ForgetUserBuffers(const void *start, size_t bytes) { ForgetHostBlock(start, bytes); }

// Else the host is asked: msync fails with ENOMEM when any part of the
// range is not mapped (a system call, which costs more than a small copy).
bool HostRangeMapped(const void *start, size_t bytes) {
  if (bytes && InKnownBlock(reinterpret_cast<uintptr_t>(start), bytes)) return true;
  return msync(const_cast<void *>(start), bytes, MS_ASYNC) == 0 || errno != ENOMEM;
}

uint64_t MappingsOutstanding() {
  std::lock_guard<std::mutex> guard(MmLock());
  return gMappings.size();
}

namespace {

// The pages of an MDL as mapping segments; false when they are (partly)
// ordinary host memory, which the host cannot map a second time.
bool SegmentsOf(PMDL mdl, std::vector<MapSegment> *segments) {
  ULONG count = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  PageRun *run = nullptr;
  for (ULONG i = 0; i < count; ++i) {
    // Neighbouring frames mostly lie in the run of the frame before.
    if (!run || pfns[i] < run->base || pfns[i] >= run->base + run->pages) run = RunOfPfn(pfns[i]);
    if (!run) return false;
    uint64_t page = pfns[i] - run->base;
    if (run->allocated && !run->live[page]) KernelFault("mapping an MDL whose pages were freed");
    if (!segments->empty()) {
      MapSegment &last = segments->back();
      if (last.run == run && last.firstPage + last.pages == page) {
        last.pages++;
        continue;
      }
    }
    segments->push_back(MapSegment{run, page, 1});
  }
  return true;
}

#ifndef MADV_POPULATE_READ
#define MADV_POPULATE_READ 22
#endif

// Faults in a fresh mapping of pages allocated for MDLs. A host kernel
// without the call leaves it to the first touch of each page. The pages are
// memfd pages mapped shared, whose dirtying nothing tracks: a read fault
// maps them writable already, so the read pass serves writers as well and
// costs less than the write pass (which marks every page dirty).
void PopulateMapping(PVOID base, size_t bytes) { madvise(base, bytes, MADV_POPULATE_READ); }

// Ordinary host memory described page by page in order: its own address.
PVOID IdentityAddress(PMDL mdl) {
  ULONG count = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  if (count == 0) return MmGetMdlVirtualAddress(mdl);
  for (ULONG i = 0; i < count; ++i)
    if (!IsHostPfn(pfns[i]) || pfns[i] != pfns[0] + i) return nullptr;
  return reinterpret_cast<PCHAR>((pfns[0] & ~kHostPfnFlag) << PAGE_SHIFT) + mdl->ByteOffset;
}

}  // namespace

}  // namespace bw

using namespace bw;

PVOID MmHighestUserAddress = reinterpret_cast<PVOID>(kUserWindowEnd - 0x10001);
PVOID MmSystemRangeStart = reinterpret_cast<PVOID>(kUserWindowEnd);
ULONG_PTR MmUserProbeAddress = kUserWindowEnd - 0x10000;

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress,
                                   ULONG BugCheckOnFailure, ULONG Priority) {
  PMDL mdl = MemoryDescriptorList;
  if (!(mdl->MdlFlags &
        (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL | MDL_IO_SPACE)))
    KernelFault("mapping an MDL whose pages are not locked");
  const bool user = AccessMode == UserMode;
  if (!user && (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA))
    KernelFault("MDL mapped into system space twice");
  if (!user && (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)) return mdl->MappedSystemVa;
  auto fail = [&]() -> PVOID {
    if (!user && BugCheckOnFailure)
      KernelFault("bug check: no system space left to map an MDL");
    return nullptr;
  };
  if (CacheType < MmNonCached || CacheType >= MmMaximumCacheType) return fail();
  if (FaultShouldFail(Fault::Mapping)) return fail();
  PVOID address;
  PVOID mapped = nullptr;
  size_t mappedBytes = 0;
  bool populate = true;
  int protection = (Priority & MdlMappingNoWrite) ? PROT_READ : PROT_READ | PROT_WRITE;
  if (ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount) != 0 &&
      IsHostPfn(MmGetMdlPfnArray(mdl)[0])) {
    // Ordinary host memory is its own address, or cannot be mapped at all;
    // that needs nothing of the memory manager's books.
    address = IdentityAddress(mdl);
    if (!address) return fail();
  } else {
    std::lock_guard<std::mutex> guard(MmLock());
    std::vector<MapSegment> segments;
    if (SegmentsOf(mdl, &segments)) {
      NTSTATUS status;
      mapped = MapSegments(segments, user, CurrentProcess(), user ? RequestedAddress : nullptr,
                           protection, false, false, &status);
      if (!mapped) return fail();
      for (const MapSegment &s : segments) {
        mappedBytes += s.pages << PAGE_SHIFT;
        if (!s.run->allocated) populate = false;  // file pages come in as they are read
      }
      address = static_cast<PCHAR>(mapped) + mdl->ByteOffset;
    } else {
      address = IdentityAddress(mdl);
      if (!address) return fail();
    }
  }
  // Locked pages are resident and their mapping is whole from the start:
  // fill the page tables now, in one go, rather than a fault per page on
  // first touch. The mapping is not known to anyone else yet, so this runs
  // outside the lock.
  if (mapped && populate) PopulateMapping(mapped, mappedBytes);
  if (!user) {
    mdl->MappedSystemVa = address;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if (mdl->MdlFlags & MDL_PARTIAL) mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
  }
  return address;
}

PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  return MmMapLockedPagesSpecifyCache(MemoryDescriptorList, AccessMode, MmCached, nullptr, TRUE,
                                      HighPagePriority);
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  bool system = true;
  if (BaseAddress && IdentityAddress(mdl) == BaseAddress) {
    // Ordinary host memory given back as its own address: no mapping to undo.
    system = (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) && mdl->MappedSystemVa == BaseAddress;
  } else {
    std::lock_guard<std::mutex> guard(MmLock());
    Mapping *m = MappingAt(BaseAddress);
    if (!m) {
      if (IdentityAddress(mdl) != BaseAddress)
        KernelFault("MmUnmapLockedPages of an address that is not a mapping of the MDL");
      system = (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) && mdl->MappedSystemVa == BaseAddress;
    } else {
      if (m->view) KernelFault("MmUnmapLockedPages of a section view");
      if (reinterpret_cast<uintptr_t>(PAGE_ALIGN(BaseAddress)) != m->base)
        KernelFault("MmUnmapLockedPages of an address inside a mapping");
      if (m->user && m->process != CurrentProcess())
        KernelFault("user mapping unmapped outside the process it belongs to");
      system = !m->user;
      Unmap(m);
    }
  }
  if (system) mdl->MdlFlags &= ~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED);
}

PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress) {
  PHYSICAL_ADDRESS address;
  std::lock_guard<std::mutex> guard(MmLock());
  address.QuadPart = static_cast<LONGLONG>((PfnOfAddress(BaseAddress) << PAGE_SHIFT) |
                                           BYTE_OFFSET(BaseAddress));
  return address;
}

BOOLEAN MmIsAddressValid(PVOID VirtualAddress) {
  return HostAddressMapped(VirtualAddress) ? TRUE : FALSE;
}
