// The memory of a memory store: page lists per NUMA node, loaded from the
// image, mapped in pieces, and zeroed.
#include "engine/store/change_map.h"
#include "kernel-support/ks_version.h"
#include "engine/store/store_internal.h"

namespace {

typedef PMDL (*MM_ALLOCATE_NODE_PAGES_FOR_MDL_EX)(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress,
                                                  PHYSICAL_ADDRESS SkipBytes, SIZE_T TotalBytes,
                                                  MEMORY_CACHING_TYPE CacheType, ULONG IdealNode,
                                                  ULONG Flags);

constexpr ULONG STORE_PAGE_SIZE = 4096;

MM_ALLOCATE_NODE_PAGES_FOR_MDL_EX NodeAllocator() {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, KS_WSTR("MmAllocateNodePagesForMdlEx"));
  return reinterpret_cast<MM_ALLOCATE_NODE_PAGES_FOR_MDL_EX>(MmGetSystemRoutineAddress(&name));
}

VOID FreeChunk(PMDL *Chunk) {
  if (!*Chunk) return;
  MmFreePagesFromMdl(*Chunk);
  ExFreePool(*Chunk);
  *Chunk = nullptr;
}

// One chunk of Bytes from the node, or null (nothing kept) when it comes
// back missing or short. Zeroed pages come zeroed from the memory manager
// (from its zeroed list, without a pass of ours over them); the others hold
// whatever they held.
PMDL AllocateChunk(MM_ALLOCATE_NODE_PAGES_FOR_MDL_EX Allocate, SIZE_T Bytes, ULONG Node, BOOLEAN NodeOnly,
                   BOOLEAN Zeroed) {
  PHYSICAL_ADDRESS low, high, skip;
  low.QuadPart = 0;
  high.QuadPart = -1;
  skip.QuadPart = 0;
  PMDL mdl;
  if (Allocate) {
    ULONG flags = MM_ALLOCATE_FULLY_REQUIRED | (Zeroed ? 0 : MM_DONT_ZERO_ALLOCATION);
    if (NodeOnly) flags |= MM_ALLOCATE_FROM_LOCAL_NODE_ONLY;
    mdl = Allocate(low, high, skip, Bytes, MmCached, Node, flags);
  } else {
    mdl = MmAllocatePagesForMdl(low, high, skip, Bytes);  // always zeroed
  }
  if (mdl && MmGetMdlByteCount(mdl) < Bytes) FreeChunk(&mdl);
  return mdl;
}

PUCHAR MapSystem(PMDL Mdl) {
  return static_cast<PUCHAR>(
      MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority));
}

// Maps into the user part of the system process, when system space is short.
PUCHAR MapUser(PMDL Mdl) {
  StoreSystemAttach attach;
  return static_cast<PUCHAR>(
      MmMapLockedPagesSpecifyCache(Mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority));
}

// Maps Mdl where there is room: system space first, then the system
// process's user space.
PUCHAR MapAnywhere(PMDL Mdl, PULONG PieceFlags) {
  PUCHAR address = MapSystem(Mdl);
  if (!address) address = MapUser(Mdl);
  // Below the system range only the system process sees it.
  if (address && address < static_cast<PUCHAR>(MmSystemRangeStart)) *PieceFlags |= PIECE_USER_SPACE;
  return address;
}

VOID Unmap(PUCHAR Address, PMDL Mdl, ULONG PieceFlags) {
  StoreSystemAttach attach((PieceFlags & PIECE_USER_SPACE) != 0);
  MmUnmapLockedPages(Address, Mdl);
}

// Appends a mapped run to the store's pieces; on failure the run is unmapped
// (and a partial page list freed).
NTSTATUS AppendPiece(VolumeStore *Store, StorePiece **Tail, PMDL Mdl, PUCHAR Address, ULONG Length,
                     ULONG Flags, ULONGLONG Start) {
  StorePiece *piece = static_cast<StorePiece *>(KsAllocate(sizeof(StorePiece), STORE_PIECE_TAG));
  if (!piece) {
    Unmap(Address, Mdl, Flags);
    if (Flags & PIECE_PARTIAL_MDL) IoFreeMdl(Mdl);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  piece->Mdl = Mdl;
  piece->Address = Address;
  piece->Length = Length;
  piece->Flags = Flags;
  piece->Next = nullptr;
  piece->Start = Start;
  if (*Tail) {
    (*Tail)->Next = piece;
  } else {
    Store->Pieces = piece;
  }
  *Tail = piece;
  Store->PieceCount++;
  if (Store->SmallestPiece == 0 || Length < Store->SmallestPiece) Store->SmallestPiece = Length;
  return STATUS_SUCCESS;
}

// Maps one chunk: whole if possible, else in runs of at most the transfer
// limit, each run shortened by 1 MiB until it maps.
NTSTATUS MapChunk(VolumeStore *Store, StorePiece **Tail, PMDL Chunk, ULONG Length, ULONGLONG Start) {
  ULONG flags = 0;
  PUCHAR address = MapAnywhere(Chunk, &flags);
  if (address) return AppendPiece(Store, Tail, Chunk, address, Length, flags, Start);
  if (Length < STORE_MAP_BACKOFF) return STATUS_INSUFFICIENT_RESOURCES;

  // Runs start on page boundaries, so they stay whole pages.
  ULONG limit = StoreTransferLimit() & ~(STORE_PAGE_SIZE - 1);
  PUCHAR base = static_cast<PUCHAR>(MmGetMdlVirtualAddress(Chunk));
  ULONG done = 0;
  while (done < Length) {
    ULONG run = Length - done < limit ? Length - done : limit;
    for (;;) {
      PMDL partial = IoAllocateMdl(base + done, run, FALSE, FALSE, nullptr);
      if (!partial) return STATUS_INSUFFICIENT_RESOURCES;
      IoBuildPartialMdl(Chunk, partial, base + done, run);
      flags = PIECE_PARTIAL_MDL;
      address = MapAnywhere(partial, &flags);
      if (address) {
        NTSTATUS status = AppendPiece(Store, Tail, partial, address, run, flags, Start + done);
        if (!NT_SUCCESS(status)) return status;
        break;
      }
      IoFreeMdl(partial);
      if (run <= STORE_MAP_BACKOFF) return STATUS_INSUFFICIENT_RESOURCES;
      run -= STORE_MAP_BACKOFF;
    }
    done += run;
  }
  return STATUS_SUCCESS;
}

}  // namespace

ULONG StoreTransferLimit() {
  const KS_SYSTEM_VERSION *version = KsSystemVersion();
  if (version && version->Major == 5) return 0x1FF8E00;
  if (version && version->Major == 6 && version->Minor == 0) return 0x7FFFF000;
  return 0xFFFFF000;
}

StorePiece *StoreFindPiece(VolumeStore *Store, ULONGLONG MemoryOffset) {
  for (StorePiece *piece = Store->Pieces; piece; piece = piece->Next) {
    if (MemoryOffset >= piece->Start && MemoryOffset - piece->Start < piece->Length) return piece;
  }
  return nullptr;
}

NTSTATUS StoreCreateMemory(VolumeStore *Store, ULONG MountFlags, ULONG NumaNode) {
  if (!Store || !StoreIsMemory(Store) || Store->Chunks) return STATUS_INVALID_PARAMETER;
  ULONGLONG bytes = Store->VolumeSize + Store->DataOffset;
  if (bytes == 0 || bytes < Store->VolumeSize) return STATUS_INVALID_PARAMETER;

  ULONGLONG count = (bytes + STORE_MAX_CHUNK - 1) / STORE_MAX_CHUNK;
  if (count > 0xFFFFFFFFull / sizeof(PMDL)) return STATUS_INSUFFICIENT_RESOURCES;
  SIZE_T setBytes = sizeof(ChunkSet) + static_cast<SIZE_T>(count) * sizeof(PMDL);
  ChunkSet *chunks = static_cast<ChunkSet *>(KsAllocate(setBytes, VOLUME_STORE_TAG));
  if (!chunks) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(chunks, setBytes);
  chunks->Chunks = reinterpret_cast<PMDL *>(chunks + 1);
  chunks->TotalBytes = bytes;
  Store->Chunks = chunks;

  NTSTATUS status = STATUS_SUCCESS;
  MM_ALLOCATE_NODE_PAGES_FOR_MDL_EX allocate = NodeAllocator();
  BOOLEAN nodeOnly = (MountFlags & 0x100) != 0;
  // Fresh memory must read as zeros. What an image is loaded into is
  // overwritten whole (or freed when the load fails), so only the front
  // before the data needs clearing then, and its pages are taken unzeroed.
  BOOLEAN zeroed = Store->ImageFile ? FALSE : TRUE;
  for (ULONGLONG i = 0; i < count; ++i) {
    ULONGLONG left = bytes - i * STORE_MAX_CHUNK;
    SIZE_T size = static_cast<SIZE_T>(left < STORE_MAX_CHUNK ? left : STORE_MAX_CHUNK);
    chunks->Chunks[i] = AllocateChunk(allocate, size, NumaNode, nodeOnly, zeroed);
    if (!chunks->Chunks[i]) {
      status = STATUS_INSUFFICIENT_RESOURCES;
      break;
    }
    chunks->Count++;
  }

  // The image goes straight into the pages, before they are mapped: the
  // mapping then finds them filled rather than fresh pages to clear first.
  if (NT_SUCCESS(status) && Store->ImageFile) status = StoreLoadImage(Store);

  StorePiece *tail = nullptr;
  for (ULONG i = 0; NT_SUCCESS(status) && i < chunks->Count; ++i) {
    ULONGLONG start = static_cast<ULONGLONG>(i) * STORE_MAX_CHUNK;
    status = MapChunk(Store, &tail, chunks->Chunks[i], MmGetMdlByteCount(chunks->Chunks[i]), start);
  }

  ULONGLONG clear = zeroed ? 0 : Store->DataOffset;
  for (StorePiece *piece = Store->Pieces; NT_SUCCESS(status) && piece && piece->Start < clear; piece = piece->Next) {
    StoreSystemAttach attach((piece->Flags & PIECE_USER_SPACE) != 0);
    ULONGLONG length = clear - piece->Start < piece->Length ? clear - piece->Start : piece->Length;
    RtlZeroMemory(piece->Address, static_cast<SIZE_T>(length));
  }

  if (!NT_SUCCESS(status)) StoreFreeMemory(Store);
  return status;
}

VOID StoreFreeMemory(VolumeStore *Store) {
  Store->WindowPiece = nullptr;
  Store->WindowAddress = nullptr;
  Store->WindowOffset = 0;
  Store->WindowLength = 0;
  while (StorePiece *piece = Store->Pieces) {
    Store->Pieces = piece->Next;
    Unmap(piece->Address, piece->Mdl, piece->Flags);
    if (piece->Flags & PIECE_PARTIAL_MDL) IoFreeMdl(piece->Mdl);
    KsFree(&piece);
  }
  Store->PieceCount = 0;
  Store->SmallestPiece = 0;
  if (ChunkSet *chunks = Store->Chunks) {
    for (ULONG i = 0; i < chunks->Count; ++i) FreeChunk(&chunks->Chunks[i]);
    KsFree(&Store->Chunks);
  }
}
