// The boot sector and the allocation table: recognition, geometry, the
// table kept in memory and written back sector by sector, free-space
// accounting and the FAT32 FSInfo sector.
#include "platform/drivers/fat/fat_core.h"
#include "platform/drivers/fat/fat_dir_index.h"

namespace {

USHORT Le16(const UCHAR *p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }
ULONG Le32(const UCHAR *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<ULONG>(p[3]) << 24); }
VOID Put32(UCHAR *p, ULONG v) {
  p[0] = static_cast<UCHAR>(v);
  p[1] = static_cast<UCHAR>(v >> 8);
  p[2] = static_cast<UCHAR>(v >> 16);
  p[3] = static_cast<UCHAR>(v >> 24);
}

BOOLEAN PowerOfTwo(ULONG v) { return v && !(v & (v - 1)); }

}  // namespace

ULONG FatEndOfChain(const FatVolumeCore *Core) {
  return Core->FatBits == 12 ? 0xFFF : Core->FatBits == 16 ? 0xFFFF : 0x0FFFFFFF;
}

namespace {

VOID MarkDirty(FatVolumeCore *Core, ULONG ByteOffset) {
  ULONG sector = ByteOffset / Core->BytesPerSector;
  if (sector < Core->FatSectors) Core->DirtySectors[sector] = 1;
}

}  // namespace

NTSTATUS FatParseBootSector(const UCHAR *b, ULONG Length, FatVolumeCore *Core) {
  if (Length < 512) return STATUS_UNRECOGNIZED_VOLUME;
  if (!((b[0] == 0xEB && b[2] == 0x90) || b[0] == 0xE9)) return STATUS_UNRECOGNIZED_VOLUME;
  if (b[510] != 0x55 || b[511] != 0xAA) return STATUS_UNRECOGNIZED_VOLUME;
  ULONG bps = Le16(b + 11), spc = b[13], reserved = Le16(b + 14), fats = b[16];
  ULONG rootEntries = Le16(b + 17), total16 = Le16(b + 19), fat16 = Le16(b + 22);
  ULONG total32 = Le32(b + 32), fat32 = Le32(b + 36);
  UCHAR media = b[21];
  if (bps < 512 || bps > 4096 || !PowerOfTwo(bps)) return STATUS_UNRECOGNIZED_VOLUME;
  if (!PowerOfTwo(spc) || spc > 128 || bps * spc > 256 * 1024) return STATUS_UNRECOGNIZED_VOLUME;
  if (fats < 1 || fats > 2 || reserved == 0) return STATUS_UNRECOGNIZED_VOLUME;
  if (media != 0xF0 && media < 0xF8) return STATUS_UNRECOGNIZED_VOLUME;
  RtlZeroMemory(Core, sizeof(FatVolumeCore));
  Core->BytesPerSector = bps;
  Core->SectorsPerCluster = spc;
  Core->ClusterSize = bps * spc;
  Core->ReservedSectors = reserved;
  Core->FatCount = fats;
  Core->Media = media;
  Core->TotalSectors = total16 ? total16 : total32;
  Core->Mirrored = TRUE;
  const BOOLEAN isFat32 = fat16 == 0;
  Core->FatSectors = isFat32 ? fat32 : fat16;
  if (Core->FatSectors == 0 || Core->TotalSectors == 0) return STATUS_UNRECOGNIZED_VOLUME;
  if (isFat32) {
    if (rootEntries != 0) return STATUS_UNRECOGNIZED_VOLUME;
    Core->FatBits = 32;
    Core->RootCluster = Le32(b + 44);
    Core->FsInfoSector = Le16(b + 48);
    if (Core->FsInfoSector == 0 || Core->FsInfoSector == 0xFFFF || Core->FsInfoSector >= reserved)
      Core->FsInfoSector = 0;
    USHORT flags = Le16(b + 40);
    if (flags & 0x80) {
      Core->Mirrored = FALSE;
      Core->ActiveFat = flags & 0x0F;
      if (Core->ActiveFat >= fats) return STATUS_UNRECOGNIZED_VOLUME;
    }
    Core->FirstDataSector = reserved + fats * Core->FatSectors;
    if (b[66] == 0x29) {
      Core->Serial = Le32(b + 67);
      RtlCopyMemory(Core->BootLabel, b + 71, 11);
    }
  } else {
    if (rootEntries == 0) return STATUS_UNRECOGNIZED_VOLUME;
    Core->RootEntries = rootEntries;
    Core->FirstRootSector = reserved + fats * Core->FatSectors;
    Core->RootSectors = (rootEntries * 32 + bps - 1) / bps;
    Core->FirstDataSector = Core->FirstRootSector + Core->RootSectors;
    if (b[38] == 0x29) {
      Core->Serial = Le32(b + 39);
      RtlCopyMemory(Core->BootLabel, b + 43, 11);
    }
  }
  if (Core->FirstDataSector >= Core->TotalSectors) return STATUS_UNRECOGNIZED_VOLUME;
  Core->ClusterCount = (Core->TotalSectors - Core->FirstDataSector) / spc;
  if (!isFat32) Core->FatBits = Core->ClusterCount < 4085 ? 12 : 16;
  // The table must hold an entry for every cluster.
  ULONG64 entries = static_cast<ULONG64>(Core->FatSectors) * bps * 8 / Core->FatBits;
  if (entries < static_cast<ULONG64>(Core->ClusterCount) + 2) {
    if (entries < 3) return STATUS_UNRECOGNIZED_VOLUME;
    Core->ClusterCount = static_cast<ULONG>(entries - 2);
  }
  if (Core->ClusterCount == 0) return STATUS_UNRECOGNIZED_VOLUME;
  if (isFat32 && (Core->RootCluster < 2 || Core->RootCluster >= Core->ClusterCount + 2))
    return STATUS_UNRECOGNIZED_VOLUME;
  return STATUS_SUCCESS;
}

NTSTATUS FatMount(FatVolumeCore *Core, const FatBlockDevice *Device) {
  UCHAR *sector = static_cast<UCHAR *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, 4096, kFatTag));
  if (!sector) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = Device->Read(Device->Context, 0, sector, 512);
  if (NT_SUCCESS(status)) status = FatParseBootSector(sector, 512, Core);
  else status = STATUS_UNRECOGNIZED_VOLUME;
  Core->Device = *Device;
  ULONG tableBytes = Core->FatSectors * Core->BytesPerSector;
  if (NT_SUCCESS(status)) {
    Core->Fat = static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, tableBytes, kFatTag));
    Core->DirtySectors = static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, Core->FatSectors, kFatTag));
    if (!Core->Fat || !Core->DirtySectors) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    ULONG64 at = static_cast<ULONG64>(Core->ReservedSectors + Core->ActiveFat * Core->FatSectors) *
                 Core->BytesPerSector;
    // In pieces: a device need not take the whole table at once.
    for (ULONG done = 0; NT_SUCCESS(status) && done < tableBytes;) {
      ULONG piece = tableBytes - done < 65536 ? tableBytes - done : 65536;
      status = Device->Read(Device->Context, at + done, Core->Fat + done, piece);
      done += piece;
    }
  }
  if (NT_SUCCESS(status)) {
    Core->NextFree = 2;
    for (ULONG c = 2; c < Core->ClusterCount + 2; ++c)
      if (FatGet(Core, c) == 0) ++Core->FreeClusters;
  }
  ExFreePoolWithTag(sector, kFatTag);
  if (!NT_SUCCESS(status)) FatRelease(Core);
  return status;
}

VOID FatRelease(FatVolumeCore *Core) {
  FatIndexDropAll(Core);
  if (Core->Fat) ExFreePoolWithTag(Core->Fat, kFatTag);
  if (Core->DirtySectors) ExFreePoolWithTag(Core->DirtySectors, kFatTag);
  Core->Fat = nullptr;
  Core->DirtySectors = nullptr;
}

NTSTATUS FatSetBootLabel(FatVolumeCore *Core, const UCHAR Label[11]) {
  ULONG bps = Core->BytesPerSector;
  UCHAR *sector = static_cast<UCHAR *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, bps, kFatTag));
  if (!sector) return STATUS_INSUFFICIENT_RESOURCES;
  // The backup boot sector of FAT32 says the same.
  ULONG copies[2] = {0, 0};
  ULONG count = 1;
  if (Core->FatBits == 32) {
    NTSTATUS s = Core->Device.Read(Core->Device.Context, 0, sector, bps);
    if (NT_SUCCESS(s)) {
      USHORT backup = Le16(sector + 50);
      if (backup && backup < Core->ReservedSectors) copies[count++] = backup;
    }
  }
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
    ULONG64 at = static_cast<ULONG64>(copies[i]) * bps;
    status = Core->Device.Read(Core->Device.Context, at, sector, bps);
    ULONG signature = Core->FatBits == 32 ? 66 : 38;
    if (NT_SUCCESS(status) && sector[signature] == 0x29) {
      RtlCopyMemory(sector + signature + 5, Label, 11);
      status = Core->Device.Write(Core->Device.Context, at, sector, bps);
    }
  }
  if (NT_SUCCESS(status)) RtlCopyMemory(Core->BootLabel, Label, 11);
  ExFreePoolWithTag(sector, kFatTag);
  return status;
}

VOID FatSetEntry(FatVolumeCore *Core, ULONG Cluster, ULONG Value) {
  // Taking a free cluster, or linking one onto a chain's end, leaves every
  // chain's existing links as they were; anything else may not.
  ULONG old = FatGet(Core, Cluster);
  if (old != 0 && !(FatIsEndOfChain(Core, old) && Value != 0)) Core->WalkFirst = 0;
  PUCHAR fat = Core->Fat;
  if (Core->FatBits == 12) {
    ULONG at = Cluster + Cluster / 2;
    USHORT old = Le16(fat + at);
    USHORT v = (Cluster & 1) ? static_cast<USHORT>((old & 0x000F) | (Value << 4))
                             : static_cast<USHORT>((old & 0xF000) | (Value & 0x0FFF));
    fat[at] = static_cast<UCHAR>(v);
    fat[at + 1] = static_cast<UCHAR>(v >> 8);
    MarkDirty(Core, at);
    MarkDirty(Core, at + 1);
  } else if (Core->FatBits == 16) {
    fat[Cluster * 2] = static_cast<UCHAR>(Value);
    fat[Cluster * 2 + 1] = static_cast<UCHAR>(Value >> 8);
    MarkDirty(Core, Cluster * 2);
  } else {
    // The top four bits are reserved: they keep what they held.
    ULONG old = Le32(fat + Cluster * 4);
    Put32(fat + Cluster * 4, (old & 0xF0000000) | (Value & 0x0FFFFFFF));
    MarkDirty(Core, Cluster * 4);
  }
}

ULONG FatGet(const FatVolumeCore *Core, ULONG Cluster) {
  const UCHAR *fat = Core->Fat;
  if (Core->FatBits == 12) {
    USHORT v = Le16(fat + Cluster + Cluster / 2);
    return (Cluster & 1) ? v >> 4 : v & 0x0FFF;
  }
  if (Core->FatBits == 16) return Le16(fat + Cluster * 2);
  return Le32(fat + Cluster * 4) & 0x0FFFFFFF;
}

BOOLEAN FatIsEndOfChain(const FatVolumeCore *Core, ULONG Value) {
  return Value >= (FatEndOfChain(Core) & ~7u);
}

NTSTATUS FatFlushTable(FatVolumeCore *Core) {
  ULONG bps = Core->BytesPerSector;
  NTSTATUS status = STATUS_SUCCESS;
  for (ULONG s = 0; s < Core->FatSectors && NT_SUCCESS(status); ++s) {
    if (!Core->DirtySectors[s]) continue;
    for (ULONG copy = 0; copy < Core->FatCount && NT_SUCCESS(status); ++copy) {
      if (!Core->Mirrored && copy != Core->ActiveFat) continue;
      ULONG64 at = (static_cast<ULONG64>(Core->ReservedSectors) + copy * Core->FatSectors + s) * bps;
      status = Core->Device.Write(Core->Device.Context, at, Core->Fat + s * bps, bps);
    }
    if (NT_SUCCESS(status)) Core->DirtySectors[s] = 0;
  }
  if (NT_SUCCESS(status) && Core->FsInfoDirty && Core->FsInfoSector) {
    UCHAR *sector = static_cast<UCHAR *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, bps, kFatTag));
    if (!sector) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG64 at = static_cast<ULONG64>(Core->FsInfoSector) * bps;
    status = Core->Device.Read(Core->Device.Context, at, sector, bps);
    if (NT_SUCCESS(status) && Le32(sector) == 0x41615252 && Le32(sector + 484) == 0x61417272) {
      Put32(sector + 488, Core->FreeClusters);
      Put32(sector + 492, Core->NextFree);
      status = Core->Device.Write(Core->Device.Context, at, sector, bps);
    }
    ExFreePoolWithTag(sector, kFatTag);
  }
  if (NT_SUCCESS(status)) Core->FsInfoDirty = FALSE;
  return status;
}

NTSTATUS FatAllocate(FatVolumeCore *Core, ULONG Last, ULONG Count, ULONG *First) {
  *First = 0;
  if (Count == 0) return STATUS_SUCCESS;
  if (Count > Core->FreeClusters) return STATUS_DISK_FULL;
  ULONG end = Core->ClusterCount + 2;
  ULONG c = Core->NextFree >= 2 && Core->NextFree < end ? Core->NextFree : 2;
  ULONG previous = Last;
  for (ULONG got = 0; got < Count;) {
    if (FatGet(Core, c) == 0) {
      FatSetEntry(Core, c, FatEndOfChain(Core));
      if (previous) FatSetEntry(Core, previous, c);
      if (!*First) *First = c;
      previous = c;
      ++got;
      --Core->FreeClusters;
    }
    if (++c == end) c = 2;
  }
  Core->NextFree = c;
  Core->FsInfoDirty = TRUE;
  return STATUS_SUCCESS;
}

VOID FatFreeChain(FatVolumeCore *Core, ULONG First) {
  ULONG end = Core->ClusterCount + 2;
  // Bounded by the cluster count: a looping chain ends too.
  for (ULONG c = First, n = 0; c >= 2 && c < end && n < Core->ClusterCount; ++n) {
    ULONG next = FatGet(Core, c);
    if (next == 0) break;
    FatSetEntry(Core, c, 0);
    ++Core->FreeClusters;
    c = next;
  }
  Core->FsInfoDirty = TRUE;
}

NTSTATUS FatChainLength(const FatVolumeCore *Core, ULONG First, ULONG *Length) {
  *Length = 0;
  ULONG end = Core->ClusterCount + 2;
  ULONG c = First;
  // Counting on from where the chain's last transfer ended.
  if (First && Core->WalkFirst == First && Core->WalkCluster >= 2 && Core->WalkCluster < end) {
    *Length = Core->WalkIndex;
    c = Core->WalkCluster;
  }
  for (; c != 0;) {
    if (c < 2 || c >= end || *Length >= Core->ClusterCount) return STATUS_FILE_CORRUPT_ERROR;
    ++*Length;
    ULONG next = FatGet(Core, c);
    if (FatIsEndOfChain(Core, next)) break;
    c = next;
  }
  return STATUS_SUCCESS;
}

ULONG64 FatClusterOffset(const FatVolumeCore *Core, ULONG Cluster) {
  return (static_cast<ULONG64>(Core->FirstDataSector) +
          static_cast<ULONG64>(Cluster - 2) * Core->SectorsPerCluster) *
         Core->BytesPerSector;
}
