// Memory manager: memory descriptor lists, physical pages per NUMA node,
// system and user mappings, sections and views.
#pragma once

#include "nt/ke.h"
#include "nt/ob.h"
#include "nt/status.h"
#include "nt/types.h"

struct _IRP;

#define PAGE_SIZE 0x1000
#define PAGE_SHIFT 12L

typedef ULONG_PTR PFN_NUMBER, *PPFN_NUMBER;
typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

#define BYTE_OFFSET(Va) ((ULONG)((LONG_PTR)(Va) & (PAGE_SIZE - 1)))
#define PAGE_ALIGN(Va) ((PVOID)((ULONG_PTR)(Va) & ~((ULONG_PTR)PAGE_SIZE - 1)))
#define BYTES_TO_PAGES(Size) \
  (((Size) >> PAGE_SHIFT) + (((Size) & (PAGE_SIZE - 1)) != 0))
#define ROUND_TO_PAGES(Size) (((ULONG_PTR)(Size) + PAGE_SIZE - 1) & ~((ULONG_PTR)PAGE_SIZE - 1))
#define ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size) \
  ((ULONG)((((ULONG_PTR)BYTE_OFFSET(Va)) + ((SIZE_T)(Size)) + (PAGE_SIZE - 1)) >> PAGE_SHIFT))
#define COMPUTE_PAGES_SPANNED(Va, Size) ADDRESS_AND_SIZE_TO_SPAN_PAGES(Va, Size)

// A memory descriptor list: a virtual range and the physical pages behind
// it. The page frame numbers follow the structure.
typedef struct _MDL {
  struct _MDL *Next;
  CSHORT Size;
  CSHORT MdlFlags;
  struct _EPROCESS *Process;
  PVOID MappedSystemVa;
  PVOID StartVa;
  ULONG ByteCount;
  ULONG ByteOffset;
} MDL, *PMDL;
static_assert(sizeof(MDL) == 48, "MDL layout");

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_IO_PAGE_READ 0x0040
#define MDL_WRITE_OPERATION 0x0080
#define MDL_LOCKED_PAGE_TABLES 0x0100
#define MDL_PARENT_MAPPED_SYSTEM_VA MDL_LOCKED_PAGE_TABLES
#define MDL_FREE_EXTRA_PTES 0x0200
#define MDL_DESCRIBES_AWE 0x0400
#define MDL_IO_SPACE 0x0800
#define MDL_NETWORK_HEADER 0x1000
#define MDL_MAPPING_CAN_FAIL 0x2000
#define MDL_PAGE_CONTENTS_INVARIANT 0x4000
#define MDL_ALLOCATED_MUST_SUCCEED MDL_PAGE_CONTENTS_INVARIANT
#define MDL_INTERNAL 0x8000

#define MmGetMdlPfnArray(Mdl) ((PPFN_NUMBER)((Mdl) + 1))
#define MmGetMdlVirtualAddress(Mdl) ((PVOID)((PCHAR)((Mdl)->StartVa) + (Mdl)->ByteOffset))
#define MmGetMdlByteCount(Mdl) ((Mdl)->ByteCount)
#define MmGetMdlByteOffset(Mdl) ((Mdl)->ByteOffset)
#define MmGetMdlBaseVa(Mdl) ((Mdl)->StartVa)

#define MmInitializeMdl(MemoryDescriptorList, BaseVa, Length)                              \
  do {                                                                                    \
    (MemoryDescriptorList)->Next = (PMDL)NULL;                                            \
    (MemoryDescriptorList)->Size =                                                        \
        (CSHORT)(sizeof(MDL) +                                                            \
                 (sizeof(PFN_NUMBER) * ADDRESS_AND_SIZE_TO_SPAN_PAGES((BaseVa), (Length)))); \
    (MemoryDescriptorList)->MdlFlags = 0;                                                 \
    (MemoryDescriptorList)->StartVa = (PVOID)PAGE_ALIGN((BaseVa));                        \
    (MemoryDescriptorList)->ByteOffset = BYTE_OFFSET((BaseVa));                           \
    (MemoryDescriptorList)->ByteCount = (ULONG)(Length);                                  \
  } while (0)

#define MmPrepareMdlForReuse(Mdl)                                                     \
  do {                                                                                \
    if (((Mdl)->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) != 0) {                       \
      MmUnmapLockedPages((Mdl)->MappedSystemVa, (Mdl));                               \
    } else if (((Mdl)->MdlFlags & MDL_PARTIAL) == 0) {                                \
      /* a non-partial MDL must have been unlocked before reuse */                    \
    }                                                                                 \
  } while (0)

typedef enum _MEMORY_CACHING_TYPE {
  MmNonCached = FALSE,
  MmCached = TRUE,
  MmWriteCombined,
  MmHardwareCoherentCached,
  MmNonCachedUnordered,
  MmUSWCCached,
  MmMaximumCacheType,
  MmNotMapped = -1
} MEMORY_CACHING_TYPE;

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;

typedef enum _MM_PAGE_PRIORITY {
  LowPagePriority,
  NormalPagePriority = 16,
  HighPagePriority = 32
} MM_PAGE_PRIORITY;

// Flags that may be or-ed into the page priority of a mapping request.
#define MdlMappingNoWrite 0x80000000
#define MdlMappingNoExecute 0x40000000

// Flags of MmAllocatePagesForMdlEx and MmAllocateNodePagesForMdlEx.
#define MM_DONT_ZERO_ALLOCATION 0x00000001
#define MM_ALLOCATE_FROM_LOCAL_NODE_ONLY 0x00000002
#define MM_ALLOCATE_FULLY_REQUIRED 0x00000004
#define MM_ALLOCATE_NO_WAIT 0x00000008
#define MM_ALLOCATE_PREFER_CONTIGUOUS 0x00000010
#define MM_ALLOCATE_REQUIRE_CONTIGUOUS_CHUNKS 0x00000020
#define MM_ALLOCATE_FAST_LARGE_PAGES 0x00000040
#define MM_ALLOCATE_TRIM_IF_NECESSARY 0x00000080
#define MM_ALLOCATE_AND_HOT_REMOVE 0x00000100

// The boundaries of user and system space.
NTKERNELAPI PVOID MmHighestUserAddress;
NTKERNELAPI PVOID MmSystemRangeStart;
NTKERNELAPI ULONG_PTR MmUserProbeAddress;
#define MM_HIGHEST_USER_ADDRESS MmHighestUserAddress
#define MM_SYSTEM_RANGE_START MmSystemRangeStart
#define MM_USER_PROBE_ADDRESS MmUserProbeAddress

// Descriptor lists.
NTKERNELAPI PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer,
                               BOOLEAN ChargeQuota, struct _IRP *Irp);
NTKERNELAPI VOID IoFreeMdl(PMDL Mdl);
NTKERNELAPI VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress,
                                   ULONG Length);
NTKERNELAPI SIZE_T MmSizeOfMdl(PVOID Base, SIZE_T Length);
NTKERNELAPI VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
NTKERNELAPI VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                     LOCK_OPERATION Operation);
NTKERNELAPI VOID MmUnlockPages(PMDL MemoryDescriptorList);

// Physical pages.
NTKERNELAPI PMDL MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress,
                                       PHYSICAL_ADDRESS HighAddress,
                                       PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes);
NTKERNELAPI PMDL MmAllocatePagesForMdlEx(PHYSICAL_ADDRESS LowAddress,
                                         PHYSICAL_ADDRESS HighAddress,
                                         PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes,
                                         MEMORY_CACHING_TYPE CacheType, ULONG Flags);
NTKERNELAPI PMDL MmAllocateNodePagesForMdlEx(PHYSICAL_ADDRESS LowAddress,
                                             PHYSICAL_ADDRESS HighAddress,
                                             PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes,
                                             MEMORY_CACHING_TYPE CacheType, ULONG IdealNode,
                                             ULONG Flags);
NTKERNELAPI VOID MmFreePagesFromMdl(PMDL MemoryDescriptorList);

// Mappings.
NTKERNELAPI PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList,
                                               KPROCESSOR_MODE AccessMode,
                                               MEMORY_CACHING_TYPE CacheType,
                                               PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                               ULONG Priority);
NTKERNELAPI PVOID MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode);
NTKERNELAPI VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);
NTKERNELAPI PHYSICAL_ADDRESS MmGetPhysicalAddress(PVOID BaseAddress);
NTKERNELAPI BOOLEAN MmIsAddressValid(PVOID VirtualAddress);

FORCEINLINE PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
  if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
    return Mdl->MappedSystemVa;
  return MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, NULL, FALSE, Priority);
}

// Page protections of sections and views.
#define PAGE_NOACCESS 0x01
#define PAGE_READONLY 0x02
#define PAGE_READWRITE 0x04
#define PAGE_WRITECOPY 0x08
#define PAGE_EXECUTE 0x10
#define PAGE_EXECUTE_READ 0x20
#define PAGE_EXECUTE_READWRITE 0x40
#define PAGE_EXECUTE_WRITECOPY 0x80
#define PAGE_GUARD 0x100
#define PAGE_NOCACHE 0x200

#define SEC_FILE 0x00800000
#define SEC_IMAGE 0x01000000
#define SEC_RESERVE 0x04000000
#define SEC_COMMIT 0x08000000
#define SEC_NOCACHE 0x10000000
#define SEC_LARGE_PAGES 0x80000000

#define MEM_TOP_DOWN 0x00100000
#define MEM_LARGE_PAGES 0x20000000

#define SECTION_QUERY 0x0001
#define SECTION_MAP_WRITE 0x0002
#define SECTION_MAP_READ 0x0004
#define SECTION_MAP_EXECUTE 0x0008
#define SECTION_EXTEND_SIZE 0x0010
#define SECTION_ALL_ACCESS                                                              \
  (0x000F0000L | SECTION_QUERY | SECTION_MAP_WRITE | SECTION_MAP_READ |                \
   SECTION_MAP_EXECUTE | SECTION_EXTEND_SIZE)

typedef enum _SECTION_INHERIT { ViewShare = 1, ViewUnmap = 2 } SECTION_INHERIT;

extern "C" POBJECT_TYPE *MmSectionObjectType;

NTKERNELAPI NTSTATUS MmMapViewInSystemSpace(PVOID Section, PVOID *MappedBase, PSIZE_T ViewSize);
NTKERNELAPI NTSTATUS MmUnmapViewInSystemSpace(PVOID MappedBase);
