// MDLs: allocation within the size limits of each system version, partial
// MDLs, and locking pages of memory that already exists (pool, buffers,
// mappings) by recording the frames behind it.
#include "internal.h"
#include "mm/mm_internal.h"
#include "ps/process.h"

namespace bw {

void SystemVersion(ULONG *major, ULONG *minor) {
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  RtlGetVersion(&info);
  *major = info.dwMajorVersion;
  *minor = info.dwMinorVersion;
}

namespace {

// Fills the PFN array of an MDL from the memory its virtual range covers.
void RecordPages(PMDL mdl, bool checkValid) {
  ULONG count = ADDRESS_AND_SIZE_TO_SPAN_PAGES(MmGetMdlVirtualAddress(mdl), mdl->ByteCount);
  // A pool block is host memory outside every mapping: its frames are its
  // pages, found without the memory manager's lock (drivers' requests on
  // pool buffers are the most frequent kind).
  auto start = reinterpret_cast<uintptr_t>(mdl->StartVa);
  if (count && InKnownBlock(start, size_t(count) << PAGE_SHIFT)) {
    PPFN_NUMBER pfns = MmGetMdlPfnArray(mdl);
    for (ULONG i = 0; i < count; ++i) pfns[i] = HostPfnOf(reinterpret_cast<void *>(start + (size_t(i) << PAGE_SHIFT)));
    return;
  }
  std::lock_guard<std::mutex> guard(MmLock());
  // The real kernel raises an access violation here; driver code built
  // without exception handling cannot catch it, so it is fatal.
  if (!PfnsOfRange(mdl->StartVa, count, MmGetMdlPfnArray(mdl), checkValid))
    KernelFault("MmProbeAndLockPages of an address that is not valid");
}

}  // namespace

}  // namespace bw

using namespace bw;

SIZE_T MmSizeOfMdl(PVOID Base, SIZE_T Length) {
  return sizeof(MDL) + sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES(Base, Length);
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN,
                   PIRP Irp) {
  // The largest buffer one MDL may describe differs by system version.
  ULONG major, minor;
  SystemVersion(&major, &minor);
  SIZE_T pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
  if (major < 6) {
    if (pages > (0xFFFF - sizeof(MDL)) / sizeof(PFN_NUMBER)) return nullptr;
  } else if (major == 6 && minor == 0) {
    if (Length > 0x7FFFF000UL) return nullptr;
  } else if (Length > 0xFFFFF000UL) {
    return nullptr;
  }
  auto *mdl = static_cast<PMDL>(
      ExAllocatePoolWithTag(NonPagedPoolNx, MmSizeOfMdl(VirtualAddress, Length), kMdlTag));
  if (!mdl) return nullptr;
  MmInitializeMdl(mdl, VirtualAddress, Length);
  mdl->MdlFlags = MDL_ALLOCATED_FIXED_SIZE;
  mdl->Process = nullptr;
  mdl->MappedSystemVa = nullptr;
  if (Irp) {
    if (!SecondaryBuffer) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL *tail = &Irp->MdlAddress;
      while (*tail) tail = &(*tail)->Next;
      *tail = mdl;
    }
  }
  return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
  if (Mdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) {
    MmUnmapLockedPages(Mdl->MappedSystemVa, Mdl);
  } else if ((Mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) &&
             !(Mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL)) {
    std::lock_guard<std::mutex> guard(MmLock());
    if (MappingAt(Mdl->MappedSystemVa))
      KernelFault("IoFreeMdl of an MDL that is still mapped into system space");
  }
  ExFreePool(Mdl);
}

VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length) {
  auto offset = static_cast<ULONG_PTR>(static_cast<PCHAR>(VirtualAddress) -
                                       static_cast<PCHAR>(MmGetMdlVirtualAddress(SourceMdl)));
  if (static_cast<PCHAR>(VirtualAddress) < static_cast<PCHAR>(MmGetMdlVirtualAddress(SourceMdl)) ||
      offset > SourceMdl->ByteCount)
    KernelFault("IoBuildPartialMdl of a range outside the source MDL");
  if (Length == 0) Length = SourceMdl->ByteCount - static_cast<ULONG>(offset);
  if (offset + Length > SourceMdl->ByteCount)
    KernelFault("IoBuildPartialMdl of a range outside the source MDL");
  ULONG pages = ADDRESS_AND_SIZE_TO_SPAN_PAGES(VirtualAddress, Length);
  SIZE_T needed = sizeof(MDL) + pages * sizeof(PFN_NUMBER);
  // Size is 16 bits wide; a larger MDL's Size says nothing.
  if (needed <= 0x7FFF && static_cast<SIZE_T>(static_cast<USHORT>(TargetMdl->Size)) < needed)
    KernelFault("IoBuildPartialMdl into an MDL too small for the range");
  TargetMdl->StartVa = PAGE_ALIGN(VirtualAddress);
  TargetMdl->Process = SourceMdl->Process;
  TargetMdl->ByteCount = Length;
  TargetMdl->ByteOffset = BYTE_OFFSET(VirtualAddress);
  TargetMdl->MdlFlags &= (MDL_ALLOCATED_FIXED_SIZE | MDL_ALLOCATED_MUST_SUCCEED);
  TargetMdl->MdlFlags |= SourceMdl->MdlFlags & (MDL_IO_SPACE | MDL_SOURCE_IS_NONPAGED_POOL);
  TargetMdl->MdlFlags |= MDL_PARTIAL;
  TargetMdl->MappedSystemVa = static_cast<PCHAR>(SourceMdl->MappedSystemVa) + offset;
  ULONG_PTR firstPage = (reinterpret_cast<ULONG_PTR>(TargetMdl->StartVa) -
                         reinterpret_cast<ULONG_PTR>(SourceMdl->StartVa)) >>
                        PAGE_SHIFT;
  PPFN_NUMBER from = MmGetMdlPfnArray(SourceMdl) + firstPage;
  PPFN_NUMBER to = MmGetMdlPfnArray(TargetMdl);
  for (ULONG i = 0; i < pages; ++i) to[i] = from[i];
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  RecordPages(mdl, false);
  mdl->Process = nullptr;
  mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
  mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE, LOCK_OPERATION Operation) {
  PMDL mdl = MemoryDescriptorList;
  if (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA |
                       MDL_SOURCE_IS_NONPAGED_POOL | MDL_PARTIAL))
    KernelFault("MmProbeAndLockPages of an MDL that is already locked or built");
  RecordPages(mdl, true);
  mdl->Process = mdl->StartVa < MmSystemRangeStart ? CurrentProcess() : nullptr;
  mdl->MdlFlags |= MDL_PAGES_LOCKED;
  if (Operation != IoReadAccess) mdl->MdlFlags |= MDL_WRITE_OPERATION;
}

VOID MmUnlockPages(PMDL MemoryDescriptorList) {
  PMDL mdl = MemoryDescriptorList;
  if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) return;
  if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) KernelFault("MmUnlockPages of pages that are not locked");
  if (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) MmUnmapLockedPages(mdl->MappedSystemVa, mdl);
  mdl->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION);
}
