// Directories: entries with their long-name slots, lookup by long or short
// name, adding an entry with a unique short name, removing one, fresh
// directories with "." and "..", and the volume label in the root. Lookups,
// short-name choices and free slots go through the directory's name index
// (fat_dir_index.h) where it has one; every change of names here keeps the
// index in step, or drops it.
#include "platform/drivers/fat/fat_core.h"
#include "platform/drivers/fat/fat_dir_index.h"

namespace {

constexpr ULONG kMaxDirectoryBytes = 65536 * 32;
constexpr UCHAR kDeleted = 0xE5;

// Walks a directory's bytes, keeping the last piece read (a cluster, or
// as much of the fixed root) and where in the chain it was.
struct Cursor {
  FatVolumeCore *Core;
  ULONG Dir;
  ULONG Index;    // cluster index of Cluster
  ULONG Cluster;  // 0 until walked
  ULONG64 WindowAt;
  ULONG WindowBytes;
  BOOLEAN Loaded;
  PUCHAR Window;  // ClusterSize bytes
};

NTSTATUS OpenCursor(FatVolumeCore *Core, ULONG Dir, Cursor *c) {
  RtlZeroMemory(c, sizeof *c);
  c->Core = Core;
  c->Dir = Dir;
  c->Window = static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, Core->ClusterSize, kFatTag));
  return c->Window ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

VOID CloseCursor(Cursor *c) { ExFreePoolWithTag(c->Window, kFatTag); }

// The device offset of directory byte `Offset` and of the piece that holds
// it; STATUS_NO_MORE_FILES past the directory's end.
NTSTATUS Locate(Cursor *c, ULONG Offset, ULONG64 *At, ULONG64 *WindowAt, ULONG *WindowBytes) {
  FatVolumeCore *core = c->Core;
  ULONG cs = core->ClusterSize;
  if (c->Dir == 0) {
    if (Offset >= core->RootEntries * 32) return STATUS_NO_MORE_FILES;
    ULONG64 root = static_cast<ULONG64>(core->FirstRootSector) * core->BytesPerSector;
    ULONG rootBytes = core->RootSectors * core->BytesPerSector;
    ULONG piece = Offset - Offset % cs;
    *At = root + Offset;
    *WindowAt = root + piece;
    *WindowBytes = rootBytes - piece < cs ? rootBytes - piece : cs;
    return STATUS_SUCCESS;
  }
  if (Offset >= kMaxDirectoryBytes) return STATUS_NO_MORE_FILES;
  ULONG index = Offset / cs;
  if (!c->Cluster || c->Index > index) {
    c->Cluster = c->Dir;
    c->Index = 0;
  }
  ULONG end = core->ClusterCount + 2;
  while (c->Index < index) {
    ULONG next = FatGet(core, c->Cluster);
    if (FatIsEndOfChain(core, next)) return STATUS_NO_MORE_FILES;
    if (next < 2 || next >= end) return STATUS_FILE_CORRUPT_ERROR;
    c->Cluster = next;
    ++c->Index;
  }
  if (c->Cluster < 2 || c->Cluster >= end) return STATUS_FILE_CORRUPT_ERROR;
  *WindowAt = FatClusterOffset(core, c->Cluster);
  *WindowBytes = cs;
  *At = *WindowAt + Offset % cs;
  return STATUS_SUCCESS;
}

// The slot at `Offset` in the window, read when it is not there yet.
NTSTATUS Load(Cursor *c, ULONG Offset, PUCHAR *Slot) {
  ULONG64 at = 0, windowAt = 0;
  ULONG windowBytes = 0;
  NTSTATUS status = Locate(c, Offset, &at, &windowAt, &windowBytes);
  if (!NT_SUCCESS(status)) return status;
  if (!c->Loaded || c->WindowAt != windowAt) {
    c->Loaded = FALSE;
    status = c->Core->Device.Read(c->Core->Device.Context, windowAt, c->Window, windowBytes);
    if (!NT_SUCCESS(status)) return status;
    c->Loaded = TRUE;
    c->WindowAt = windowAt;
    c->WindowBytes = windowBytes;
  }
  *Slot = c->Window + (at - windowAt);
  return STATUS_SUCCESS;
}

NTSTATUS ReadSlot(Cursor *c, ULONG Offset, FatDirent *Slot) {
  PUCHAR at = nullptr;
  NTSTATUS status = Load(c, Offset, &at);
  if (NT_SUCCESS(status)) RtlCopyMemory(Slot, at, sizeof *Slot);
  return status;
}

// Changes one slot and writes the sector that holds it.
NTSTATUS WriteSlot(Cursor *c, ULONG Offset, const VOID *Slot) {
  PUCHAR at = nullptr;
  NTSTATUS status = Load(c, Offset, &at);
  if (!NT_SUCCESS(status)) return status;
  RtlCopyMemory(at, Slot, 32);
  ULONG bps = c->Core->BytesPerSector;
  ULONG within = static_cast<ULONG>(at - c->Window);
  ULONG sector = within - within % bps;
  status = c->Core->Device.Write(c->Core->Device.Context, c->WindowAt + sector, c->Window + sector, bps);
  if (!NT_SUCCESS(status)) c->Loaded = FALSE;
  return status;
}

// "NAME.EXT" of a short entry, lower-cased where its flags say so.
USHORT ShowShort(const FatDirent *d, WCHAR *out) {
  USHORT n = 0;
  int baseEnd = 8, extEnd = 3;
  while (baseEnd > 0 && d->Name[baseEnd - 1] == ' ') --baseEnd;
  while (extEnd > 0 && d->Name[8 + extEnd - 1] == ' ') --extEnd;
  for (int i = 0; i < baseEnd; ++i) {
    UCHAR ch = (i == 0 && d->Name[0] == 0x05) ? kDeleted : d->Name[i];
    out[n++] = FatOemToUnicode(ch, (d->CaseFlags & 0x08) != 0);
  }
  if (extEnd) {
    out[n++] = u'.';
    for (int i = 0; i < extEnd; ++i) out[n++] = FatOemToUnicode(d->Name[8 + i], (d->CaseFlags & 0x10) != 0);
  }
  return n;
}

BOOLEAN ShortChar(WCHAR c) {
  if (c >= u'A' && c <= u'Z') return TRUE;
  if (c >= u'a' && c <= u'z') return TRUE;
  if (c >= u'0' && c <= u'9') return TRUE;
  switch (c) {
    case u'$': case u'%': case u'\'': case u'-': case u'_': case u'@': case u'~': case u'`': case u'!':
    case u'(': case u')': case u'{': case u'}': case u'^': case u'#': case u'&':
      return TRUE;
    default:
      return FALSE;
  }
}

WCHAR UpAscii(WCHAR c) { return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 32) : c; }

// A part of an 8.3 name is all upper or all lower case (or has no letters).
BOOLEAN OneCase(const WCHAR *s, USHORT n, BOOLEAN *lower) {
  BOOLEAN up = FALSE, low = FALSE;
  for (USHORT i = 0; i < n; ++i) {
    if (s[i] >= u'a' && s[i] <= u'z') low = TRUE;
    if (s[i] >= u'A' && s[i] <= u'Z') up = TRUE;
  }
  *lower = low;
  return !(up && low);
}

// Whether the name is an 8.3 name as it stands: then it needs no long-name
// slots, its case kept in the entry's flags.
BOOLEAN PlainShortName(const WCHAR *name, USHORT n, UCHAR out[11], UCHAR *flags) {
  USHORT dot = n;
  for (USHORT i = 0; i < n; ++i)
    if (name[i] == u'.') {
      if (dot != n) return FALSE;
      dot = i;
    }
  USHORT baseLength = dot, extLength = dot == n ? 0 : static_cast<USHORT>(n - dot - 1);
  if (baseLength == 0 || baseLength > 8 || extLength > 3 || (dot != n && extLength == 0)) return FALSE;
  for (USHORT i = 0; i < n; ++i)
    if (i != dot && !ShortChar(name[i])) return FALSE;
  BOOLEAN lowBase = FALSE, lowExt = FALSE;
  if (!OneCase(name, baseLength, &lowBase) || !OneCase(name + dot + 1, extLength, &lowExt)) return FALSE;
  RtlFillMemory(out, 11, ' ');
  for (USHORT i = 0; i < baseLength; ++i) out[i] = static_cast<UCHAR>(UpAscii(name[i]));
  for (USHORT i = 0; i < extLength; ++i) out[8 + i] = static_cast<UCHAR>(UpAscii(name[dot + 1 + i]));
  *flags = static_cast<UCHAR>((lowBase ? 0x08 : 0) | (lowExt ? 0x10 : 0));
  return TRUE;
}

// A character of a generated short name: upper case, through the OEM code
// page; '_' for one that a short name cannot hold.
UCHAR ShortByte(WCHAR c) {
  if (ShortChar(c)) return static_cast<UCHAR>(UpAscii(c));
  if (c < 0x80) return '_';
  UCHAR oem = FatUnicodeToOem(RtlUpcaseUnicodeChar(c));
  return oem >= 0x80 ? oem : '_';
}

// The basis of a generated short name: its characters as ShortByte makes
// them, no blanks or dots but the last one.
VOID ShortBasis(const WCHAR *name, USHORT n, UCHAR base[8], USHORT *baseLength, UCHAR ext[3], USHORT *extLength) {
  USHORT lastDot = n;
  for (USHORT i = 0; i < n; ++i)
    if (name[i] == u'.') lastDot = i;
  // A name that is all dots before its last one has no extension.
  BOOLEAN leadingOnly = TRUE;
  for (USHORT i = 0; i < lastDot; ++i)
    if (name[i] != u'.') leadingOnly = FALSE;
  if (leadingOnly) lastDot = n;
  *baseLength = 0;
  *extLength = 0;
  for (USHORT i = 0; i < lastDot && *baseLength < 8; ++i) {
    WCHAR c = name[i];
    if (c == u' ' || c == u'.') continue;
    base[(*baseLength)++] = ShortByte(c);
  }
  for (USHORT i = lastDot + 1; i < n && *extLength < 3; ++i) {
    WCHAR c = name[i];
    if (c == u' ' || c == u'.') continue;
    ext[(*extLength)++] = ShortByte(c);
  }
  if (*baseLength == 0) base[(*baseLength)++] = '_';
  // 0xE5 first would read as a deleted entry.
  if (base[0] == kDeleted) base[0] = 0x05;
}

NTSTATUS ShortNameTaken(Cursor *c, const UCHAR Name[11], BOOLEAN *Taken) {
  *Taken = FALSE;
  FatDirent slot;
  for (ULONG offset = 0;; offset += 32) {
    NTSTATUS status = ReadSlot(c, offset, &slot);
    if (status == STATUS_NO_MORE_FILES) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    if (slot.Name[0] == 0) return STATUS_SUCCESS;
    if (slot.Name[0] == kDeleted || slot.Attributes == kFatAttrLongName) continue;
    if (RtlCompareMemory(slot.Name, Name, 11) == 11) {
      *Taken = TRUE;
      return STATUS_SUCCESS;
    }
  }
}

// The short names a long name may get, in order: the first six characters
// of its basis with ~1 .. ~9; then, so that a crowded folder does not give
// ever longer numbers to names alike, the first two with four hex digits
// of the long name's hash and ~1 .. ~9; then that with ~10 and on.
constexpr ULONG kQuickCandidates = 18;

VOID Candidate(const UCHAR *base, USHORT baseLength, const UCHAR *ext, USHORT extLength, USHORT hash, ULONG k,
               UCHAR out[11]) {
  UCHAR stem[8];
  USHORT stemLength = 0;
  ULONG number = k + 1;
  if (k < 9) {
    for (; stemLength < baseLength && stemLength < 6; ++stemLength) stem[stemLength] = base[stemLength];
  } else {
    number = k - 8;
    for (; stemLength < baseLength && stemLength < 2; ++stemLength) stem[stemLength] = base[stemLength];
    for (int shift = 12; shift >= 0; shift -= 4) stem[stemLength++] = "0123456789ABCDEF"[(hash >> shift) & 15];
  }
  char tail[8];
  int tailLength = 0;
  char digits[7];
  int d = 0;
  for (ULONG v = number; v; v /= 10) digits[d++] = static_cast<char>('0' + v % 10);
  tail[tailLength++] = '~';
  while (d) tail[tailLength++] = digits[--d];
  USHORT keep = stemLength < 8 - tailLength ? stemLength : static_cast<USHORT>(8 - tailLength);
  RtlFillMemory(out, 11, ' ');
  RtlCopyMemory(out, stem, keep);
  RtlCopyMemory(out + keep, tail, tailLength);
  RtlCopyMemory(out + 8, ext, extLength);
}

USHORT NameHash(const WCHAR *name, USHORT n) {
  ULONG h = 0;
  for (USHORT i = 0; i < n; ++i) h = h * 0x1003F + RtlUpcaseUnicodeChar(name[i]);
  return static_cast<USHORT>(h ^ (h >> 16));
}

NTSTATUS UniqueShortName(Cursor *c, const WCHAR *name, USHORT n, UCHAR out[11]) {
  UCHAR base[8], ext[3];
  USHORT baseLength, extLength;
  ShortBasis(name, n, base, &baseLength, ext, &extLength);
  USHORT hash = NameHash(name, n);
  UCHAR candidates[kQuickCandidates][11];
  for (ULONG k = 0; k < kQuickCandidates; ++k) Candidate(base, baseLength, ext, extLength, hash, k, candidates[k]);
  // One pass over the folder marks which of the first ones are taken.
  ULONG taken = 0;
  FatDirent slot;
  for (ULONG offset = 0;; offset += 32) {
    NTSTATUS status = ReadSlot(c, offset, &slot);
    if (status == STATUS_NO_MORE_FILES) break;
    if (!NT_SUCCESS(status)) return status;
    if (slot.Name[0] == 0) break;
    if (slot.Name[0] == kDeleted || slot.Attributes == kFatAttrLongName) continue;
    for (ULONG k = 0; k < kQuickCandidates; ++k)
      if (RtlCompareMemory(slot.Name, candidates[k], 11) == 11) taken |= 1u << k;
  }
  for (ULONG k = 0; k < kQuickCandidates; ++k) {
    if (!(taken & (1u << k))) {
      RtlCopyMemory(out, candidates[k], 11);
      return STATUS_SUCCESS;
    }
  }
  for (ULONG k = kQuickCandidates; k < 1000000; ++k) {
    Candidate(base, baseLength, ext, extLength, hash, k, out);
    BOOLEAN isTaken = FALSE;
    NTSTATUS status = ShortNameTaken(c, out, &isTaken);
    if (!NT_SUCCESS(status)) return status;
    if (!isTaken) return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_COLLISION;
}

// Appends one zeroed cluster to a directory's chain.
NTSTATUS ExtendDirectory(FatVolumeCore *Core, ULONG Dir) {
  ULONG length = 0;
  NTSTATUS status = FatChainLength(Core, Dir, &length);
  if (!NT_SUCCESS(status)) return status;
  ULONG last = Dir;
  for (ULONG i = 1; i < length; ++i) last = FatGet(Core, last);
  ULONG added = 0;
  status = FatAllocate(Core, last, 1, &added);
  if (!NT_SUCCESS(status)) return status;
  auto *zero = static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, Core->ClusterSize, kFatTag));
  if (!zero) return STATUS_INSUFFICIENT_RESOURCES;
  status = Core->Device.Write(Core->Device.Context, FatClusterOffset(Core, added), zero, Core->ClusterSize);
  ExFreePoolWithTag(zero, kFatTag);
  return status;
}

// The offset of `Count` free slots in a row, growing the directory when it
// has none. With an index the search starts at its free hint, which then
// moves to the first slot still free.
NTSTATUS FindFreeRun(Cursor *c, ULONG Count, ULONG *Start, FatDirIndex *Index = nullptr) {
  ULONG run = 0, firstFree = kFatIndexNone;
  FatDirent slot;
  for (ULONG offset = Index ? FatIndexFreeHint(Index) : 0;; offset += 32) {
    NTSTATUS status = ReadSlot(c, offset, &slot);
    if (status == STATUS_NO_MORE_FILES) {
      if (c->Dir == 0 || offset >= kMaxDirectoryBytes) return STATUS_DISK_FULL;
      status = ExtendDirectory(c->Core, c->Dir);
      if (!NT_SUCCESS(status)) return status;
      c->Loaded = FALSE;
      offset -= 32;  // read it again, now in the new cluster
      continue;
    }
    if (!NT_SUCCESS(status)) return status;
    if (slot.Name[0] == 0 || slot.Name[0] == kDeleted) {
      if (firstFree == kFatIndexNone) firstFree = offset;
      if (++run == Count) {
        *Start = offset - (Count - 1) * 32;
        if (Index) FatIndexSetFreeHint(Index, firstFree == *Start ? offset + 32 : firstFree);
        return STATUS_SUCCESS;
      }
    } else {
      run = 0;
    }
  }
}

}  // namespace

ULONG FatDirentCluster(const FatDirent *Dirent) {
  return (static_cast<ULONG>(Dirent->FirstClusterHigh) << 16) | Dirent->FirstClusterLow;
}

VOID FatSetDirentCluster(FatDirent *Dirent, ULONG Cluster) {
  Dirent->FirstClusterHigh = static_cast<USHORT>(Cluster >> 16);
  Dirent->FirstClusterLow = static_cast<USHORT>(Cluster);
}

namespace {

NTSTATUS NextEntry(Cursor *c, ULONG *Offset, FatEntry *Entry) {
  NTSTATUS status = STATUS_SUCCESS;
  // Long-name slots seen so far for the entry that follows them.
  ULONG expect = 0, slots = 0, firstSlot = 0;
  UCHAR checksum = 0;
  BOOLEAN longValid = FALSE;
  WCHAR name[kFatMaxName + 14];
  USHORT nameLength = 0;
  FatDirent slot;
  for (ULONG offset = *Offset;; offset += 32) {
    status = ReadSlot(c, offset, &slot);
    if (!NT_SUCCESS(status)) break;
    const UCHAR *raw = reinterpret_cast<const UCHAR *>(&slot);
    if (slot.Name[0] == 0) {
      status = STATUS_NO_MORE_FILES;
      *Offset = offset;
      break;
    }
    if (slot.Name[0] == kDeleted) {
      longValid = FALSE;
      continue;
    }
    if (slot.Attributes == kFatAttrLongName) {
      UCHAR order = raw[0];
      ULONG sequence = order & 0x1F;
      if (order & 0x40) {
        if (sequence == 0 || sequence > 20) {
          longValid = FALSE;
          continue;
        }
        slots = sequence;
        expect = sequence;
        checksum = raw[13];
        firstSlot = offset;
        longValid = TRUE;
        nameLength = static_cast<USHORT>(slots * 13);
      } else if (!longValid || sequence != expect || raw[13] != checksum) {
        longValid = FALSE;
        continue;
      }
      static const UCHAR kChars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
      for (int i = 0; i < 13; ++i) {
        WCHAR ch = static_cast<WCHAR>(raw[kChars[i]] | (raw[kChars[i] + 1] << 8));
        ULONG at = (sequence - 1) * 13 + i;
        name[at] = ch;
        if (ch == 0 && at < nameLength) nameLength = static_cast<USHORT>(at);
      }
      --expect;
      continue;
    }
    if (slot.Attributes & kFatAttrVolumeId) {
      longValid = FALSE;
      continue;
    }
    RtlZeroMemory(Entry, sizeof *Entry);
    Entry->Offset = offset;
    Entry->Dirent = slot;
    Entry->ShortLength = ShowShort(&slot, Entry->Short);
    if (longValid && expect == 0 && checksum == FatShortChecksum(slot.Name) && nameLength &&
        nameLength <= kFatMaxName) {
      Entry->FirstSlot = firstSlot;
      Entry->NameLength = nameLength;
      RtlCopyMemory(Entry->Name, name, nameLength * sizeof(WCHAR));
    } else {
      Entry->FirstSlot = offset;
      Entry->NameLength = Entry->ShortLength;
      RtlCopyMemory(Entry->Name, Entry->Short, Entry->ShortLength * sizeof(WCHAR));
    }
    *Offset = offset + 32;
    break;
  }
  return status;
}

}  // namespace

namespace {

// The key of a short entry's 11 bytes, apart from the keys of names.
ULONG ShortKey(const UCHAR Name[11]) {
  ULONG h = 0x811C9DC5u ^ 0x5A5A5A5Au;
  for (int i = 0; i < 11; ++i) h = (h ^ Name[i]) * 16777619u;
  return h;
}

// The keys of an entry: its name, its short name as shown (both looked up
// by FatFindEntry) and its short entry's bytes (for unique short names).
BOOLEAN IndexEntry(FatDirIndex *Index, const FatEntry *Entry) {
  ULONG slot = Entry->FirstSlot;
  if (!FatIndexAdd(Index, FatNameKey(Entry->Name, Entry->NameLength), slot)) return FALSE;
  if (!FatNamesEqual(Entry->Name, Entry->NameLength, Entry->Short, Entry->ShortLength) &&
      !FatIndexAdd(Index, FatNameKey(Entry->Short, Entry->ShortLength), slot))
    return FALSE;
  return FatIndexAdd(Index, ShortKey(Entry->Dirent.Name), slot);
}

VOID UnindexEntry(FatDirIndex *Index, const FatEntry *Entry) {
  ULONG slot = Entry->FirstSlot;
  FatIndexRemove(Index, FatNameKey(Entry->Name, Entry->NameLength), slot);
  if (!FatNamesEqual(Entry->Name, Entry->NameLength, Entry->Short, Entry->ShortLength))
    FatIndexRemove(Index, FatNameKey(Entry->Short, Entry->ShortLength), slot);
  FatIndexRemove(Index, ShortKey(Entry->Dirent.Name), slot);
}

// The directory's index, made with one walk over it when it has none;
// null without memory, and the callers walk the directory themselves.
// Scratch receives entries along the way.
FatDirIndex *IndexFor(Cursor *c, FatEntry *Scratch) {
  FatDirIndex *index = FatIndexOf(c->Core, c->Dir);
  if (index) return index;
  index = FatIndexNew(c->Core, c->Dir);
  if (!index) return nullptr;
  for (ULONG offset = 0;;) {
    NTSTATUS status = NextEntry(c, &offset, Scratch);
    if (status == STATUS_NO_MORE_FILES) return index;
    if (!NT_SUCCESS(status) || !IndexEntry(index, Scratch)) {
      FatIndexDrop(c->Core, c->Dir);
      return nullptr;
    }
  }
}

// The entries the index names for Key, read from the volume one by one:
// TRUE while there is one (in *Entry), FALSE at the end or on a failure
// (in *Status). A key whose entry has gone is passed over.
struct Hits {
  Cursor *C;
  FatDirIndex *Index;
  ULONG Key;
  ULONG Probe;
  NTSTATUS Status;
};

BOOLEAN NextHit(Hits *h, FatEntry *Entry) {
  for (;;) {
    ULONG slot = FatIndexNext(h->Index, h->Key, &h->Probe);
    if (slot == kFatIndexNone) return FALSE;
    ULONG offset = slot;
    NTSTATUS status = NextEntry(h->C, &offset, Entry);
    if (status == STATUS_NO_MORE_FILES) continue;
    if (!NT_SUCCESS(status)) {
      h->Status = status;
      return FALSE;
    }
    if (Entry->FirstSlot == slot) return TRUE;
  }
}

NTSTATUS FindIndexed(Cursor *c, FatDirIndex *Index, const WCHAR *Name, USHORT Length, FatEntry *Entry) {
  Hits hits = {c, Index, FatNameKey(Name, Length), 0, STATUS_SUCCESS};
  while (NextHit(&hits, Entry))
    if (FatNamesEqual(Entry->Name, Entry->NameLength, Name, Length) ||
        FatNamesEqual(Entry->Short, Entry->ShortLength, Name, Length))
      return STATUS_SUCCESS;
  return NT_SUCCESS(hits.Status) ? STATUS_OBJECT_NAME_NOT_FOUND : hits.Status;
}

NTSTATUS ShortTakenIndexed(Cursor *c, FatDirIndex *Index, const UCHAR Name[11], FatEntry *Scratch,
                           BOOLEAN *Taken) {
  *Taken = FALSE;
  Hits hits = {c, Index, ShortKey(Name), 0, STATUS_SUCCESS};
  while (NextHit(&hits, Scratch)) {
    if (RtlCompareMemory(Scratch->Dirent.Name, Name, 11) == 11) {
      *Taken = TRUE;
      return STATUS_SUCCESS;
    }
  }
  return hits.Status;
}

// Whether a short name is taken, through the index when there is one.
NTSTATUS ShortTaken(Cursor *c, FatDirIndex *Index, const UCHAR Name[11], FatEntry *Scratch, BOOLEAN *Taken) {
  return Index ? ShortTakenIndexed(c, Index, Name, Scratch, Taken) : ShortNameTaken(c, Name, Taken);
}

// UniqueShortName through the index: the candidates in order, each one
// looked up rather than the folder walked.
NTSTATUS UniqueShortIndexed(Cursor *c, FatDirIndex *Index, const WCHAR *name, USHORT n, FatEntry *Scratch,
                            UCHAR out[11]) {
  UCHAR base[8], ext[3];
  USHORT baseLength, extLength;
  ShortBasis(name, n, base, &baseLength, ext, &extLength);
  USHORT hash = NameHash(name, n);
  for (ULONG k = 0; k < 1000000; ++k) {
    Candidate(base, baseLength, ext, extLength, hash, k, out);
    BOOLEAN taken = FALSE;
    NTSTATUS status = ShortTakenIndexed(c, Index, out, Scratch, &taken);
    if (!NT_SUCCESS(status)) return status;
    if (!taken) return STATUS_SUCCESS;
  }
  return STATUS_OBJECT_NAME_COLLISION;
}

}  // namespace

NTSTATUS FatNextEntry(FatVolumeCore *Core, ULONG Dir, ULONG *Offset, FatEntry *Entry) {
  Cursor c;
  NTSTATUS status = OpenCursor(Core, Dir, &c);
  if (!NT_SUCCESS(status)) return status;
  status = NextEntry(&c, Offset, Entry);
  CloseCursor(&c);
  return status;
}

NTSTATUS FatFindEntry(FatVolumeCore *Core, ULONG Dir, const WCHAR *Name, USHORT Length, FatEntry *Entry) {
  Cursor c;
  NTSTATUS status = OpenCursor(Core, Dir, &c);
  if (!NT_SUCCESS(status)) return status;
  if (FatDirIndex *index = IndexFor(&c, Entry)) {
    status = FindIndexed(&c, index, Name, Length, Entry);
    CloseCursor(&c);
    return status;
  }
  for (ULONG offset = 0;;) {
    status = NextEntry(&c, &offset, Entry);
    if (status == STATUS_NO_MORE_FILES) status = STATUS_OBJECT_NAME_NOT_FOUND;
    if (!NT_SUCCESS(status)) break;
    if (FatNamesEqual(Entry->Name, Entry->NameLength, Name, Length) ||
        FatNamesEqual(Entry->Short, Entry->ShortLength, Name, Length))
      break;
  }
  CloseCursor(&c);
  return status;
}

NTSTATUS FatAddEntry(FatVolumeCore *Core, ULONG Dir, const WCHAR *Name, USHORT Length, const FatDirent *Fields,
                     FatEntry *Entry) {
  if (!FatIsValidName(Name, Length)) return STATUS_OBJECT_NAME_INVALID;
  auto *scratch = static_cast<FatEntry *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(FatEntry), kFatTag));
  if (!scratch) return STATUS_INSUFFICIENT_RESOURCES;
  Cursor c;
  NTSTATUS status = OpenCursor(Core, Dir, &c);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(scratch, kFatTag);
    return status;
  }
  FatDirIndex *index = IndexFor(&c, scratch);
  auto unique = [&](UCHAR out[11]) {
    return index ? UniqueShortIndexed(&c, index, Name, Length, scratch, out) : UniqueShortName(&c, Name, Length, out);
  };
  FatDirent dirent = *Fields;
  UCHAR flags = 0;
  BOOLEAN needsLong = !PlainShortName(Name, Length, dirent.Name, &flags);
  if (needsLong) {
    flags = 0;
    status = unique(dirent.Name);
  } else {
    // Another entry may hold the same 8.3 name as its generated short name.
    BOOLEAN taken = FALSE;
    status = ShortTaken(&c, index, dirent.Name, scratch, &taken);
    if (NT_SUCCESS(status) && taken) {
      needsLong = TRUE;
      flags = 0;
      status = unique(dirent.Name);
    }
  }
  dirent.CaseFlags = flags;
  ULONG longSlots = needsLong ? (Length + 12u) / 13u : 0;
  ULONG start = 0;
  if (NT_SUCCESS(status)) status = FindFreeRun(&c, longSlots + 1, &start, index);
  UCHAR sum = FatShortChecksum(dirent.Name);
  for (ULONG i = 0; NT_SUCCESS(status) && i < longSlots; ++i) {
    ULONG sequence = longSlots - i;  // the first slot holds the name's end
    UCHAR raw[32];
    RtlZeroMemory(raw, sizeof raw);
    raw[0] = static_cast<UCHAR>(sequence | (i == 0 ? 0x40 : 0));
    raw[11] = kFatAttrLongName;
    raw[13] = sum;
    static const UCHAR kChars[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (ULONG k = 0; k < 13; ++k) {
      ULONG at = (sequence - 1) * 13 + k;
      WCHAR ch = at < Length ? Name[at] : at == Length ? 0 : 0xFFFF;
      raw[kChars[k]] = static_cast<UCHAR>(ch);
      raw[kChars[k] + 1] = static_cast<UCHAR>(ch >> 8);
    }
    status = WriteSlot(&c, start + i * 32, raw);
  }
  if (NT_SUCCESS(status)) status = WriteSlot(&c, start + longSlots * 32, &dirent);
  if (NT_SUCCESS(status)) {
    FatEntry *made = Entry ? Entry : scratch;
    RtlZeroMemory(made, sizeof *made);
    made->FirstSlot = start;
    made->Offset = start + longSlots * 32;
    made->Dirent = dirent;
    made->ShortLength = ShowShort(&dirent, made->Short);
    made->NameLength = Length;
    RtlCopyMemory(made->Name, Name, Length * sizeof(WCHAR));
    if (index && !IndexEntry(index, made)) FatIndexDrop(Core, Dir);
  } else if (index) {
    // Slots may have been written, or the hint moved, before the failure.
    FatIndexDrop(Core, Dir);
  }
  CloseCursor(&c);
  ExFreePoolWithTag(scratch, kFatTag);
  return status;
}

NTSTATUS FatRemoveEntry(FatVolumeCore *Core, ULONG Dir, const FatEntry *Entry) {
  Cursor c;
  NTSTATUS status = OpenCursor(Core, Dir, &c);
  if (!NT_SUCCESS(status)) return status;
  FatDirent slot;
  for (ULONG offset = Entry->FirstSlot; NT_SUCCESS(status) && offset <= Entry->Offset; offset += 32) {
    status = ReadSlot(&c, offset, &slot);
    if (!NT_SUCCESS(status)) break;
    slot.Name[0] = kDeleted;
    status = WriteSlot(&c, offset, &slot);
  }
  CloseCursor(&c);
  if (FatDirIndex *index = FatIndexOf(Core, Dir)) {
    if (NT_SUCCESS(status)) {
      UnindexEntry(index, Entry);
      if (Entry->FirstSlot < FatIndexFreeHint(index)) FatIndexSetFreeHint(index, Entry->FirstSlot);
    } else {
      FatIndexDrop(Core, Dir);
    }
  }
  // A folder's clusters are free once it is gone, and may hold another
  // folder next: what was known of this one must not be taken for that.
  if ((Entry->Dirent.Attributes & kFatAttrDirectory) && FatDirentCluster(&Entry->Dirent))
    FatIndexDrop(Core, FatDirentCluster(&Entry->Dirent));
  return status;
}

NTSTATUS FatWriteDirent(FatVolumeCore *Core, ULONG Dir, ULONG Offset, const FatDirent *Dirent) {
  Cursor c;
  NTSTATUS status = OpenCursor(Core, Dir, &c);
  if (!NT_SUCCESS(status)) return status;
  // A new short name is a change of names the index cannot follow.
  if (FatIndexOf(Core, Dir)) {
    FatDirent old;
    status = ReadSlot(&c, Offset, &old);
    if (!NT_SUCCESS(status) || RtlCompareMemory(old.Name, Dirent->Name, 11) != 11) FatIndexDrop(Core, Dir);
  }
  status = WriteSlot(&c, Offset, Dirent);
  CloseCursor(&c);
  return status;
}

NTSTATUS FatDirectoryIsEmpty(FatVolumeCore *Core, ULONG Dir, BOOLEAN *Empty) {
  *Empty = TRUE;
  ULONG offset = 0;
  FatEntry *entry = static_cast<FatEntry *>(ExAllocatePool2(POOL_FLAG_NON_PAGED, sizeof(FatEntry), kFatTag));
  if (!entry) return STATUS_INSUFFICIENT_RESOURCES;
  Cursor c;
  NTSTATUS status = OpenCursor(Core, Dir, &c);
  if (!NT_SUCCESS(status)) {
    ExFreePoolWithTag(entry, kFatTag);
    return status;
  }
  for (;;) {
    status = NextEntry(&c, &offset, entry);
    if (status == STATUS_NO_MORE_FILES) {
      status = STATUS_SUCCESS;
      break;
    }
    if (!NT_SUCCESS(status)) break;
    if (entry->Dirent.Name[0] == '.') continue;
    *Empty = FALSE;
    break;
  }
  CloseCursor(&c);
  ExFreePoolWithTag(entry, kFatTag);
  return status;
}

NTSTATUS FatMakeDirectory(FatVolumeCore *Core, ULONG Parent, const FatDirent *Fields, ULONG *First) {
  ULONG cluster = 0;
  NTSTATUS status = FatAllocate(Core, 0, 1, &cluster);
  if (!NT_SUCCESS(status)) return status;
  FatIndexDrop(Core, cluster);
  auto *data = static_cast<PUCHAR>(ExAllocatePool2(POOL_FLAG_NON_PAGED, Core->ClusterSize, kFatTag));
  if (!data) {
    FatFreeChain(Core, cluster);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  FatDirent dot = *Fields;
  dot.Attributes = kFatAttrDirectory;
  dot.CaseFlags = 0;
  dot.FileSize = 0;
  RtlFillMemory(dot.Name, 11, ' ');
  dot.Name[0] = '.';
  FatSetDirentCluster(&dot, cluster);
  RtlCopyMemory(data, &dot, 32);
  dot.Name[1] = '.';
  // ".." of a folder in the root names cluster 0, on FAT32 too.
  FatSetDirentCluster(&dot, Parent == Core->RootCluster ? 0 : Parent);
  RtlCopyMemory(data + 32, &dot, 32);
  status = Core->Device.Write(Core->Device.Context, FatClusterOffset(Core, cluster), data, Core->ClusterSize);
  ExFreePoolWithTag(data, kFatTag);
  if (!NT_SUCCESS(status)) {
    FatFreeChain(Core, cluster);
    return status;
  }
  *First = cluster;
  return STATUS_SUCCESS;
}

namespace {

NTSTATUS FindLabelSlot(Cursor *c, ULONG *Offset, FatDirent *Slot, BOOLEAN *Found) {
  *Found = FALSE;
  for (ULONG offset = 0;; offset += 32) {
    NTSTATUS status = ReadSlot(c, offset, Slot);
    if (status == STATUS_NO_MORE_FILES) return STATUS_SUCCESS;
    if (!NT_SUCCESS(status)) return status;
    if (Slot->Name[0] == 0) return STATUS_SUCCESS;
    if (Slot->Name[0] == kDeleted || Slot->Attributes == kFatAttrLongName) continue;
    if (Slot->Attributes & kFatAttrVolumeId) {
      *Offset = offset;
      *Found = TRUE;
      return STATUS_SUCCESS;
    }
  }
}

}  // namespace

NTSTATUS FatReadLabel(FatVolumeCore *Core, UCHAR Label[11], BOOLEAN *Found) {
  Cursor c;
  NTSTATUS status = OpenCursor(Core, Core->FatBits == 32 ? Core->RootCluster : 0, &c);
  if (!NT_SUCCESS(status)) return status;
  ULONG offset = 0;
  FatDirent slot;
  status = FindLabelSlot(&c, &offset, &slot, Found);
  if (NT_SUCCESS(status) && *Found) RtlCopyMemory(Label, slot.Name, 11);
  CloseCursor(&c);
  return status;
}

NTSTATUS FatWriteLabel(FatVolumeCore *Core, const UCHAR Label[11]) {
  // The label takes or frees a slot behind the index's back.
  FatIndexDrop(Core, Core->FatBits == 32 ? Core->RootCluster : 0);
  Cursor c;
  NTSTATUS status = OpenCursor(Core, Core->FatBits == 32 ? Core->RootCluster : 0, &c);
  if (!NT_SUCCESS(status)) return status;
  ULONG offset = 0;
  FatDirent slot;
  BOOLEAN found = FALSE;
  BOOLEAN empty = TRUE;
  for (int i = 0; i < 11; ++i)
    if (Label[i] != ' ') empty = FALSE;
  status = FindLabelSlot(&c, &offset, &slot, &found);
  if (NT_SUCCESS(status)) {
    if (empty) {
      if (found) {
        slot.Name[0] = kDeleted;
        status = WriteSlot(&c, offset, &slot);
      }
    } else {
      if (!found) {
        RtlZeroMemory(&slot, sizeof slot);
        slot.Attributes = kFatAttrVolumeId;
        status = FindFreeRun(&c, 1, &offset);
      }
      if (NT_SUCCESS(status)) {
        RtlCopyMemory(slot.Name, Label, 11);
        FatStampNow(&slot, FALSE);
        status = WriteSlot(&c, offset, &slot);
      }
    }
  }
  CloseCursor(&c);
  return status;
}
