// Transfers between host files and the pages of an MDL, the way a device
// moves data for a direct request: by the pages' frames, not through a
// mapping of them.
#include "hostfs/host_io.h"
#include "internal.h"
#include "mm/mm_internal.h"

#include <vector>

namespace bw {

namespace {

// A stretch of an MDL's bytes: in file `fd` at `at`, or (fd < 0) ordinary
// host memory at address `at`.
struct Stretch {
  int fd;
  uint64_t at;
  size_t bytes;
};

// The stretches behind bytes [mdlOffset, mdlOffset + length) of the MDL,
// neighbouring pages of one run or of host memory joined.
std::vector<Stretch> StretchesOf(PMDL mdl, size_t mdlOffset, size_t length) {
  std::vector<Stretch> out;
  if (mdlOffset > mdl->ByteCount || length > mdl->ByteCount - mdlOffset)
    KernelFault("a transfer outside the range its MDL describes");
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  size_t position = mdl->ByteOffset + mdlOffset;  // from the MDL's first page
  size_t end = position + length;
  std::lock_guard<std::mutex> guard(MmLock());
  PageRun *run = nullptr;
  while (position < end) {
    size_t index = position >> PAGE_SHIFT;
    size_t within = position & (PAGE_SIZE - 1);
    size_t bytes = std::min<size_t>(PAGE_SIZE - within, end - position);
    PFN_NUMBER pfn = pfns[index];
    Stretch next;
    if (IsHostPfn(pfn)) {
      next = {-1, ((pfn & ~kHostPfnFlag) << PAGE_SHIFT) + within, bytes};
    } else {
      if (!run || pfn < run->base || pfn >= run->base + run->pages) run = RunOfPfn(pfn);
      if (!run) KernelFault("a transfer into pages nobody allocated");
      uint64_t page = pfn - run->base;
      if (run->allocated && !run->live[page]) KernelFault("a transfer into pages that were freed");
      next = {run->fd, (page << PAGE_SHIFT) + within, bytes};
    }
    if (!out.empty() && out.back().fd == next.fd && out.back().at + out.back().bytes == next.at) {
      out.back().bytes += bytes;
    } else {
      out.push_back(next);
    }
    position += bytes;
  }
  return out;
}

size_t Transfer(PMDL mdl, size_t mdlOffset, int fd, uint64_t offset, size_t length, bool toMdl,
                int *error) {
  *error = 0;
  // The pages stay allocated while the MDL describes them locked: their
  // files stay open without the lock held during the copy.
  std::vector<Stretch> stretches = StretchesOf(mdl, mdlOffset, length);
  size_t done = 0;
  for (const Stretch &s : stretches) {
    size_t moved;
    if (s.fd < 0) {
      void *address = reinterpret_cast<void *>(s.at);
      moved = toMdl ? HostReadAt(fd, address, s.bytes, offset + done, error)
                    : HostWriteAt(fd, address, s.bytes, offset + done, error);
    } else {
      moved = toMdl ? HostCopyBetween(fd, offset + done, s.fd, s.at, s.bytes, error)
                    : HostCopyBetween(s.fd, s.at, fd, offset + done, s.bytes, error);
    }
    done += moved;
    if (*error || moved < s.bytes) break;
  }
  return done;
}

}  // namespace

size_t MdlReadFromFile(PMDL mdl, size_t mdlOffset, int fd, uint64_t offset, size_t length, int *error) {
  return Transfer(mdl, mdlOffset, fd, offset, length, true, error);
}

size_t MdlWriteToFile(PMDL mdl, size_t mdlOffset, int fd, uint64_t offset, size_t length, int *error) {
  return Transfer(mdl, mdlOffset, fd, offset, length, false, error);
}

}  // namespace bw
