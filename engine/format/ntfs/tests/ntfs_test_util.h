// Reading back what the NTFS formatter wrote: records with their fixups
// undone, attributes, runs and index entries.
#pragma once

#include "engine/format/formatters.h"
#include "engine/format/tests/support/format_test_util.h"
#include "engine/format/tests/support/memory_format_store.h"
#include "engine/format/ntfs/ntfs_geometry.h"

#include <cstdint>
#include <string>
#include <vector>

namespace ntfs_test {

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;
constexpr uint64_t GiB = 1024 * MiB;
constexpr uint64_t TiB = 1024 * GiB;

inline uint64_t Le(const std::vector<uint8_t> &b, size_t at, size_t bytes) {
  uint64_t v = 0;
  for (size_t i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(b.at(at + i)) << (8 * i);
  return v;
}
inline uint16_t U16(const std::vector<uint8_t> &b, size_t at) {
  return static_cast<uint16_t>(Le(b, at, 2));
}
inline uint32_t U32(const std::vector<uint8_t> &b, size_t at) {
  return static_cast<uint32_t>(Le(b, at, 4));
}
inline uint64_t U64(const std::vector<uint8_t> &b, size_t at) {
  return Le(b, at, 8);
}
inline std::vector<uint8_t> Slice(const std::vector<uint8_t> &b, size_t at, size_t n) {
  return std::vector<uint8_t>(b.begin() + at, b.begin() + at + n);
}
// UTF-16LE bytes to text (the names here are all ASCII).
inline std::string Utf16(const std::vector<uint8_t> &b, size_t at, size_t chars) {
  std::string s;
  for (size_t i = 0; i < chars; ++i) s += static_cast<char>(U16(b, at + 2 * i));
  return s;
}

// Undoes the update-sequence protection of a structure; false when a stride
// end does not hold the sequence number.
inline bool Unprotect(std::vector<uint8_t> &b, size_t usaOffset, size_t strides) {
  uint16_t usn = U16(b, usaOffset);
  for (size_t j = 1; j <= strides; ++j) {
    size_t end = 512 * j - 2;
    if (U16(b, end) != usn) return false;
    b[end] = b[usaOffset + 2 * j];
    b[end + 1] = b[usaOffset + 2 * j + 1];
  }
  return true;
}

struct Attribute {
  size_t offset = 0;  // within the record
  uint32_t type = 0;
  uint32_t length = 0;
  bool nonResident = false;
  std::string name;
  uint16_t nameOffset = 0;
  uint16_t id = 0;
  // Resident.
  std::vector<uint8_t> value;
  uint16_t valueOffset = 0;
  uint8_t indexed = 0;
  // Non-resident.
  uint64_t lastVcn = 0, allocated = 0, dataSize = 0, initialized = 0;
  uint16_t runOffset = 0;
  std::vector<uint8_t> runs;  // the run list up to and with its terminator
};

struct Record {
  std::vector<uint8_t> raw;   // as on the volume
  std::vector<uint8_t> data;  // fixups undone
  bool fixupsValid = false;
  uint16_t sequence = 0, links = 0, flags = 0, nextId = 0;
  uint32_t number = 0, bytesInUse = 0;
  bool endFound = false;
  size_t endOffset = 0;
  std::vector<Attribute> attributes;

  const Attribute *Find(uint32_t type, const std::string &name = "") const {
    for (const Attribute &a : attributes)
      if (a.type == type && a.name == name) return &a;
    return nullptr;
  }
};

inline Record ParseRecord(std::vector<uint8_t> raw) {
  Record r;
  r.raw = raw;
  r.data = raw;
  r.fixupsValid = Unprotect(r.data, 48, 2);
  const std::vector<uint8_t> &d = r.data;
  r.sequence = U16(d, 16);
  r.links = U16(d, 18);
  r.flags = U16(d, 22);
  r.bytesInUse = U32(d, 24);
  r.nextId = U16(d, 40);
  r.number = U32(d, 44);
  size_t at = U16(d, 20);
  while (at + 4 <= d.size()) {
    uint32_t type = U32(d, at);
    if (type == 0xFFFFFFFF) {
      r.endFound = true;
      r.endOffset = at;
      break;
    }
    Attribute a;
    a.offset = at;
    a.type = type;
    a.length = U32(d, at + 4);
    if (a.length < 24 || at + a.length > d.size()) break;
    a.nonResident = d[at + 8] != 0;
    uint8_t nameChars = d[at + 9];
    a.nameOffset = U16(d, at + 10);
    a.name = Utf16(d, at + a.nameOffset, nameChars);
    a.id = U16(d, at + 14);
    if (!a.nonResident) {
      uint32_t valueLength = U32(d, at + 16);
      a.valueOffset = U16(d, at + 20);
      a.indexed = d[at + 22];
      a.value = Slice(d, at + a.valueOffset, valueLength);
    } else {
      a.lastVcn = U64(d, at + 24);
      a.runOffset = U16(d, at + 32);
      a.allocated = U64(d, at + 40);
      a.dataSize = U64(d, at + 48);
      a.initialized = U64(d, at + 56);
      size_t p = at + a.runOffset;
      while (p < at + a.length) {
        uint8_t header = d[p];
        size_t n = 1 + (header & 15) + (header >> 4);
        if (header == 0) n = 1;
        for (size_t i = 0; i < n; ++i) a.runs.push_back(d[p + i]);
        p += n;
        if (header == 0) break;
      }
    }
    r.attributes.push_back(a);
    at += a.length;
  }
  return r;
}

// One run decoded from a run list.
struct Run {
  uint64_t clusters = 0;
  int64_t lcn = 0;
  bool sparse = false;
};

inline std::vector<Run> DecodeRuns(const std::vector<uint8_t> &b) {
  std::vector<Run> runs;
  size_t p = 0;
  int64_t lcn = 0;
  while (p < b.size() && b[p] != 0) {
    size_t countBytes = b[p] & 15, lcnBytes = b[p] >> 4;
    Run r;
    r.clusters = Le(b, p + 1, countBytes);
    if (lcnBytes == 0) {
      r.sparse = true;
    } else {
      uint64_t delta = Le(b, p + 1 + countBytes, lcnBytes);
      if (delta >> (8 * lcnBytes - 1)) delta |= ~0ULL << (8 * lcnBytes);  // sign
      lcn += static_cast<int64_t>(delta);
      r.lcn = lcn;
    }
    runs.push_back(r);
    p += 1 + countBytes + lcnBytes;
  }
  return runs;
}

// An index entry of a directory or view index.
struct IndexEntry {
  uint64_t reference = 0;  // or data offset / length for views
  uint16_t length = 0;
  uint16_t keyLength = 0;
  uint32_t flags = 0;
  std::vector<uint8_t> key;
  std::vector<uint8_t> whole;
};

// Entries from Start up to and with the closing entry.
inline std::vector<IndexEntry> ParseEntries(const std::vector<uint8_t> &b, size_t start,
                                            size_t end) {
  std::vector<IndexEntry> entries;
  size_t at = start;
  while (at + 16 <= end) {
    IndexEntry e;
    e.reference = U64(b, at);
    e.length = U16(b, at + 8);
    e.keyLength = U16(b, at + 10);
    e.flags = U32(b, at + 12);
    if (e.length < 16 || at + e.length > end) break;
    e.key = Slice(b, at + 16, e.keyLength);
    e.whole = Slice(b, at, e.length);
    entries.push_back(e);
    if (e.flags & 2) break;
    at += e.length;
  }
  return entries;
}

// Name of a $FILE_NAME value or key.
inline std::string FileNameOf(const std::vector<uint8_t> &value) {
  return Utf16(value, 66, value.at(64));
}

struct Formatted {
  NTSTATUS status = STATUS_SUCCESS;
  NtfsGeometry geometry{};
};

inline NTSTATUS FormatInto(bw::test::MemoryFormatStore &store, uint64_t length, PCSTR label,
                           ULONG sectorSize = 512) {
  SectorWriter writer = {&store, 0};
  return FormatNtfs(sectorSize, &writer, length, label);
}

// The layout the formatter uses for these arguments (validated separately).
inline NtfsGeometry GeometryFor(uint64_t length, PCSTR label = "", ULONG sectorSize = 512) {
  NtfsGeometry g{};
  NtfsComputeGeometry(sectorSize, length, label, &g);
  return g;
}

inline uint64_t RecordOffset(const NtfsGeometry &g, uint32_t number) {
  return g.Mft.Lcn * g.ClusterSize + 1024ULL * number;
}

inline Record ReadRecord(const bw::test::MemoryFormatStore &store, const NtfsGeometry &g,
                         uint32_t number) {
  return ParseRecord(store.Bytes(RecordOffset(g, number), 1024));
}

inline Record ReadMirrorRecord(const bw::test::MemoryFormatStore &store, const NtfsGeometry &g,
                               uint32_t number) {
  return ParseRecord(store.Bytes(g.MftMirr.Lcn * g.ClusterSize + 1024ULL * number, 1024));
}

}  // namespace ntfs_test
