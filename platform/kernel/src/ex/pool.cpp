// Executive pool with per-tag accounting and fault injection.
#include "bw/host.h"
#include "host/faults.h"
#include "internal.h"
#include "mm/mm_internal.h"
#include "nt/pool.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

namespace {

// Every block carries a header so that frees can be matched to their tag
// and size; the header is 16 bytes to keep the caller's data aligned.
struct PoolHeader {
  uint32_t magic;
  uint32_t tag;
  uint64_t size;
};
static_assert(sizeof(PoolHeader) == 16);
constexpr uint32_t kLiveMagic = 0x4C4F4F50;  // "POOL"
constexpr uint32_t kFreedMagic = 0x44455246;

struct Accounting {
  std::mutex lock;
  std::map<ULONG, bw::PoolTagUsage> byTag;
  uint32_t faultSkip = 0;
  uint32_t faultCount = 0;
};

Accounting &State() {
  static Accounting *state = new Accounting;  // lives for the whole process
  return *state;
}

bool ShouldFail(Accounting &a) {
  if (a.faultCount == 0) return false;
  if (a.faultSkip > 0) {
    --a.faultSkip;
    return false;
  }
  --a.faultCount;
  return true;
}

void Account(Accounting &a, ULONG tag, SIZE_T bytes, bool add) {
  auto &u = a.byTag[tag];
  u.tag = tag;
  if (add) {
    u.allocations++;
    u.bytes += bytes;
  } else {
    u.allocations--;
    u.bytes -= bytes;
  }
}

PVOID Allocate(SIZE_T bytes, ULONG tag, bool zero) {
  auto &a = State();
  {
    // One hold of the lock per allocation: the block is counted before the
    // host is asked for it, and uncounted in the rare case it says no.
    std::lock_guard<std::mutex> guard(a.lock);
    if (ShouldFail(a)) return nullptr;
    if (bytes > (SIZE_T(1) << 40)) return nullptr;
    Account(a, tag, bytes, true);
  }
  auto *h = static_cast<PoolHeader *>(zero ? calloc(1, sizeof(PoolHeader) + bytes)
                                           : malloc(sizeof(PoolHeader) + bytes));
  if (!h) {
    std::lock_guard<std::mutex> guard(a.lock);
    Account(a, tag, bytes, false);
    return nullptr;
  }
  h->magic = kLiveMagic;
  h->tag = tag;
  h->size = bytes;
  bw::NoteHostBlock(h + 1, bytes);
  return h + 1;
}

}  // namespace

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG Tag) {
  // Pool contents are undefined on Windows; fill with a pattern so that
  // code relying on zeroed pool shows up in tests.
  PVOID p = Allocate(NumberOfBytes, Tag, false);
  if (p) memset(p, 0xCD, NumberOfBytes);
  return p;
}

PVOID ExAllocatePool2(POOL_FLAGS Flags, SIZE_T NumberOfBytes, ULONG Tag) {
  if (Tag == 0) return nullptr;
  return Allocate(NumberOfBytes, Tag, (Flags & POOL_FLAG_UNINITIALIZED) == 0);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 0x656E6F4E /* "None" */);
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
  if (!P) {
    bw::KernelFault("ExFreePool of a null pointer");
    return;
  }
  auto *h = static_cast<PoolHeader *>(P) - 1;
  if (h->magic != kLiveMagic) {
    bw::KernelFault("ExFreePool of a block that is not live pool");
    return;
  }
  if (Tag != 0 && Tag != h->tag) {
    bw::KernelFault("ExFreePoolWithTag with a tag that differs from the allocation's");
  }
  auto &a = State();
  {
    std::lock_guard<std::mutex> guard(a.lock);
    auto &u = a.byTag[h->tag];
    u.allocations--;
    u.bytes -= h->size;
  }
  bw::ForgetHostBlock(P, h->size);
  h->magic = kFreedMagic;
  free(h);
}

VOID ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

namespace bw {

std::vector<PoolTagUsage> PoolUsage() {
  auto &a = State();
  std::lock_guard<std::mutex> guard(a.lock);
  std::vector<PoolTagUsage> out;
  for (auto &[tag, u] : a.byTag)
    if (u.allocations || u.bytes) out.push_back(u);
  return out;
}

uint64_t PoolBytesWithTag(ULONG tag) {
  auto &a = State();
  std::lock_guard<std::mutex> guard(a.lock);
  auto it = a.byTag.find(tag);
  return it == a.byTag.end() ? 0 : it->second.bytes;
}

uint64_t PoolOutstandingAllocations() {
  auto &a = State();
  std::lock_guard<std::mutex> guard(a.lock);
  uint64_t n = 0;
  for (auto &[tag, u] : a.byTag) n += u.allocations;
  return n;
}

std::string TagName(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    s += (c >= 32 && c < 127) ? c : '?';
  }
  return s;
}

VOID InjectFault(Fault what, uint32_t skip, uint32_t count) {
  if (what != Fault::PoolAllocation) return SetFault(what, skip, count);
  auto &a = State();
  std::lock_guard<std::mutex> guard(a.lock);
  a.faultSkip = skip;
  a.faultCount = count;
}

VOID ClearFaults() {
  InjectFault(Fault::PoolAllocation, 0, 0);
  ClearOtherFaults();
}

}  // namespace bw
