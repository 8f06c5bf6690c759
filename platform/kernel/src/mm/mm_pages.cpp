// Physical pages for MDLs: a memfd per allocation, placed on a NUMA node
// with libnuma's policies, taken lazily (nothing is touched, so tens of
// GiB cost nothing until used), with per-node accounting so that a request
// larger than a node's memory is refused as Windows refuses it.
#include "host/faults.h"
#include "internal.h"
#include "mm/mm_internal.h"

#include <dlfcn.h>
#include <numa.h>
#include <numaif.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace bw {

namespace {

std::mutex gMmLock;
std::map<PFN_NUMBER, PageRun *> gRuns;   // by base PFN
PFN_NUMBER gNextPfn = 0x100000;           // made-up frames start at 4 GiB
std::map<int, uint64_t> gNodeBytes;       // allocated bytes outstanding per node
std::atomic<uint64_t> gOutstanding{0};
bool gCensusRunning = false;               // under gMmLock
FreedPageCensus gCensus;                   // under gMmLock

// Under gMmLock: reads pages about to be freed for the census.
void CountFreedPages(int fd, uint64_t firstPage, uint64_t pages) {
  std::vector<unsigned char> buffer(1u << 20);
  uint64_t offset = firstPage << PAGE_SHIFT, left = pages << PAGE_SHIFT;
  while (left > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
    ssize_t got = pread(fd, buffer.data(), want, static_cast<off_t>(offset));
    if (got <= 0) KernelFault("freed-page census: the pages cannot be read");
    for (ssize_t i = 0; i < got; ++i) gCensus.nonZeroBytes += buffer[static_cast<size_t>(i)] != 0;
    gCensus.bytes += static_cast<uint64_t>(got);
    offset += static_cast<uint64_t>(got);
    left -= static_cast<uint64_t>(got);
  }
}

// The largest page list an MDL can describe (its byte count is 32 bits).
constexpr uint64_t kMaxMdlPages = 0xFFFFF000ULL >> PAGE_SHIFT;

// libnuma is loaded on first use: programs that never allocate pages
// (the tools) do not pay for its start-up.
struct NumaApi {
  decltype(&numa_available) available = nullptr;
  decltype(&numa_node_size64) nodeSize = nullptr;
  decltype(&numa_max_node) maxNode = nullptr;
  decltype(&numa_bitmask_isbitset) isBitSet = nullptr;
  decltype(&numa_node_of_cpu) nodeOfCpu = nullptr;
  decltype(&mbind) bind = nullptr;
  struct bitmask **allNodes = nullptr;
};

const NumaApi &Numa() {
  static NumaApi api;
  static std::once_flag once;
  std::call_once(once, [] {
    void *library = dlopen("libnuma.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!library) return;
    NumaApi loaded;
    loaded.available = reinterpret_cast<decltype(&numa_available)>(dlsym(library, "numa_available"));
    loaded.nodeSize = reinterpret_cast<decltype(&numa_node_size64)>(dlsym(library, "numa_node_size64"));
    loaded.maxNode = reinterpret_cast<decltype(&numa_max_node)>(dlsym(library, "numa_max_node"));
    loaded.isBitSet =
        reinterpret_cast<decltype(&numa_bitmask_isbitset)>(dlsym(library, "numa_bitmask_isbitset"));
    loaded.nodeOfCpu = reinterpret_cast<decltype(&numa_node_of_cpu)>(dlsym(library, "numa_node_of_cpu"));
    loaded.bind = reinterpret_cast<decltype(&mbind)>(dlsym(library, "mbind"));
    loaded.allNodes = static_cast<struct bitmask **>(dlsym(library, "numa_all_nodes_ptr"));
    if (loaded.available && loaded.nodeSize && loaded.maxNode && loaded.isBitSet &&
        loaded.nodeOfCpu && loaded.bind && loaded.allNodes)
      api = loaded;
  });
  return api;
}

bool NumaUsable() {
  static const bool usable = Numa().available && Numa().available() >= 0;
  return usable;
}

// What a node holds; the whole machine for allocations from any node.
uint64_t NodeMemory(int node) {
  if (node >= 0 && NumaUsable()) {
    long long size = Numa().nodeSize(node, nullptr);
    if (size > 0) return static_cast<uint64_t>(size);
  }
  return static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES)) * sysconf(_SC_PAGESIZE);
}

// Places the pages of a fresh memfd on `node`: bound to it when `only`,
// preferred otherwise. The policy belongs to the file, so every later
// mapping of it follows it.
bool PlaceOnNode(int fd, uint64_t bytes, int node, bool only) {
  if (!NumaUsable()) return true;
  void *p = mmap(nullptr, bytes, PROT_NONE, MAP_SHARED | MAP_NORESERVE, fd, 0);
  if (p == MAP_FAILED) return false;
  unsigned long mask[16] = {};
  mask[node / 64] |= 1UL << (node % 64);
  long rc = Numa().bind(p, bytes, only ? MPOL_BIND : MPOL_PREFERRED, mask, sizeof(mask) * 8, 0);
  munmap(p, bytes);
  // A host that forbids policies has nothing to choose between when it
  // has one node; with several, "this node only" cannot be kept.
  return rc == 0 || !only || HighestNode() == 0;
}

// Allocates `bytes` in pages, on `node` (-1: the caller's own, no binding).
PMDL AllocatePagesForMdl(SIZE_T bytes, int node, ULONG flags) {
  uint64_t pages = BYTES_TO_PAGES(static_cast<uint64_t>(bytes));
  if (pages == 0) return nullptr;
  const bool fully = (flags & MM_ALLOCATE_FULLY_REQUIRED) != 0;
  if (pages > kMaxMdlPages) {
    if (fully) return nullptr;
    pages = kMaxMdlPages;
  }
  if (FaultShouldFail(Fault::PageAllocation)) {
    if (fully || pages == 1) return nullptr;
    pages /= 2;
  }
  {
    std::lock_guard<std::mutex> guard(gMmLock);
    uint64_t total = NodeMemory(node);
    uint64_t used = gNodeBytes[node];
    uint64_t left = used < total ? (total - used) >> PAGE_SHIFT : 0;
    if (pages > left) {
      if (fully || left == 0) return nullptr;
      pages = left;
    }
    gNodeBytes[node] += pages << PAGE_SHIFT;  // reserved now, undone on failure
  }
  auto undoReservation = [&] {
    std::lock_guard<std::mutex> guard(gMmLock);
    gNodeBytes[node] -= pages << PAGE_SHIFT;
  };
  const uint64_t length = pages << PAGE_SHIFT;
  int fd = memfd_create("bw-pages", MFD_CLOEXEC);
  if (fd < 0) {
    undoReservation();
    return nullptr;
  }
  if (ftruncate(fd, static_cast<off_t>(length)) != 0 ||
      (node >= 0 && !PlaceOnNode(fd, length, node,
                                 (flags & MM_ALLOCATE_FROM_LOCAL_NODE_ONLY) != 0))) {
    close(fd);
    undoReservation();
    return nullptr;
  }
  SIZE_T mdlBytes = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
  auto *mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, mdlBytes, kMdlTag));
  if (!mdl) {
    close(fd);
    undoReservation();
    return nullptr;
  }
  MmInitializeMdl(mdl, nullptr, length);
  mdl->MdlFlags = MDL_PAGES_LOCKED;
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  {
    std::lock_guard<std::mutex> guard(gMmLock);
    PageRun *run = NewRun(fd, pages, true, node);
    for (uint64_t i = 0; i < pages; ++i) pfns[i] = run->base + i;
  }
  gOutstanding += length;
  // Pages are zero until written, so MM_DONT_ZERO_ALLOCATION changes nothing.
  return mdl;
}

}  // namespace

std::mutex &MmLock() { return gMmLock; }

PageRun *NewRun(int fd, uint64_t pages, bool allocated, int node) {
  auto *run = new PageRun;
  run->base = gNextPfn;
  gNextPfn += pages + 16;  // a gap keeps runs from looking contiguous
  run->pages = pages;
  run->fd = fd;
  run->allocated = allocated;
  run->node = node;
  if (allocated) {
    run->live.assign(pages, true);
    run->livePages = pages;
  }
  gRuns[run->base] = run;
  return run;
}

PageRun *RunOfPfn(PFN_NUMBER pfn) {
  if (IsHostPfn(pfn)) return nullptr;
  auto it = gRuns.upper_bound(pfn);
  if (it == gRuns.begin()) return nullptr;
  --it;
  PageRun *run = it->second;
  return pfn < run->base + run->pages ? run : nullptr;
}

void MaybeDropRun(PageRun *run) {
  if (run->maps > 0) return;
  if (run->allocated ? run->livePages > 0 : !run->released) return;
  gRuns.erase(run->base);
  close(run->fd);
  delete run;
}

ULONG HighestNode() {
  if (!NumaUsable()) return 0;
  int highest = Numa().maxNode();
  return highest < 0 ? 0 : static_cast<ULONG>(highest);
}

bool NodeExists(ULONG node) {
  if (!NumaUsable()) return node == 0;
  if (node > HighestNode()) return false;
  return Numa().isBitSet(*Numa().allNodes, node) != 0;
}

uint64_t MdlPagesOutstanding() { return gOutstanding.load(); }

VOID StartFreedPageCensus() {
  std::lock_guard<std::mutex> guard(gMmLock);
  gCensus = FreedPageCensus{};
  gCensusRunning = true;
}

FreedPageCensus StopFreedPageCensus() {
  std::lock_guard<std::mutex> guard(gMmLock);
  gCensusRunning = false;
  return gCensus;
}

}  // namespace bw

using namespace bw;

PMDL MmAllocatePagesForMdl(PHYSICAL_ADDRESS, PHYSICAL_ADDRESS, PHYSICAL_ADDRESS,
                           SIZE_T TotalBytes) {
  return AllocatePagesForMdl(TotalBytes, -1, 0);
}

PMDL MmAllocatePagesForMdlEx(PHYSICAL_ADDRESS, PHYSICAL_ADDRESS, PHYSICAL_ADDRESS,
                             SIZE_T TotalBytes, MEMORY_CACHING_TYPE CacheType, ULONG Flags) {
  if (CacheType < MmNonCached || CacheType >= MmMaximumCacheType) return nullptr;
  // Local-node-only without a node means the caller's node.
  int node = (Flags & MM_ALLOCATE_FROM_LOCAL_NODE_ONLY) ? KeGetCurrentNodeNumber() : -1;
  return AllocatePagesForMdl(TotalBytes, node, Flags);
}

PMDL MmAllocateNodePagesForMdlEx(PHYSICAL_ADDRESS, PHYSICAL_ADDRESS, PHYSICAL_ADDRESS,
                                 SIZE_T TotalBytes, MEMORY_CACHING_TYPE CacheType,
                                 ULONG IdealNode, ULONG Flags) {
  if (CacheType < MmNonCached || CacheType >= MmMaximumCacheType) return nullptr;
  if (!NodeExists(IdealNode)) return nullptr;
  return AllocatePagesForMdl(TotalBytes, static_cast<int>(IdealNode), Flags);
}

VOID MmFreePagesFromMdl(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  ULONG count = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  uint64_t freed = 0;
  std::lock_guard<std::mutex> guard(gMmLock);
  for (ULONG i = 0; i < count;) {
    PageRun *run = RunOfPfn(pfns[i]);
    if (!run || !run->allocated)
      KernelFault("MmFreePagesFromMdl of pages that MmAllocatePagesForMdl did not give");
    if (run->maps > 0) KernelFault("MmFreePagesFromMdl of pages that are still mapped");
    // Free the stretch of consecutive frames of this run in one go.
    ULONG j = i;
    while (j < count && pfns[j] == pfns[i] + (j - i) && pfns[j] < run->base + run->pages) {
      uint64_t page = pfns[j] - run->base;
      if (!run->live[page]) KernelFault("MmFreePagesFromMdl of pages already freed");
      run->live[page] = false;
      ++j;
    }
    uint64_t first = pfns[i] - run->base, n = j - i;
    if (gCensusRunning) CountFreedPages(run->fd, first, n);
    run->livePages -= n;
    gNodeBytes[run->node] -= n << PAGE_SHIFT;
    freed += n << PAGE_SHIFT;
    if (run->livePages > 0)
      fallocate(run->fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                static_cast<off_t>(first << PAGE_SHIFT), static_cast<off_t>(n << PAGE_SHIFT));
    MaybeDropRun(run);
    i = j;
  }
  gOutstanding -= freed;
  mdl->MdlFlags &= ~MDL_PAGES_LOCKED;
}

USHORT KeQueryHighestNodeNumber(VOID) { return static_cast<USHORT>(HighestNode()); }

USHORT KeGetCurrentNodeNumber(VOID) {
  if (!NumaUsable()) return 0;
  int cpu = sched_getcpu();
  int node = cpu < 0 ? 0 : Numa().nodeOfCpu(cpu);
  return static_cast<USHORT>(node < 0 ? 0 : node);
}
