// FormatNtfs end to end on a memory store: boot sectors, the 27 records and
// their attributes, fixups, bitmaps, the metadata streams, the order of the
// writes, failures and clean-up.
#include "engine/format/format_internal.h"
#include "engine/format/ntfs/ntfs_files.h"
#include "engine/format/ntfs/tests/ntfs_test_util.h"
#include "engine/format/ntfs/ntfs_types.h"
#include "engine/format/ntfs/ntfs_upcase.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

namespace {

using bw::test::AllZero;
using bw::test::MemoryFormatStore;
using namespace ntfs_test;

class NtfsFormat : public ::testing::Test {
 protected:
  void TearDown() override {
    bw::ClearFaults();
    EXPECT_EQ(0u, bw::PoolBytesWithTag(FORMAT_POOL_TAG)) << "formatter buffers left in pool";
  }
};

// Formats once per size and label and keeps the volume for the checks.
struct Volume {
  Volume(uint64_t length, PCSTR label, ULONG ss = 512) : store(length, static_cast<USHORT>(ss)) {
    status = FormatInto(store, length, label, ss);
    g = GeometryFor(length, label, ss);
  }
  // Parsed once; references stay valid as long as the volume.
  const Record &Rec(uint32_t n) {
    auto it = records.find(n);
    if (it == records.end()) it = records.emplace(n, ReadRecord(store, g, n)).first;
    return it->second;
  }
  std::vector<uint8_t> Stream(const NtfsExtent &e, uint64_t bytes) const {
    return store.Bytes(e.Lcn * g.ClusterSize, bytes);
  }
  MemoryFormatStore store;
  NTSTATUS status;
  NtfsGeometry g;
  std::map<uint32_t, Record> records;
};

Volume &Small() {
  static Volume v(5 * MiB, "");
  return v;
}
Volume &Gib() {
  static Volume v(GiB, "RAMDISK");
  return v;
}

TEST_F(NtfsFormat, RefusalsWriteNothing) {
  for (uint64_t length : {5 * MiB - 512, 5 * MiB + 1}) {
    MemoryFormatStore store(8 * MiB);
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, FormatInto(store, length, ""));
    EXPECT_TRUE(store.Writes().empty());
  }
  MemoryFormatStore store(8 * MiB);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                FormatInto(store, 8 * MiB, "123456789012345678901234567890123"));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, FormatNtfs(512, nullptr, 8 * MiB, ""));
  EXPECT_TRUE(store.Writes().empty());
}

TEST_F(NtfsFormat, BootSectorAndBackup) {
  Volume &v = Gib();
  ASSERT_STATUS(STATUS_SUCCESS, v.status);
  std::vector<uint8_t> b = v.store.Sector(0);
  EXPECT_EQ((std::vector<uint8_t>{0xEB, 0x52, 0x90}), Slice(b, 0, 3));
  EXPECT_EQ("NTFS    ", bw::test::Text(b, 3, 8));
  EXPECT_EQ(512, U16(b, 0x0B));
  EXPECT_EQ(8, b[0x0D]);
  EXPECT_EQ(0xF8, b[0x15]);
  EXPECT_EQ(GiB / 512 - 1, U64(b, 0x28));
  EXPECT_EQ(1141u, U64(b, 0x30));
  EXPECT_EQ(2u, U64(b, 0x38));
  EXPECT_EQ(0xF6, b[0x40]);
  EXPECT_EQ(0x01, b[0x44]);
  EXPECT_EQ(0x1122334455667788u, U64(b, 0x48));
  EXPECT_EQ(0xAA55, U16(b, 0x1FE));
  // Nothing else: no boot code, no geometry, no checksum.
  std::vector<uint8_t> rest = b;
  for (size_t i : {0, 1, 2, 0x0B, 0x0C, 0x0D, 0x15, 0x40, 0x44, 0x1FE, 0x1FF}) rest[i] = 0;
  for (size_t i = 3; i < 11; ++i) rest[i] = 0;
  for (size_t i = 0x28; i < 0x40; ++i) rest[i] = 0;
  for (size_t i = 0x48; i < 0x50; ++i) rest[i] = 0;
  EXPECT_TRUE(AllZero(rest, 0, 512));
  EXPECT_EQ(b, v.store.Sector(GiB / 512 - 1));
}

TEST_F(NtfsFormat, RangeNotAMultipleOfFourKibibytes) {
  const uint64_t n = 7 * MiB + 3 * 512;
  const uint64_t V = 7 * MiB;
  MemoryFormatStore store(n);
  ASSERT_STATUS(STATUS_SUCCESS, FormatInto(store, n, "odd"));
  std::vector<uint8_t> b = store.Sector(0);
  EXPECT_EQ(V / 512 - 1, U64(b, 0x28));
  EXPECT_EQ(b, store.Sector(V / 512 - 1));
  // The sectors past V are left alone, and nothing is written beyond V.
  EXPECT_TRUE(store.IsZero(V, n - V));
  for (const auto &w : store.Writes()) EXPECT_LE(w.offset + w.length, V);
}

TEST_F(NtfsFormat, LargeSectorsCarryTheSignatureTwice) {
  MemoryFormatStore store(8 * MiB, 4096);
  ASSERT_STATUS(STATUS_SUCCESS, FormatInto(store, 8 * MiB, "", 4096));
  std::vector<uint8_t> b = store.Bytes(0, 4096);
  EXPECT_EQ(4096, U16(b, 0x0B));
  EXPECT_EQ(1, b[0x0D]);
  EXPECT_EQ(8 * MiB / 4096 - 1, U64(b, 0x28));
  EXPECT_EQ(0xAA55, U16(b, 0x1FE));
  EXPECT_EQ(0xAA55, U16(b, 4094));
  EXPECT_EQ(b, store.Bytes(8 * MiB - 4096, 4096));
}

struct AttrExpect {
  uint32_t type;
  std::string name;
  bool nonResident;
  uint16_t id;
};

struct RecordExpect {
  uint32_t number;
  uint16_t sequence, flags, nextId, links;
  std::vector<AttrExpect> attributes;
};

const RecordExpect kRecords[] = {
    {0,
     1,
     1,
     4,
     1,
     {{0x10, "", false, 0}, {0x30, "", false, 2}, {0x80, "", true, 1}, {0xB0, "", true, 3}}},
    {1, 1, 1, 3, 1, {{0x10, "", false, 0}, {0x30, "", false, 2}, {0x80, "", true, 1}}},
    {2, 2, 1, 3, 1, {{0x10, "", false, 0}, {0x30, "", false, 2}, {0x80, "", true, 1}}},
    {3,
     3,
     1,
     7,
     1,
     {{0x10, "", false, 0},
      {0x30, "", false, 1},
      {0x40, "", false, 6},
      {0x50, "", false, 2},
      {0x60, "", false, 4},
      {0x70, "", false, 5},
      {0x80, "", false, 3}}},
    {4, 4, 1, 4, 1, {{0x10, "", false, 0}, {0x30, "", false, 2}, {0x80, "", true, 1}}},
    {5,
     5,
     3,
     6,
     1,
     {{0x10, "", false, 0},
      {0x30, "", false, 1},
      {0x50, "", true, 2},
      {0x90, "$I30", false, 3},
      {0xA0, "$I30", true, 5},
      {0xB0, "$I30", false, 4}}},
    {6, 6, 1, 3, 1, {{0x10, "", false, 0}, {0x30, "", false, 2}, {0x80, "", true, 1}}},
    {7, 7, 1, 4, 1, {{0x10, "", false, 0}, {0x30, "", false, 2}, {0x80, "", true, 1}}},
    {8,
     8,
     1,
     4,
     1,
     {{0x10, "", false, 0}, {0x30, "", false, 3}, {0x80, "", false, 2}, {0x80, "$Bad", true, 1}}},
    {9,
     9,
     9,
     7,
     1,
     {{0x10, "", false, 0},
      {0x30, "", false, 1},
      {0x80, "$SDS", true, 2},
      {0x90, "$SDH", false, 4},
      {0x90, "$SII", false, 5}}},
    {10, 10, 1, 4, 1, {{0x10, "", false, 0}, {0x30, "", false, 1}, {0x80, "", true, 3}}},
    {11, 11, 3, 3, 1, {{0x10, "", false, 0}, {0x30, "", false, 1}, {0x90, "$I30", false, 2}}},
    {24,
     1,
     0x0D,
     4,
     1,
     {{0x10, "", false, 0}, {0x30, "", false, 1}, {0x90, "$O", false, 3}, {0x90, "$Q", false, 2}}},
    {25, 1, 0x0D, 3, 1, {{0x10, "", false, 0}, {0x30, "", false, 1}, {0x90, "$O", false, 2}}},
    {26, 1, 0x0D, 3, 1, {{0x10, "", false, 0}, {0x30, "", false, 1}, {0x90, "$R", false, 2}}},
};

TEST_F(NtfsFormat, MetadataRecordsAndTheirAttributes) {
  for (Volume *v : {&Small(), &Gib()}) {
    ASSERT_STATUS(STATUS_SUCCESS, v->status);
    for (const RecordExpect &e : kRecords) {
      SCOPED_TRACE(e.number);
      Record r = v->Rec(e.number);
      EXPECT_EQ("FILE", bw::test::Text(r.data, 0, 4));
      EXPECT_EQ(48, U16(r.data, 4));
      EXPECT_EQ(3, U16(r.data, 6));
      EXPECT_EQ(56, U16(r.data, 20));
      EXPECT_EQ(1024u, U32(r.data, 28));
      EXPECT_EQ(e.sequence, r.sequence);
      EXPECT_EQ(e.flags, r.flags);
      EXPECT_EQ(e.nextId, r.nextId);
      EXPECT_EQ(e.links, r.links);
      EXPECT_EQ(e.number, r.number);
      ASSERT_TRUE(r.endFound);
      EXPECT_EQ((r.endOffset + 4 + 7) & ~7u, r.bytesInUse);
      ASSERT_EQ(e.attributes.size(), r.attributes.size());
      for (size_t i = 0; i < e.attributes.size(); ++i) {
        const Attribute &a = r.attributes[i];
        EXPECT_EQ(e.attributes[i].type, a.type) << i;
        EXPECT_EQ(e.attributes[i].name, a.name) << i;
        EXPECT_EQ(e.attributes[i].nonResident, a.nonResident) << i;
        EXPECT_EQ(e.attributes[i].id, a.id) << i;
        EXPECT_EQ(0u, a.length % 8);
        if (a.nonResident) {
          EXPECT_EQ(64u, a.nameOffset);
          EXPECT_EQ(a.allocated / v->g.ClusterSize - 1, a.lastVcn);
        } else {
          EXPECT_EQ(24u, a.nameOffset);
          EXPECT_EQ(a.type == 0x30 ? 1 : 0, a.indexed);
        }
      }
    }
  }
}

// Run, sizes of the streams: (record, attribute name, type) -> extent.
TEST_F(NtfsFormat, StreamsPointAtTheirClusters) {
  Volume &v = Gib();
  const NtfsGeometry &g = v.g;
  struct Case {
    uint32_t record;
    uint32_t type;
    std::string name;
    NtfsExtent extent;
    uint64_t dataSize;
  } cases[] = {
      {0, 0x80, "", g.Mft, 256 * KiB},       {0, 0xB0, "", g.MftBitmap, 4 * 4096},
      {1, 0x80, "", g.MftMirr, 4096},        {2, 0x80, "", g.LogFile, 1024 * 4096},
      {4, 0x80, "", g.AttrDef, 2560},        {5, 0x50, "", g.RootSecurity, 4140},
      {5, 0xA0, "$I30", g.RootIndex, 8192},  {6, 0x80, "", g.Bitmap, 32768},
      {7, 0x80, "", NtfsExtent{0, 2}, 8192}, {9, 0x80, "$SDS", g.Sds, 0x400FC},
      {10, 0x80, "", g.UpCase, 131072},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.record);
    Record r = v.Rec(c.record);
    const Attribute *a = r.Find(c.type, c.name);
    ASSERT_NE(nullptr, a);
    auto runs = DecodeRuns(a->runs);
    ASSERT_EQ(1u, runs.size());
    EXPECT_FALSE(runs[0].sparse);
    EXPECT_EQ(static_cast<int64_t>(c.extent.Lcn), runs[0].lcn);
    EXPECT_EQ(c.extent.Clusters, runs[0].clusters);
    EXPECT_EQ(c.extent.Clusters * 4096, a->allocated);
    EXPECT_EQ(c.dataSize, a->dataSize);
    EXPECT_EQ(c.dataSize, a->initialized);
  }
  // $Boot keeps an explicit LCN 0; $Bad is one sparse run over the volume.
  EXPECT_EQ((std::vector<uint8_t>{0x11, 0x02, 0x00, 0x00}), v.Rec(7).Find(0x80)->runs);
  const Attribute *bad = v.Rec(8).Find(0x80, "$Bad");
  ASSERT_NE(nullptr, bad);
  EXPECT_EQ((std::vector<uint8_t>{0x03, 0x00, 0x00, 0x04, 0x00}), bad->runs);
  EXPECT_EQ(GiB, bad->allocated);
  EXPECT_EQ(0u, bad->dataSize);
  EXPECT_EQ(0u, bad->initialized);
  EXPECT_EQ(0u, v.Rec(8).Find(0x80)->value.size());
}

TEST_F(NtfsFormat, StandardInformationAndFileNames) {
  Volume &v = Gib();
  std::map<uint32_t, std::pair<uint32_t, uint32_t>> standard = {
      // record -> (length, security id or 0)
      {0, {72, 256}},  {1, {72, 256}},  {2, {72, 256}},  {3, {48, 0}},    {4, {48, 0}},
      {5, {48, 0}},    {6, {72, 256}},  {7, {48, 0}},    {8, {72, 256}},  {9, {72, 257}},
      {10, {72, 256}}, {11, {72, 257}}, {24, {72, 257}}, {25, {72, 257}}, {26, {72, 257}}};
  uint64_t time = U64(v.Rec(0).Find(0x10)->value, 0);
  EXPECT_NE(0u, time);
  for (const auto &[n, expect] : standard) {
    SCOPED_TRACE(n);
    const Attribute *si = v.Rec(n).Find(0x10);
    ASSERT_NE(nullptr, si);
    ASSERT_EQ(expect.first, si->value.size());
    for (int i = 0; i < 4; ++i) EXPECT_EQ(time, U64(si->value, 8 * i));
    if (expect.first == 72) {
      EXPECT_EQ(expect.second, U32(si->value, 52));
    }
  }
  EXPECT_EQ(0x06u, U32(v.Rec(0).Find(0x10)->value, 32));
  EXPECT_EQ(0x26u, U32(v.Rec(5).Find(0x10)->value, 32));
  EXPECT_EQ(0x20000006u, U32(v.Rec(9).Find(0x10)->value, 32));
  EXPECT_EQ(0x20000026u, U32(v.Rec(24).Find(0x10)->value, 32));

  struct Name {
    uint32_t record;
    std::string name;
    uint64_t parent, allocated, size;
    uint32_t attributes;
  } names[] = {
      {0, "$MFT", 0x0005000000000005, 262144, 262144, 6},
      {1, "$MFTMirr", 0x0005000000000005, 4096, 4096, 6},
      {2, "$LogFile", 0x0005000000000005, 4 * MiB, 4 * MiB, 6},
      {3, "$Volume", 0x0005000000000005, 0, 0, 6},
      {4, "$AttrDef", 0x0005000000000005, 4096, 2560, 6},
      {5, ".", 0x0005000000000005, 0, 0, 0x10000026},
      {6, "$Bitmap", 0x0005000000000005, 4096, 32768, 6},
      {7, "$Boot", 0x0005000000000005, 8192, 8192, 6},
      {8, "$BadClus", 0x0005000000000005, 0, 0, 6},
      {9, "$Secure", 0x0005000000000005, 0, 0, 0x20000006},
      {10, "$UpCase", 0x0005000000000005, 131072, 131072, 6},
      {11, "$Extend", 0x0005000000000005, 0, 0, 0x10000006},
      {24, "$Quota", 0x000B00000000000B, 0, 0, 0x20000026},
      {25, "$ObjId", 0x000B00000000000B, 0, 0, 0x20000026},
      {26, "$Reparse", 0x000B00000000000B, 0, 0, 0x20000026},
  };
  for (const Name &e : names) {
    SCOPED_TRACE(e.name);
    const Attribute *fn = v.Rec(e.record).Find(0x30);
    ASSERT_NE(nullptr, fn);
    const std::vector<uint8_t> &f = fn->value;
    ASSERT_EQ(66 + 2 * e.name.size(), f.size());
    EXPECT_EQ(e.parent, U64(f, 0));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(time, U64(f, 8 + 8 * i));
    EXPECT_EQ(e.allocated, U64(f, 40));
    EXPECT_EQ(e.size, U64(f, 48));
    EXPECT_EQ(e.attributes, U32(f, 56));
    EXPECT_EQ(3, f[65]);
    EXPECT_EQ(e.name, FileNameOf(f));
  }
}

TEST_F(NtfsFormat, VolumeRecordAndLabel) {
  Volume &v = Gib();
  Record r = v.Rec(3);
  EXPECT_EQ(16u, r.Find(0x40)->value.size());
  EXPECT_EQ("RAMDISK", Utf16(r.Find(0x60)->value, 0, 7));
  EXPECT_EQ(14u, r.Find(0x60)->value.size());
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0, 3, 1, 0, 0}), r.Find(0x70)->value);
  EXPECT_EQ(0u, r.Find(0x80)->value.size());
  const std::vector<uint8_t> &sd = r.Find(0x50)->value;
  ASSERT_EQ(100u, sd.size());
  EXPECT_EQ(72u, U32(sd, 4));
  EXPECT_EQ(84u, U32(sd, 8));
  EXPECT_EQ(18u, U32(sd, 72 + 8));  // owner SYSTEM
  EXPECT_EQ(0x0012019Fu, U32(sd, 32));
  // The GUID is also the key of $ObjId's only entry.
  Record objId = v.Rec(25);
  const std::vector<uint8_t> &o = objId.Find(0x90, "$O")->value;
  EXPECT_EQ(r.Find(0x40)->value, Slice(o, 48, 16));
  EXPECT_EQ(0x0003000000000003u, U64(o, 64));

  EXPECT_EQ(0u, Small().Rec(3).Find(0x60)->value.size());
  const std::string longest(32, 'L');
  MemoryFormatStore store(8 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, FormatInto(store, 8 * MiB, longest.c_str()));
  Record labelled = ReadRecord(store, GeometryFor(8 * MiB), 3);
  EXPECT_EQ(longest, Utf16(labelled.Find(0x60)->value, 0, 32));
  EXPECT_EQ(64u, labelled.Find(0x60)->value.size());
}

TEST_F(NtfsFormat, FixupsOfRecordsAndMirror) {
  for (Volume *v : {&Small(), &Gib()}) {
    for (uint32_t n = 0; n < 27; ++n) {
      SCOPED_TRACE(n);
      Record r = v->Rec(n);
      EXPECT_TRUE(r.fixupsValid);
      EXPECT_EQ(1, U16(r.raw, 48));
      EXPECT_EQ(1, U16(r.raw, 510));
      EXPECT_EQ(1, U16(r.raw, 1022));
      // The array holds what the sector ends held: the record parses with
      // its end marker where bytes-in-use says.
      EXPECT_TRUE(r.endFound);
      EXPECT_EQ(r.bytesInUse, (r.endOffset + 11) & ~7u);
    }
    for (uint32_t n = 0; n < 4; ++n) {
      EXPECT_EQ(v->Rec(n).raw, ReadMirrorRecord(v->store, v->g, n).raw) << n;
    }
  }
  // A stride end past the bytes in use held zeros, and the array says so.
  for (uint32_t n = 0; n < 27; ++n) {
    const Record &r = Gib().Rec(n);
    for (uint32_t j = 1; j <= 2; ++j) {
      if (512 * j - 2 >= r.bytesInUse) {
        EXPECT_EQ(0, U16(r.raw, 48 + 2 * j)) << n << " " << j;
      }
    }
  }
}

TEST_F(NtfsFormat, PlaceholdersAndFreeSlots) {
  Volume &v = Small();
  for (uint32_t n = 12; n < 24; ++n) {
    SCOPED_TRACE(n);
    Record r = v.Rec(n);
    bool reserved = n < 16;
    EXPECT_EQ(n, r.sequence);
    EXPECT_EQ(reserved ? 1 : 0, r.flags);
    EXPECT_EQ(reserved ? 0 : 1, r.links);
    EXPECT_EQ(reserved ? n : 0u, r.number);
    EXPECT_EQ(2, r.nextId);
    ASSERT_EQ(reserved ? 2u : 1u, r.attributes.size());
    EXPECT_EQ(48u, r.attributes[0].value.size());
    if (reserved) {
      EXPECT_EQ(0x80u, r.attributes[1].type);
    }
  }
  for (uint32_t n = 27; n < 256; ++n) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> raw = v.store.Bytes(RecordOffset(v.g, n), 1024);
    EXPECT_EQ("FILE", bw::test::Text(raw, 0, 4));
    EXPECT_EQ(48, U16(raw, 4));
    EXPECT_EQ(3, U16(raw, 6));
    EXPECT_EQ(1, U16(raw, 16));
    EXPECT_EQ(0, U16(raw, 18));
    EXPECT_EQ(56, U16(raw, 20));
    EXPECT_EQ(0, U16(raw, 22));
    EXPECT_EQ(64u, U32(raw, 24));
    EXPECT_EQ(1024u, U32(raw, 28));
    EXPECT_EQ(0, U16(raw, 40));
    EXPECT_EQ(n, U32(raw, 44));
    EXPECT_EQ(0xFFFFFFFFu, U32(raw, 56));
    // Never protected: the array and the sector ends stay zero.
    EXPECT_TRUE(AllZero(raw, 48, 56));
    EXPECT_TRUE(AllZero(raw, 60, 1024));
  }
  // The MFT ends after slot 255.
  EXPECT_EQ(256 * KiB, v.g.MftDataSize);
}

TEST_F(NtfsFormat, ClusterAndRecordBitmaps) {
  for (Volume *v : {&Small(), &Gib()}) {
    const NtfsGeometry &g = v->g;
    std::vector<uint8_t> bitmap = v->Stream(g.Bitmap, g.BitmapBytes);
    uint64_t metadataEnd = g.Mft.Lcn + g.Mft.Clusters;
    for (uint64_t c = 0; c < g.BitmapBytes * 8; ++c) {
      bool used = (bitmap[c / 8] >> (c % 8)) & 1;
      bool expected = c < metadataEnd || c >= g.ManagedClusters;
      if (used != expected) {
        ADD_FAILURE() << "cluster " << c;
        break;
      }
    }
    // Nothing after the bitmap bytes within its cluster.
    EXPECT_TRUE(v->store.IsZero(g.Bitmap.Lcn * 4096 + g.BitmapBytes,
                                g.Bitmap.Clusters * 4096 - g.BitmapBytes));
    std::vector<uint8_t> records = v->Stream(g.MftBitmap, g.MftBitmap.Clusters * 4096);
    EXPECT_EQ(0x0700FFFFu, U32(records, 0));
    EXPECT_TRUE(AllZero(records, 4, records.size()));
  }
}

TEST_F(NtfsFormat, UpcaseAttrDefAndLogFile) {
  Volume &v = Small();
  std::vector<USHORT> table(NTFS_UPCASE_ENTRIES);
  NtfsBuildUpcaseTable(table.data());
  std::vector<uint8_t> upcase = v.Stream(v.g.UpCase, 131072);
  EXPECT_EQ(0, memcmp(table.data(), upcase.data(), upcase.size()));
  EXPECT_EQ(u'A', U16(upcase, 2 * 'a'));

  std::vector<uint8_t> attrdef = v.Stream(v.g.AttrDef, 4096);
  struct Entry {
    std::string name;
    uint32_t type, flags;
    uint64_t min, max;
  } entries[] = {
      {"$STANDARD_INFORMATION", 0x10, 0x40, 48, 72},
      {"$ATTRIBUTE_LIST", 0x20, 0x80, 0, ~0ULL},
      {"$FILE_NAME", 0x30, 0x42, 68, 578},
      {"$OBJECT_ID", 0x40, 0x40, 0, 256},
      {"$SECURITY_DESCRIPTOR", 0x50, 0x80, 0, ~0ULL},
      {"$VOLUME_NAME", 0x60, 0x40, 2, 256},
      {"$VOLUME_INFORMATION", 0x70, 0x40, 12, 12},
      {"$DATA", 0x80, 0x00, 0, ~0ULL},
      {"$INDEX_ROOT", 0x90, 0x40, 0, ~0ULL},
      {"$INDEX_ALLOCATION", 0xA0, 0x80, 0, ~0ULL},
      {"$BITMAP", 0xB0, 0x80, 0, ~0ULL},
      {"$REPARSE_POINT", 0xC0, 0x80, 0, 0x4000},
      {"$EA_INFORMATION", 0xD0, 0x40, 8, 8},
      {"$EA", 0xE0, 0x00, 0, 0x10000},
      {"$LOGGED_UTILITY_STREAM", 0x100, 0x80, 0, 0x10000},
  };
  for (size_t i = 0; i < 15; ++i) {
    size_t at = 160 * i;
    const Entry &e = entries[i];
    EXPECT_EQ(e.name, Utf16(attrdef, at, e.name.size()));
    EXPECT_TRUE(AllZero(attrdef, at + 2 * e.name.size(), at + 128));
    EXPECT_EQ(e.type, U32(attrdef, at + 128));
    EXPECT_EQ(0u, U64(attrdef, at + 132));
    EXPECT_EQ(e.flags, U32(attrdef, at + 140));
    EXPECT_EQ(e.min, U64(attrdef, at + 144));
    EXPECT_EQ(e.max, U64(attrdef, at + 152));
  }
  EXPECT_TRUE(AllZero(attrdef, 2400, 4096));

  std::vector<uint8_t> log = v.Stream(v.g.LogFile, v.g.LogFile.Clusters * 4096);
  EXPECT_EQ(2 * MiB, log.size());
  EXPECT_TRUE(std::all_of(log.begin(), log.end(), [](uint8_t b) { return b == 0xFF; }));
  // The stream after it is untouched by the fill.
  EXPECT_NE(0xFF, v.store.Bytes(v.g.Sds.Lcn * 4096, 1)[0]);
}

TEST_F(NtfsFormat, RootIndexBlock) {
  for (Volume *v : {&Small(), &Gib()}) {
    std::vector<uint8_t> raw = v->Stream(v->g.RootIndex, 8192);
    std::vector<uint8_t> block(raw.begin(), raw.begin() + 4096);
    EXPECT_EQ("INDX", bw::test::Text(block, 0, 4));
    EXPECT_EQ(40, U16(block, 4));
    EXPECT_EQ(9, U16(block, 6));
    EXPECT_EQ(0u, U64(block, 8));
    EXPECT_EQ(0u, U64(block, 16));
    EXPECT_EQ(40u, U32(block, 24));
    EXPECT_EQ(1232u, U32(block, 28));
    EXPECT_EQ(4072u, U32(block, 32));
    EXPECT_EQ(0u, U32(block, 36));
    EXPECT_EQ(1, U16(block, 40));
    for (size_t j = 1; j <= 8; ++j) EXPECT_EQ(1, U16(block, 512 * j - 2)) << j;
    ASSERT_TRUE(Unprotect(block, 40, 8));
    // The unused second block: only its stride ends are set.
    for (size_t j = 1; j <= 8; ++j) {
      EXPECT_EQ(1, U16(raw, 4096 + 512 * j - 2));
      EXPECT_TRUE(AllZero(raw, 4096 + 512 * (j - 1), 4096 + 512 * j - 2));
    }
    auto entries = ParseEntries(block, 64, 4096);
    const char *order[] = {"$AttrDef", "$BadClus", "$Bitmap", "$Boot",   "$Extend", "$LogFile",
                           "$MFT",     "$MFTMirr", "$Secure", "$UpCase", "$Volume", "."};
    const uint64_t refs[] = {0x0004000000000004, 0x0008000000000008, 0x0006000000000006,
                             0x0007000000000007, 0x000B00000000000B, 0x0002000000000002,
                             0x0001000000000000, 0x0001000000000001, 0x0009000000000009,
                             0x000A00000000000A, 0x0003000000000003, 0x0005000000000005};
    ASSERT_EQ(13u, entries.size());
    size_t end = 64;
    for (size_t i = 0; i < 12; ++i) {
      SCOPED_TRACE(order[i]);
      EXPECT_EQ(order[i], FileNameOf(entries[i].key));
      EXPECT_EQ(refs[i], entries[i].reference);
      EXPECT_EQ((16 + entries[i].keyLength + 7) & ~7, entries[i].length);
      EXPECT_EQ(0u, entries[i].flags);
      end += entries[i].length;
      // The key is the record's own $FILE_NAME value.
      uint32_t record = static_cast<uint32_t>(refs[i] & 0xFFFFFFFFFFFF);
      EXPECT_EQ(v->Rec(record).Find(0x30)->value, entries[i].key);
    }
    EXPECT_EQ(16, entries[12].length);
    EXPECT_EQ(2u, entries[12].flags);
    EXPECT_EQ(1256u, end + 16);
    // The root's own index root points at block 0.
    const std::vector<uint8_t> &root = v->Rec(5).Find(0x90, "$I30")->value;
    ASSERT_EQ(56u, root.size());
    EXPECT_EQ(0x30u, U32(root, 0));
    EXPECT_EQ(1u, U32(root, 4));
    EXPECT_EQ(4096u, U32(root, 8));
    EXPECT_EQ(1, root[12]);
    EXPECT_EQ(16u, U32(root, 16));
    EXPECT_EQ(40u, U32(root, 20));
    EXPECT_EQ(40u, U32(root, 24));
    EXPECT_EQ(1u, U32(root, 28));
    EXPECT_EQ(24, U16(root, 40));
    EXPECT_EQ(3u, U32(root, 44));
    EXPECT_EQ(0u, U64(root, 48));
    EXPECT_EQ((std::vector<uint8_t>{1, 0, 0, 0, 0, 0, 0, 0}), v->Rec(5).Find(0xB0, "$I30")->value);
  }
}

TEST_F(NtfsFormat, SecureStreamsAndIndexes) {
  Volume &v = Gib();
  std::vector<uint8_t> sds = v.Stream(v.g.Sds, 0x41000);
  EXPECT_EQ(Slice(sds, 0, 512), Slice(sds, 0x40000, 512));
  EXPECT_EQ(0xF80312F0u, U32(sds, 0));
  EXPECT_EQ(256u, U32(sds, 4));
  EXPECT_EQ(0u, U64(sds, 8));
  EXPECT_EQ(124u, U32(sds, 16));
  EXPECT_EQ(0x00B32451u, U32(sds, 128));
  EXPECT_EQ(257u, U32(sds, 132));
  EXPECT_EQ(128u, U64(sds, 136));
  EXPECT_EQ(124u, U32(sds, 144));
  EXPECT_TRUE(AllZero(sds, 252, 0x40000));
  EXPECT_TRUE(AllZero(sds, 0x40000 + 252, sds.size()));

  Record r = v.Rec(9);
  const std::vector<uint8_t> &sdh = r.Find(0x90, "$SDH")->value;
  ASSERT_EQ(144u, sdh.size());
  EXPECT_EQ(0u, U32(sdh, 0));
  EXPECT_EQ(0x12u, U32(sdh, 4));
  EXPECT_EQ(0u, U32(sdh, 28));
  auto sdhEntries = ParseEntries(sdh, 32, sdh.size());
  ASSERT_EQ(3u, sdhEntries.size());
  // Ordered by hash.
  const uint32_t hashes[] = {0x00B32451, 0xF80312F0};
  const uint32_t ids[] = {257, 256};
  const uint64_t offsets[] = {128, 0};
  for (int i = 0; i < 2; ++i) {
    const std::vector<uint8_t> &e = sdhEntries[i].whole;
    EXPECT_EQ(48u, e.size());
    EXPECT_EQ(24, U16(e, 0));
    EXPECT_EQ(20, U16(e, 2));
    EXPECT_EQ(8, U16(e, 10));
    EXPECT_EQ(hashes[i], U32(e, 16));
    EXPECT_EQ(ids[i], U32(e, 20));
    EXPECT_EQ(hashes[i], U32(e, 24));
    EXPECT_EQ(ids[i], U32(e, 28));
    EXPECT_EQ(offsets[i], U64(e, 32));
    EXPECT_EQ(124u, U32(e, 40));
    EXPECT_EQ(0x00490049u, U32(e, 44));
  }
  EXPECT_EQ(2u, sdhEntries[2].flags);

  const std::vector<uint8_t> &sii = r.Find(0x90, "$SII")->value;
  ASSERT_EQ(128u, sii.size());
  EXPECT_EQ(0x10u, U32(sii, 4));
  auto siiEntries = ParseEntries(sii, 32, sii.size());
  ASSERT_EQ(3u, siiEntries.size());
  for (int i = 0; i < 2; ++i) {
    const std::vector<uint8_t> &e = siiEntries[i].whole;
    EXPECT_EQ(40u, e.size());
    EXPECT_EQ(20, U16(e, 0));
    EXPECT_EQ(20, U16(e, 2));
    EXPECT_EQ(4, U16(e, 10));
    EXPECT_EQ(256u + i, U32(e, 16));  // ordered by id
    EXPECT_EQ(256u + i, U32(e, 24));
    EXPECT_EQ(i == 0 ? 0xF80312F0u : 0x00B32451u, U32(e, 20));
  }

  std::vector<uint8_t> rootSd = v.Stream(v.g.RootSecurity, 8192);
  EXPECT_EQ(4116u, U32(rootSd, 4));
  EXPECT_TRUE(AllZero(rootSd, 4140, 8192));
}

TEST_F(NtfsFormat, ExtendIndexes) {
  Volume &v = Gib();
  const std::vector<uint8_t> &ext = v.Rec(11).Find(0x90, "$I30")->value;
  EXPECT_EQ(0x30u, U32(ext, 0));
  EXPECT_EQ(0u, U32(ext, 28));
  auto entries = ParseEntries(ext, 32, ext.size());
  ASSERT_EQ(4u, entries.size());
  const char *names[] = {"$ObjId", "$Quota", "$Reparse"};
  const uint64_t refs[] = {0x0001000000000019, 0x0001000000000018, 0x000100000000001A};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(names[i], FileNameOf(entries[i].key));
    EXPECT_EQ(refs[i], entries[i].reference);
    EXPECT_EQ(v.Rec(static_cast<uint32_t>(refs[i] & 0xFF)).Find(0x30)->value, entries[i].key);
  }
  EXPECT_EQ(U32(ext, 20), 16u + 96 + 96 + 104 + 16);

  Record quota = v.Rec(24);
  const std::vector<uint8_t> &o = quota.Find(0x90, "$O")->value;
  ASSERT_EQ(88u, o.size());
  EXPECT_EQ(0x11u, U32(o, 4));
  EXPECT_EQ(32, U16(o, 32));
  EXPECT_EQ(4, U16(o, 34));
  EXPECT_EQ(40, U16(o, 40));
  EXPECT_EQ(16, U16(o, 42));
  EXPECT_EQ(544u, U32(o, 32 + 16 + 12));
  EXPECT_EQ(256u, U32(o, 32 + 32));
  const std::vector<uint8_t> &q = quota.Find(0x90, "$Q")->value;
  ASSERT_EQ(208u, q.size());
  auto qe = ParseEntries(q, 32, q.size());
  ASSERT_EQ(3u, qe.size());
  EXPECT_EQ(72u, qe[0].whole.size());
  EXPECT_EQ(88u, qe[1].whole.size());
  EXPECT_EQ(48, U16(qe[0].whole, 2));
  EXPECT_EQ(64, U16(qe[1].whole, 2));
  EXPECT_EQ(1u, U32(qe[0].whole, 16));
  EXPECT_EQ(256u, U32(qe[1].whole, 16));
  for (const auto &e : {qe[0].whole, qe[1].whole}) {
    EXPECT_EQ(2u, U32(e, 20));
    EXPECT_EQ(1u, U32(e, 24));
    EXPECT_EQ(0x01CAA1F7DC63C300u, U64(e, 36));
    EXPECT_EQ(~0ULL, U64(e, 44));
    EXPECT_EQ(~0ULL, U64(e, 52));
  }
  EXPECT_EQ(544u, U32(qe[1].whole, 68 + 12));
  EXPECT_EQ(136u, v.Rec(25).Find(0x90, "$O")->value.size());
  EXPECT_EQ(0x13u, U32(v.Rec(25).Find(0x90, "$O")->value, 4));
  EXPECT_EQ(48u, v.Rec(26).Find(0x90, "$R")->value.size());
}

TEST_F(NtfsFormat, WriteOrder) {
  MemoryFormatStore store(5 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, FormatInto(store, 5 * MiB, ""));
  NtfsGeometry g = GeometryFor(5 * MiB);
  const auto &w = store.Writes();
  ASSERT_GT(w.size(), 2u);
  EXPECT_EQ(0u, w[0].offset);
  EXPECT_EQ(512u, w[0].length);
  EXPECT_EQ(5 * MiB - 512, w[1].offset);
  // Then the first empty slot's header.
  EXPECT_EQ(RecordOffset(g, 0), w[2].offset);
  for (const auto &x : w) EXPECT_EQ(FORMAT_STORE_WRITE_INTERNAL, x.flags);
  // Last: the $SDS mirror block.
  uint64_t sdsMirror = g.Sds.Lcn * 4096 + 0x40000;
  EXPECT_GE(w.back().offset, sdsMirror);
  EXPECT_LT(w.back().offset, sdsMirror + 512);
  // The bitmap is written in one piece after the records and before the
  // $UpCase table, which precedes the log fill.
  auto at = [&](uint64_t offset, uint32_t length) {
    for (size_t i = 0; i < w.size(); ++i)
      if (w[i].offset == offset && w[i].length == length) return i;
    return w.size();
  };
  size_t bitmap = at(g.Bitmap.Lcn * 4096, 160);
  size_t upcase = at(g.UpCase.Lcn * 4096, 131072);
  size_t log = at(g.LogFile.Lcn * 4096, 131072);
  ASSERT_LT(bitmap, w.size());
  EXPECT_LT(bitmap, upcase);
  EXPECT_LT(upcase, log);
  ASSERT_LT(log, w.size());
}

TEST_F(NtfsFormat, StopsAtTheFirstFailingWrite) {
  MemoryFormatStore probe(5 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, FormatInto(probe, 5 * MiB, "x"));
  const uint32_t total = static_cast<uint32_t>(probe.Writes().size());
  std::vector<uint32_t> failAt;
  for (uint32_t i = 0; i < 20; ++i) failAt.push_back(i);
  for (uint32_t i = 20; i < total; i += 7) failAt.push_back(i);
  failAt.push_back(total - 1);
  for (uint32_t index : failAt) {
    MemoryFormatStore store(5 * MiB);
    store.FailWrite(index, STATUS_IO_DEVICE_ERROR, index % 2 == 1);
    EXPECT_STATUS(STATUS_IO_DEVICE_ERROR, FormatInto(store, 5 * MiB, "x")) << index;
    EXPECT_EQ(index + 1u, store.Writes().size()) << index;
    EXPECT_EQ(0u, bw::PoolBytesWithTag(FORMAT_POOL_TAG)) << index;
  }
  // A failing read in the fixup pass stops it too.
  MemoryFormatStore store(5 * MiB);
  store.FailReads(STATUS_DEVICE_NOT_READY);
  EXPECT_STATUS(STATUS_DEVICE_NOT_READY, FormatInto(store, 5 * MiB, "x"));
  EXPECT_LT(store.Writes().size(), total);
}

TEST_F(NtfsFormat, AllocationFailuresFreeEverything) {
  // The cluster bitmap, the scratch and the staging buffer come first; the
  // read-back of the fixup pass allocates a bounce sector per read later on.
  for (uint32_t skip : {0u, 1u, 2u, 3u, 4u, 10u, 30u, 50u, 69u}) {
    MemoryFormatStore store(5 * MiB);
    bw::InjectFault(bw::Fault::PoolAllocation, skip, 1);
    NTSTATUS status = FormatInto(store, 5 * MiB, "");
    bw::ClearFaults();
    EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, status) << skip;
    EXPECT_EQ(0u, bw::PoolBytesWithTag(FORMAT_POOL_TAG)) << skip;
    if (skip < 3) {
      EXPECT_TRUE(store.Writes().empty()) << skip;
    }
  }
  MemoryFormatStore store(5 * MiB);
  bw::InjectFault(bw::Fault::PoolAllocation, 200, 1000);
  EXPECT_STATUS(STATUS_SUCCESS, FormatInto(store, 5 * MiB, ""));
}

TEST_F(NtfsFormat, FreshGuidAndTimeEachFormat) {
  MemoryFormatStore a(5 * MiB), b(5 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, FormatInto(a, 5 * MiB, ""));
  ASSERT_STATUS(STATUS_SUCCESS, FormatInto(b, 5 * MiB, ""));
  NtfsGeometry g = GeometryFor(5 * MiB);
  EXPECT_NE(ReadRecord(a, g, 3).Find(0x40)->value, ReadRecord(b, g, 3).Find(0x40)->value);
}

// Volumes of several TiB are not formatted whole here (their log file alone
// is V/256); their records are, at the places the layout gives them.
TEST_F(NtfsFormat, RecordsOfHugeVolumes) {
  for (uint64_t n : {9 * TiB, 20 * TiB, 512 * TiB}) {
    SCOPED_TRACE(n);
    NtfsGeometry g = GeometryFor(n, "big");
    MemoryFormatStore store(n);
    SectorWriter target = {&store, 0};
    NtfsWriter writer;
    NtfsWriterInit(&writer, 512, &target, g.VolumeSize, "big");
    for (uint32_t i = 0; i <= 11; ++i) NtfsWriteRecord(&writer, &g, i, RecordOffset(g, i));
    ASSERT_STATUS(STATUS_SUCCESS, writer.Status);
    for (uint32_t i = 0; i <= 11; ++i) {
      Record r = ReadRecord(store, g, i);
      EXPECT_TRUE(r.endFound) << i;
      for (const Attribute &a : r.attributes) {
        if (!a.nonResident) continue;
        auto runs = DecodeRuns(a.runs);
        ASSERT_EQ(1u, runs.size()) << i;
        EXPECT_EQ(a.lastVcn + 1, runs[0].clusters) << i;
      }
    }
    Record mft = ReadRecord(store, g, 0);
    auto runs = DecodeRuns(mft.Find(0xB0)->runs);
    EXPECT_EQ(static_cast<int64_t>(g.MftBitmap.Lcn), runs[0].lcn);
    EXPECT_EQ(g.MftBitmap.Clusters, runs[0].clusters);
    // Index roots count index blocks in sectors once clusters exceed them.
    EXPECT_EQ(g.ClusterSize > 4096 ? 8 : 1, ReadRecord(store, g, 5).Find(0x90, "$I30")->value[12]);
  }
}

}  // namespace
