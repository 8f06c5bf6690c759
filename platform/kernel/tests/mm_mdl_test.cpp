// The memory manager: pages for MDLs per NUMA node, system and user
// mappings that share their pages, partial MDLs, locking existing memory,
// the I/O manager's direct-I/O MDLs, and injected failures.
#include "platform/kernel/tests/kernel_fixture.h"

#include "bw/user_session.h"

#include <ntddk.h>

#include <sys/mman.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace bw {
PDRIVER_OBJECT CreateDriverObject(std::u16string_view serviceName);
}

namespace bw::test {
namespace {

constexpr ULONG kMdlTag = 0x206C644D;  // "Mdl "
const PHYSICAL_ADDRESS kLow{}, kSkip{};
const PHYSICAL_ADDRESS kHigh{{0xFFFFFFFF, 0x7FFFFFFF}};

class MemoryTest : public KernelTest {
 protected:
  PMDL Allocate(SIZE_T bytes, ULONG node = 0,
                ULONG flags = MM_ALLOCATE_FULLY_REQUIRED | MM_DONT_ZERO_ALLOCATION) {
    return MmAllocateNodePagesForMdlEx(kLow, kHigh, kSkip, bytes, MmCached, node, flags);
  }
  void Free(PMDL mdl) {
    MmFreePagesFromMdl(mdl);
    ExFreePool(mdl);
  }
  void ExpectNothingLeft() {
    EXPECT_EQ(0u, MdlPagesOutstanding());
    EXPECT_EQ(0u, MappingsOutstanding());
    EXPECT_EQ(0u, PoolBytesWithTag(kMdlTag));
  }
};

size_t ResidentBytes() {
  FILE *f = fopen("/proc/self/statm", "r");
  long size = 0, resident = 0;
  if (f) {
    if (fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
    fclose(f);
  }
  return static_cast<size_t>(resident) * 4096;
}

TEST_F(MemoryTest, EveryMappingOfPagesSeesTheSameBytes) {
  PMDL mdl = Allocate(4 * PAGE_SIZE, 0, MM_ALLOCATE_FULLY_REQUIRED | MM_ALLOCATE_FROM_LOCAL_NODE_ONLY);
  ASSERT_NE(nullptr, mdl);
  EXPECT_EQ(4u * PAGE_SIZE, MmGetMdlByteCount(mdl));
  EXPECT_EQ(4u * PAGE_SIZE, MdlPagesOutstanding());
  auto *system = static_cast<char *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  ASSERT_NE(nullptr, system);
  EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_EQ(system, mdl->MappedSystemVa);
  EXPECT_GE(system, static_cast<char *>(MmSystemRangeStart));
  EXPECT_EQ(0, system[0]);  // fresh pages read as zeros
  // A user mapping in the current (system) process: other address, same pages.
  auto *user = static_cast<char *>(MmMapLockedPagesSpecifyCache(
      mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority | MdlMappingNoExecute));
  ASSERT_NE(nullptr, user);
  EXPECT_NE(system, user);
  EXPECT_LT(user, static_cast<char *>(MmSystemRangeStart));
  memcpy(system + 3 * PAGE_SIZE + 17, "shared", 6);
  EXPECT_EQ(0, memcmp(user + 3 * PAGE_SIZE + 17, "shared", 6));
  user[5] = 'u';
  EXPECT_EQ('u', system[5]);
  EXPECT_EQ(MmGetPhysicalAddress(system + 5000).QuadPart,
            MmGetPhysicalAddress(user + 5000).QuadPart);
  EXPECT_NE(MmGetPhysicalAddress(system).QuadPart, MmGetPhysicalAddress(system + PAGE_SIZE).QuadPart);
  EXPECT_TRUE(MmIsAddressValid(user));
  EXPECT_EQ(2u, MappingsOutstanding());
  MmUnmapLockedPages(user, mdl);
  MmUnmapLockedPages(system, mdl);
  EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  Free(mdl);
  ExpectNothingLeft();
}

TEST_F(MemoryTest, NodesThatDoNotExistAreRefused) {
  ULONG missing = KeQueryHighestNodeNumber() + 1u;
  EXPECT_EQ(nullptr, Allocate(PAGE_SIZE, missing));
  EXPECT_EQ(nullptr, Allocate(PAGE_SIZE, missing, MM_ALLOCATE_FROM_LOCAL_NODE_ONLY));
  EXPECT_LE(KeGetCurrentNodeNumber(), KeQueryHighestNodeNumber());
  EXPECT_EQ(nullptr, MmAllocatePagesForMdlEx(kLow, kHigh, kSkip, PAGE_SIZE,
                                             static_cast<MEMORY_CACHING_TYPE>(42), 0));
  EXPECT_EQ(nullptr, MmAllocatePagesForMdl(kLow, kHigh, kSkip, 0));
  ExpectNothingLeft();
}

TEST_F(MemoryTest, OneListHoldsAtMostFourGibibytesLessAPage) {
  EXPECT_EQ(nullptr, Allocate(0x100000000ULL));
  PMDL clipped = Allocate(0x100000000ULL, 0, 0);
  ASSERT_NE(nullptr, clipped);
  EXPECT_EQ(0xFFFFF000u, MmGetMdlByteCount(clipped));
  Free(clipped);
  // Asking for more than the node holds stops at what it holds.
  std::vector<PMDL> chunks;
  uint64_t total = 0;
  while (PMDL chunk = Allocate(0xFFFFF000ULL)) {
    chunks.push_back(chunk);
    total += 0xFFFFF000ULL;
    ASSERT_LT(chunks.size(), 4096u);
  }
  EXPECT_GT(total, 0u);
  EXPECT_EQ(total, MdlPagesOutstanding());
  for (PMDL chunk : chunks) Free(chunk);
  ExpectNothingLeft();
}

// Page lists are taken lazily, so tens of GiB cost nothing until mapped;
// a mapping, like one of locked pages on Windows, is resident at once.
TEST_F(MemoryTest, SixteenGibibytesAreTakenLazilyAndMappedResident) {
  constexpr uint64_t kTotal = 16ULL << 30, kChunk = 0xFFFFF000ULL;
  size_t before = ResidentBytes();
  std::vector<PMDL> chunks;
  for (uint64_t done = 0; done < kTotal; done += kChunk) {
    PMDL mdl = Allocate(std::min(kChunk, kTotal - done));
    ASSERT_NE(nullptr, mdl);
    chunks.push_back(mdl);
  }
  EXPECT_EQ(5u, chunks.size());
  EXPECT_EQ(kTotal, MdlPagesOutstanding());
  EXPECT_LT(ResidentBytes(), before + (1u << 30));

  // The first page of the first chunk and the last of the last, each
  // through a one-page partial list, and 64 MiB of the second chunk.
  auto mapPart = [](PMDL source, ULONG offset, ULONG length) {
    auto *va = static_cast<char *>(MmGetMdlVirtualAddress(source)) + offset;
    PMDL partial = IoAllocateMdl(va, length, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(source, partial, va, length);
    return partial;
  };
  PMDL first = mapPart(chunks.front(), 0, PAGE_SIZE);
  PMDL last = mapPart(chunks.back(), MmGetMdlByteCount(chunks.back()) - PAGE_SIZE, PAGE_SIZE);
  auto *head = static_cast<char *>(MmGetSystemAddressForMdlSafe(first, NormalPagePriority));
  auto *tail = static_cast<char *>(MmGetSystemAddressForMdlSafe(last, NormalPagePriority));
  ASSERT_NE(nullptr, head);
  ASSERT_NE(nullptr, tail);
  head[0] = 1;
  tail[PAGE_SIZE - 1] = 2;
  size_t beforeMapping = ResidentBytes();
  PMDL middle = mapPart(chunks[1], 0, 64u << 20);
  auto *block = static_cast<char *>(MmGetSystemAddressForMdlSafe(middle, NormalPagePriority));
  ASSERT_NE(nullptr, block);
  EXPECT_GE(ResidentBytes(), beforeMapping + (60u << 20));
  EXPECT_EQ(0, block[(64u << 20) - 1]);
  for (PMDL partial : {first, last, middle}) IoFreeMdl(partial);  // unmaps them

  // Another mapping of the same pages sees what was written.
  PMDL again = mapPart(chunks.front(), 0, PAGE_SIZE);
  auto *seen = static_cast<char *>(MmGetSystemAddressForMdlSafe(again, NormalPagePriority));
  ASSERT_NE(nullptr, seen);
  EXPECT_EQ(1, seen[0]);
  IoFreeMdl(again);
  again = mapPart(chunks.back(), MmGetMdlByteCount(chunks.back()) - PAGE_SIZE, PAGE_SIZE);
  seen = static_cast<char *>(MmGetSystemAddressForMdlSafe(again, NormalPagePriority));
  ASSERT_NE(nullptr, seen);
  EXPECT_EQ(2, seen[PAGE_SIZE - 1]);
  IoFreeMdl(again);
  EXPECT_LT(ResidentBytes(), before + (1u << 30));
  for (PMDL mdl : chunks) Free(mdl);
  ExpectNothingLeft();
}

TEST_F(MemoryTest, PartialMdlsMapTheMiddleOfTheirSource) {
  PMDL source = Allocate(8 * PAGE_SIZE);
  ASSERT_NE(nullptr, source);
  auto *whole = static_cast<char *>(MmGetSystemAddressForMdlSafe(source, NormalPagePriority));
  ASSERT_NE(nullptr, whole);
  auto *va = static_cast<char *>(MmGetMdlVirtualAddress(source)) + 0x1800;
  PMDL partial = IoAllocateMdl(va, 0x2000, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, partial);
  IoBuildPartialMdl(source, partial, va, 0x2000);
  EXPECT_TRUE(partial->MdlFlags & MDL_PARTIAL);
  EXPECT_EQ(0x800u, MmGetMdlByteOffset(partial));
  EXPECT_EQ(MmGetMdlPfnArray(source)[1], MmGetMdlPfnArray(partial)[0]);
  auto *middle = static_cast<char *>(MmGetSystemAddressForMdlSafe(partial, NormalPagePriority));
  ASSERT_NE(nullptr, middle);
  EXPECT_TRUE(partial->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED);
  memcpy(middle, "middle", 6);
  memcpy(middle + 0x1FFA, "tail!!", 6);
  EXPECT_EQ(0, memcmp(whole + 0x1800, "middle", 6));
  EXPECT_EQ(0, memcmp(whole + 0x37FA, "tail!!", 6));
  // Length 0 takes the rest of the source; freeing a mapped partial MDL unmaps it.
  IoFreeMdl(partial);
  EXPECT_EQ(1u, MappingsOutstanding());
  partial = IoAllocateMdl(va, 8 * PAGE_SIZE - 0x1800, FALSE, FALSE, nullptr);
  IoBuildPartialMdl(source, partial, va, 0);
  EXPECT_EQ(8u * PAGE_SIZE - 0x1800, MmGetMdlByteCount(partial));
  IoFreeMdl(partial);
  MmUnmapLockedPages(whole, source);
  Free(source);
  ExpectNothingLeft();
}

TEST_F(MemoryTest, LockedHostMemoryIsItsOwnSystemAddress) {
  std::vector<char> buffer(3 * PAGE_SIZE);
  PMDL mdl = IoAllocateMdl(buffer.data() + 100, 5000, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, mdl);
  EXPECT_EQ(ADDRESS_AND_SIZE_TO_SPAN_PAGES(buffer.data() + 100, 5000),
            (mdl->Size - sizeof(MDL)) / sizeof(PFN_NUMBER));
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
  EXPECT_TRUE(mdl->MdlFlags & MDL_WRITE_OPERATION);
  EXPECT_EQ(buffer.data() + 100, MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  MmUnlockPages(mdl);
  EXPECT_EQ(0, mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA));
  IoFreeMdl(mdl);

  PVOID pool = ExAllocatePoolWithTag(NonPagedPoolNx, 300, 0x74736554);
  mdl = IoAllocateMdl(pool, 300, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  EXPECT_TRUE(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL);
  EXPECT_EQ(pool, MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  IoFreeMdl(mdl);
  ExFreePool(pool);

  // Locking memory that is itself a mapping of pages records those pages,
  // so mapping the new MDL gives another view of them.
  PMDL pages = Allocate(2 * PAGE_SIZE);
  auto *mapped = static_cast<char *>(MmGetSystemAddressForMdlSafe(pages, NormalPagePriority));
  mdl = IoAllocateMdl(mapped + PAGE_SIZE, PAGE_SIZE, FALSE, FALSE, nullptr);
  MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
  EXPECT_EQ(MmGetMdlPfnArray(pages)[1], MmGetMdlPfnArray(mdl)[0]);
  auto *again = static_cast<char *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  EXPECT_NE(mapped + PAGE_SIZE, again);
  again[9] = 'x';
  EXPECT_EQ('x', mapped[PAGE_SIZE + 9]);
  MmUnlockPages(mdl);  // also unmaps
  IoFreeMdl(mdl);
  MmUnmapLockedPages(mapped, pages);
  Free(pages);
  ExpectNothingLeft();
}

// A probe records a range stretch by stretch: host memory up to the next
// mapping, then that mapping's pages.
TEST_F(MemoryTest, ProbingARangeRecordsHostPagesAndTheMappingBehindThem) {
  // A mapping lands wherever the host puts it; the first one with two free
  // pages right before it serves.
  std::vector<std::pair<PMDL, char *>> tried;
  char *before = nullptr;
  for (int attempt = 0; attempt < 16 && !before; ++attempt) {
    PMDL pages = Allocate(2 * PAGE_SIZE);
    auto *mapped = static_cast<char *>(MmGetSystemAddressForMdlSafe(pages, NormalPagePriority));
    ASSERT_NE(nullptr, mapped);
    tried.emplace_back(pages, mapped);
    void *host = mmap(mapped - 2 * PAGE_SIZE, 2 * PAGE_SIZE, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (host == mapped - 2 * PAGE_SIZE) {
      before = static_cast<char *>(host);
    } else if (host != MAP_FAILED) {
      munmap(host, 2 * PAGE_SIZE);  // an old host kernel took the address as a hint
    }
  }
  if (before) {
    PMDL pages = tried.back().first;
    PMDL mdl = IoAllocateMdl(before + 10, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
    ASSERT_NE(nullptr, mdl);
    MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
    PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
    EXPECT_EQ(static_cast<PFN_NUMBER>(MmGetPhysicalAddress(before).QuadPart >> PAGE_SHIFT), pfns[0]);
    EXPECT_EQ(static_cast<PFN_NUMBER>(MmGetPhysicalAddress(before + PAGE_SIZE).QuadPart >> PAGE_SHIFT), pfns[1]);
    EXPECT_EQ(MmGetMdlPfnArray(pages)[0], pfns[2]);
    EXPECT_EQ(MmGetMdlPfnArray(pages)[1], pfns[3]);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    munmap(before, 2 * PAGE_SIZE);
  }
  for (auto &[pages, mapped] : tried) {
    MmUnmapLockedPages(mapped, pages);
    Free(pages);
  }
  ExpectNothingLeft();
  if (!before) GTEST_SKIP() << "the host kept the pages before every mapping for itself";
}

// ramvold's transfer windows: host memory noted for user buffers is locked
// without asking the host, and describes the very same bytes at the very
// same address; once forgotten the host is asked again.
TEST_F(MemoryTest, NotedUserBuffersAreLockedWhereTheyLie) {
  auto *area = static_cast<char *>(
      mmap(nullptr, 4 * PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(MAP_FAILED, static_cast<void *>(area));
  NoteUserBuffers(area, 4 * PAGE_SIZE);
  PMDL mdl = IoAllocateMdl(area + PAGE_SIZE + 77, 2 * PAGE_SIZE, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, mdl);
  MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
  EXPECT_EQ(77u, MmGetMdlByteOffset(mdl));
  PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
  for (ULONG i = 0; i < 3; ++i)
    EXPECT_EQ(static_cast<PFN_NUMBER>(MmGetPhysicalAddress(area + (i + 1) * PAGE_SIZE).QuadPart >> PAGE_SHIFT),
              pfns[i]);
  auto *system = static_cast<char *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
  EXPECT_EQ(area + PAGE_SIZE + 77, system);
  system[5] = 'w';
  EXPECT_EQ('w', area[PAGE_SIZE + 82]);
  MmUnlockPages(mdl);
  IoFreeMdl(mdl);
  ForgetUserBuffers(area, 4 * PAGE_SIZE);
  mdl = IoAllocateMdl(area, 4 * PAGE_SIZE, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, mdl);
  EXPECT_DEATH(
      {
        munmap(area + 2 * PAGE_SIZE, PAGE_SIZE);
        MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
      },
      "not valid");
  IoFreeMdl(mdl);
  munmap(area, 4 * PAGE_SIZE);
  ExpectNothingLeft();
}

TEST_F(MemoryTest, ProbingARangeWithAnUnmappedPageInsideIsFatal) {
  auto *area = static_cast<char *>(
      mmap(nullptr, 3 * PAGE_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ASSERT_NE(MAP_FAILED, static_cast<void *>(area));
  PMDL mdl = IoAllocateMdl(area, 3 * PAGE_SIZE, FALSE, FALSE, nullptr);
  ASSERT_NE(nullptr, mdl);
  // The hole is made right before the probe, so that nothing of the host's
  // moves into it.
  EXPECT_DEATH(
      {
        munmap(area + PAGE_SIZE, PAGE_SIZE);
        MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
      },
      "not valid");
  IoFreeMdl(mdl);
  munmap(area, 3 * PAGE_SIZE);
}

TEST_F(MemoryTest, MdlSizeLimitsFollowTheSystemVersion) {
  SetSystemVersion(5, 1, 2600, true);
  EXPECT_EQ(nullptr, IoAllocateMdl(nullptr, 0x2000000, FALSE, FALSE, nullptr));
  PMDL mdl = IoAllocateMdl(nullptr, 0x1FF8E00, FALSE, FALSE, nullptr);
  EXPECT_NE(nullptr, mdl);
  IoFreeMdl(mdl);
  SetSystemVersion(6, 0, 6002, true);
  EXPECT_EQ(nullptr, IoAllocateMdl(nullptr, 0x80000000, FALSE, FALSE, nullptr));
  mdl = IoAllocateMdl(nullptr, 0x7FFFF000, FALSE, FALSE, nullptr);
  EXPECT_NE(nullptr, mdl);
  IoFreeMdl(mdl);
  SetSystemVersion(6, 1, 7601, true);
  mdl = IoAllocateMdl(nullptr, 0xFFFFF000, FALSE, FALSE, nullptr);
  EXPECT_NE(nullptr, mdl);
  IoFreeMdl(mdl);
  ExpectNothingLeft();
}

TEST_F(MemoryTest, InjectedFailuresFailAsWindowsDoesAndLeaveNothing) {
  InjectFault(Fault::PageAllocation, 1, 2);
  PMDL first = Allocate(4 * PAGE_SIZE);  // skipped
  ASSERT_NE(nullptr, first);
  EXPECT_EQ(nullptr, Allocate(4 * PAGE_SIZE));  // fully required: nothing
  PMDL half = Allocate(4 * PAGE_SIZE, 0, 0);   // otherwise: part of it
  ASSERT_NE(nullptr, half);
  EXPECT_EQ(2u * PAGE_SIZE, MmGetMdlByteCount(half));
  Free(half);
  InjectFault(Fault::PageAllocation, 0, 1);
  EXPECT_EQ(nullptr, MmAllocatePagesForMdl(kLow, kHigh, kSkip, PAGE_SIZE));

  InjectFault(Fault::Mapping, 0, 2);
  EXPECT_EQ(nullptr, MmGetSystemAddressForMdlSafe(first, NormalPagePriority));
  EXPECT_FALSE(first->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
  EXPECT_EQ(nullptr, MmMapLockedPagesSpecifyCache(first, UserMode, MmCached, nullptr, FALSE,
                                                  NormalPagePriority));
  EXPECT_EQ(0u, MappingsOutstanding());

  InjectFault(Fault::PoolAllocation, 0, 1);
  EXPECT_EQ(nullptr, IoAllocateMdl(first, PAGE_SIZE, FALSE, FALSE, nullptr));
  InjectFault(Fault::PoolAllocation, 0, 1);
  EXPECT_EQ(nullptr, Allocate(PAGE_SIZE));
  ClearFaults();
  Free(first);
  ExpectNothingLeft();
}

// Direct I/O: the I/O manager describes the caller's buffer with a locked
// MDL and releases it when the request completes.
NTSTATUS ReadIntoMdl(PDEVICE_OBJECT, PIRP irp) {
  PMDL mdl = irp->MdlAddress;
  NTSTATUS status = STATUS_INVALID_PARAMETER;
  if (mdl && (mdl->MdlFlags & MDL_PAGES_LOCKED) && (mdl->MdlFlags & MDL_WRITE_OPERATION)) {
    auto *to = static_cast<char *>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    memset(to, 'd', MmGetMdlByteCount(mdl));
    status = STATUS_SUCCESS;
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = mdl ? MmGetMdlByteCount(mdl) : 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

TEST_F(MemoryTest, DirectIoBuffersAreLockedAndReleased) {
  PDRIVER_OBJECT driver = CreateDriverObject(u"MmDirect");
  driver->MajorFunction[IRP_MJ_READ] = ReadIntoMdl;
  PDEVICE_OBJECT device = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS,
                IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &device));
  device->Flags = (device->Flags & ~DO_DEVICE_INITIALIZING) | DO_DIRECT_IO;
  std::vector<char> buffer(10000, 0);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  LARGE_INTEGER offset{};
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, device, buffer.data() + 1, 9000, &offset,
                                          &event, &iosb);
  ASSERT_NE(nullptr, irp);
  NTSTATUS status = IoCallDriver(device, irp);
  EXPECT_STATUS(STATUS_SUCCESS, status);
  EXPECT_EQ(9000u, iosb.Information);
  EXPECT_EQ(0, buffer[0]);
  EXPECT_EQ('d', buffer[9000]);
  EXPECT_EQ(0, buffer[9001]);
  IoDeleteDevice(device);
  ObfDereferenceObject(driver);
  ExpectNothingLeft();
}

}  // namespace
}  // namespace bw::test
