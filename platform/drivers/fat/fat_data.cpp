// File data by cluster chains: reads and writes at any byte offset (runs
// of whole sectors straight to the device, the rest through a bounce
// buffer), and growing or cutting a chain to a size.
#include "platform/drivers/fat/fat_core.h"

namespace {

// The cluster of a chain that holds byte `Offset`, walking from First, or
// from where the last transfer of the same chain ended.
NTSTATUS ClusterAt(const FatVolumeCore *Core, ULONG First, ULONG64 Offset, ULONG *Cluster) {
  ULONG64 index = Offset / Core->ClusterSize;
  ULONG end = Core->ClusterCount + 2;
  ULONG c = First;
  ULONG64 i = 0;
  if (Core->WalkFirst == First && First && Core->WalkIndex <= index) {
    i = Core->WalkIndex;
    c = Core->WalkCluster;
  }
  for (;; ++i) {
    if (c < 2 || c >= end) return STATUS_FILE_CORRUPT_ERROR;
    if (i == index) break;
    c = FatGet(Core, c);
  }
  *Cluster = c;
  return STATUS_SUCCESS;
}

NTSTATUS Transfer(FatVolumeCore *Core, ULONG First, ULONG64 Offset, PUCHAR Buffer, ULONG Length, BOOLEAN Write,
                  BOOLEAN Zero) {
  if (Length == 0) return STATUS_SUCCESS;
  ULONG cluster = 0;
  NTSTATUS status = ClusterAt(Core, First, Offset, &cluster);
  if (!NT_SUCCESS(status)) return status;
  ULONG cs = Core->ClusterSize, bps = Core->BytesPerSector;
  auto *bounce = static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, cs, kFatTag));
  if (!bounce) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG done = 0;
  ULONG within = static_cast<ULONG>(Offset % cs);
  ULONG end = Core->ClusterCount + 2;
  ULONG64 index = Offset / cs;
  while (NT_SUCCESS(status) && done < Length) {
    if (cluster < 2 || cluster >= end) {
      status = STATUS_FILE_CORRUPT_ERROR;
      break;
    }
    ULONG piece = cs - within < Length - done ? cs - within : Length - done;
    if (!Zero && within % bps == 0 && piece % bps == 0) {
      // Whole sectors of clusters that follow each other on the volume go
      // in one request, straight from or into the caller's buffer.
      ULONG run = piece, last = cluster;
      for (;;) {
        ULONG remaining = Length - done - run;
        if (remaining == 0) break;
        ULONG next = FatGet(Core, last);
        ULONG add = remaining < cs ? remaining : cs;
        if (next != last + 1 || next >= end || add % bps) break;
        last = next;
        run += add;
        ++index;
      }
      ULONG64 at = FatClusterOffset(Core, cluster) + within;
      status = Write ? Core->Device.Write(Core->Device.Context, at, Buffer + done, run)
                     : Core->Device.Read(Core->Device.Context, at, Buffer + done, run);
      done += run;
      within = 0;
      cluster = last;
      if (done < Length) {
        cluster = FatGet(Core, last);
        ++index;
      }
      continue;
    }
    ULONG firstSector = within / bps;
    ULONG lastSector = (within + piece + bps - 1) / bps;
    ULONG bytes = (lastSector - firstSector) * bps;
    ULONG64 at = FatClusterOffset(Core, cluster) + static_cast<ULONG64>(firstSector) * bps;
    PUCHAR part = bounce + firstSector * bps;
    BOOLEAN whole = (within % bps) == 0 && (piece % bps) == 0;
    if (!Write || !whole) status = Core->Device.Read(Core->Device.Context, at, part, bytes);
    if (NT_SUCCESS(status)) {
      if (!Write) {
        RtlCopyMemory(Buffer + done, bounce + within, piece);
      } else {
        if (Zero)
          RtlZeroMemory(bounce + within, piece);
        else
          RtlCopyMemory(bounce + within, Buffer + done, piece);
        status = Core->Device.Write(Core->Device.Context, at, part, bytes);
      }
    }
    done += piece;
    within = 0;
    if (done < Length) {
      cluster = FatGet(Core, cluster);
      ++index;
    }
  }
  ExFreePoolWithTag(bounce, kFatTag);
  if (NT_SUCCESS(status) && cluster >= 2 && cluster < end) {
    Core->WalkFirst = First;
    Core->WalkIndex = static_cast<ULONG>(index);
    Core->WalkCluster = cluster;
  }
  return status;
}

}  // namespace

NTSTATUS FatReadData(FatVolumeCore *Core, ULONG First, ULONG64 Offset, PVOID Buffer, ULONG Length) {
  return Transfer(Core, First, Offset, static_cast<PUCHAR>(Buffer), Length, FALSE, FALSE);
}

NTSTATUS FatWriteData(FatVolumeCore *Core, ULONG First, ULONG64 Offset, const VOID *Buffer, ULONG Length) {
  return Transfer(Core, First, Offset, static_cast<PUCHAR>(const_cast<PVOID>(Buffer)), Length, TRUE, FALSE);
}

NTSTATUS FatResize(FatVolumeCore *Core, ULONG *First, ULONG OldSize, ULONG64 Size, ULONG64 WrittenFrom) {
  if (Size > kFatMaxFileSize) return STATUS_FILE_TOO_LARGE;
  ULONG cs = Core->ClusterSize;
  ULONG have = 0;
  NTSTATUS status = FatChainLength(Core, *First, &have);
  if (!NT_SUCCESS(status)) return status;
  ULONG need = static_cast<ULONG>((Size + cs - 1) / cs);
  if (need > have) {
    ULONG last = 0;
    if (have) {
      status = ClusterAt(Core, *First, static_cast<ULONG64>(have - 1) * cs, &last);
      if (!NT_SUCCESS(status)) return status;
    }
    ULONG added = 0;
    status = FatAllocate(Core, last, need - have, &added);
    if (!NT_SUCCESS(status)) return status;
    if (!*First) *First = added;
  } else if (need < have) {
    if (need == 0) {
      FatFreeChain(Core, *First);
      *First = 0;
    } else {
      ULONG keep = 0;
      status = ClusterAt(Core, *First, static_cast<ULONG64>(need - 1) * cs, &keep);
      if (!NT_SUCCESS(status)) return status;
      ULONG rest = FatGet(Core, keep);
      // Ends the chain here before freeing the rest of it.
      FatSetEntry(Core, keep, FatEndOfChain(Core));
      if (!FatIsEndOfChain(Core, rest)) FatFreeChain(Core, rest);
    }
  }
  // What the file grows into reads as zeros, whatever the clusters held.
  ULONG64 zeroTo = Size < WrittenFrom ? Size : WrittenFrom;
  if (NT_SUCCESS(status) && zeroTo > OldSize) {
    ULONG64 from = OldSize;
    while (NT_SUCCESS(status) && from < zeroTo) {
      ULONG64 chunk = zeroTo - from < 0x100000 ? zeroTo - from : 0x100000;
      status = Transfer(Core, *First, from, nullptr, static_cast<ULONG>(chunk), TRUE, TRUE);
      from += chunk;
    }
  }
  return status;
}
