// NTFS encodings on their own: run lists, attribute framing, the streaming
// writer, the upper-case table and the security descriptors.
#include "engine/format/format_internal.h"
#include "engine/format/ntfs/ntfs_record.h"
#include "engine/format/ntfs/ntfs_runlist.h"
#include "engine/format/ntfs/ntfs_security.h"
#include "engine/format/ntfs/tests/ntfs_test_util.h"
#include "engine/format/ntfs/ntfs_types.h"
#include "engine/format/ntfs/ntfs_upcase.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using bw::test::MemoryFormatStore;
using namespace ntfs_test;

std::vector<uint8_t> Encode(ULONGLONG lcn, ULONGLONG clusters, BOOLEAN sparse) {
  UCHAR out[NTFS_MAX_RUN_LIST_BYTES];
  ULONG n = NtfsEncodeRunList(lcn, clusters, sparse, out);
  return std::vector<uint8_t>(out, out + n);
}

TEST(NtfsRunList, FewestSignedBytes) {
  EXPECT_EQ(1u, NtfsSignedFieldBytes(0));
  EXPECT_EQ(1u, NtfsSignedFieldBytes(0x7F));
  EXPECT_EQ(2u, NtfsSignedFieldBytes(0x80));  // bit 7 would read as a sign
  EXPECT_EQ(2u, NtfsSignedFieldBytes(0x7FFF));
  EXPECT_EQ(3u, NtfsSignedFieldBytes(0x8000));
  EXPECT_EQ(4u, NtfsSignedFieldBytes(0x800000));
  EXPECT_EQ(5u, NtfsSignedFieldBytes(0x200000000ULL));
}

TEST(NtfsRunList, Encodings) {
  // $MFT of 1 GiB: 64 clusters at 1141.
  EXPECT_EQ((std::vector<uint8_t>{0x21, 0x40, 0x75, 0x04, 0x00}), Encode(1141, 64, FALSE));
  // $LogFile of 1 GiB: 1024 clusters at 39.
  EXPECT_EQ((std::vector<uint8_t>{0x12, 0x00, 0x04, 0x27, 0x00}), Encode(39, 1024, FALSE));
  // 128 clusters take two count bytes.
  EXPECT_EQ((std::vector<uint8_t>{0x12, 0x80, 0x00, 0x05, 0x00}), Encode(5, 128, FALSE));
  // $Boot: two clusters at LCN 0 keep one LCN byte of 0.
  EXPECT_EQ((std::vector<uint8_t>{0x11, 0x02, 0x00, 0x00}), Encode(0, 2, FALSE));
  // $Bad: one sparse run over the volume, no LCN bytes.
  EXPECT_EQ((std::vector<uint8_t>{0x03, 0x00, 0x00, 0x04, 0x00}), Encode(0, 0x40000, TRUE));
  // The largest volume: 2^33 clusters of 64 KiB.
  EXPECT_EQ((std::vector<uint8_t>{0x05, 0, 0, 0, 0, 0x02, 0x00}), Encode(0, 1ULL << 33, TRUE));
  // Round trip through the decoder the checks use.
  auto runs = DecodeRuns(Encode(0x800123, 0x8000, FALSE));
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(0x800123, runs[0].lcn);
  EXPECT_EQ(0x8000u, runs[0].clusters);
}

TEST(NtfsAttributeFraming, LengthsAndValueOffsets) {
  EXPECT_EQ(24u, NtfsResidentValueOffset(0));
  EXPECT_EQ(32u, NtfsResidentValueOffset(4));  // "$I30"
  EXPECT_EQ(32u, NtfsResidentValueOffset(2));  // "$O"
  EXPECT_EQ(24u, NtfsResidentLength(0, 0));
  EXPECT_EQ(32u, NtfsResidentLength(0, 1));
  EXPECT_EQ(32u, NtfsResidentLength(0, 8));
  EXPECT_EQ(40u, NtfsResidentLength(0, 9));
  EXPECT_EQ(96u, NtfsResidentLength(0, 72));
  EXPECT_EQ(88u, NtfsResidentLength(4, 56));
  EXPECT_EQ(120u, NtfsResidentLength(2, 88));
  for (ULONG name = 0; name < 10; ++name) {
    for (ULONG value = 0; value < 40; ++value) {
      ULONG length = NtfsResidentLength(name, value);
      EXPECT_EQ(0u, length % 8);
      EXPECT_GE(length, NtfsResidentValueOffset(name) + value);
      EXPECT_LT(length, NtfsResidentValueOffset(name) + value + 8);
    }
  }
  EXPECT_EQ(72u, NtfsNonResidentLength(0, 5));
  EXPECT_EQ(72u, NtfsNonResidentLength(0, 8));
  EXPECT_EQ(80u, NtfsNonResidentLength(4, 4));  // "$Bad", "$SDS", "$I30"
}

class NtfsWriterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = SectorWriter{&store_, 0};
    NtfsWriterInit(&writer_, 512, &target_, 64 * KiB, "");
  }
  void TearDown() override { EXPECT_EQ(0u, bw::PoolBytesWithTag(FORMAT_POOL_TAG)); }
  MemoryFormatStore store_{64 * KiB};
  SectorWriter target_{};
  NtfsWriter writer_{};
};

TEST_F(NtfsWriterTest, FieldsAreLittleEndianAndMoveThePosition) {
  EXPECT_STATUS(STATUS_SUCCESS, NtfsPut32(&writer_, 100, 0x11223344));
  EXPECT_EQ(104u, writer_.Position);
  NtfsAppend16(&writer_, 0xAABB);
  NtfsAppend64(&writer_, 0x0102030405060708ULL);
  NtfsAppend8(&writer_, 0x99);
  EXPECT_EQ(115u, writer_.Position);
  EXPECT_EQ(
      (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11, 0xBB, 0xAA, 8, 7, 6, 5, 4, 3, 2, 1, 0x99}),
      store_.Bytes(100, 15));
  EXPECT_EQ(4u, store_.Writes().size());
  // Reads come back through the read mode, even across no sector boundary.
  UCHAR two[2];
  EXPECT_STATUS(STATUS_SUCCESS, NtfsGetBytes(&writer_, 104, two, 2));
  EXPECT_EQ(0xBB, two[0]);
  EXPECT_EQ(0xAA, two[1]);
}

TEST_F(NtfsWriterTest, NothingOutsideTheRangeAndTheFirstFailureSticks) {
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, NtfsPut32(&writer_, 64 * KiB - 2, 1));
  EXPECT_TRUE(store_.Writes().empty());
  // Every later field is skipped and reports the first failure.
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, NtfsPut32(&writer_, 0, 1));
  EXPECT_TRUE(store_.Writes().empty());

  NtfsWriterInit(&writer_, 512, &target_, 64 * KiB, "");
  store_.FailWrite(1, STATUS_DEVICE_NOT_READY);
  NtfsPut8(&writer_, 0, 1);
  EXPECT_STATUS(STATUS_DEVICE_NOT_READY, NtfsPut8(&writer_, 1, 1));
  EXPECT_STATUS(STATUS_DEVICE_NOT_READY, NtfsPutZeros(&writer_, 2, 1000));
  EXPECT_EQ(2u, store_.Writes().size());
  // A failure the store reports only in the I/O status block counts too.
  NtfsWriterInit(&writer_, 512, &target_, 64 * KiB, "");
  store_.FailWrite(0, STATUS_IO_DEVICE_ERROR, true);
  EXPECT_STATUS(STATUS_IO_DEVICE_ERROR, NtfsPut8(&writer_, 0, 1));
  EXPECT_STATUS(STATUS_IO_DEVICE_ERROR, writer_.Status);
}

TEST_F(NtfsWriterTest, StagingCombinesAdjacentFieldsOnly) {
  UCHAR stage[64];
  NtfsWriterSetStage(&writer_, stage, sizeof(stage));
  NtfsPut32(&writer_, 1000, 0x11111111);
  NtfsAppend32(&writer_, 0x22222222);
  NtfsPut16(&writer_, 1002, 0x3333);  // within what is staged
  EXPECT_TRUE(store_.Writes().empty());
  // A read sends what is staged first, and sees it.
  UCHAR two[2];
  ASSERT_STATUS(STATUS_SUCCESS, NtfsGetBytes(&writer_, 1002, two, 2));
  EXPECT_EQ(0x33, two[0]);
  ASSERT_EQ(1u, store_.Writes().size());
  EXPECT_EQ(1000u, store_.Writes()[0].offset);
  EXPECT_EQ(8u, store_.Writes()[0].length);
  // A gap is never filled from the buffer: the write after it starts anew.
  NtfsPut8(&writer_, 2000, 1);
  NtfsPut8(&writer_, 2002, 2);
  // So does a write beyond the buffer's reach, and a block too big for it.
  NtfsPutZeros(&writer_, 2003, 63);
  NtfsPut8(&writer_, 2066, 3);
  NtfsPutBytes(&writer_, 3000, std::vector<uint8_t>(64, 7).data(), 64);
  ASSERT_STATUS(STATUS_SUCCESS, NtfsFlush(&writer_));
  std::vector<std::pair<uint64_t, uint32_t>> writes;
  for (const auto &w : store_.Writes()) writes.emplace_back(w.offset, w.length);
  EXPECT_EQ((std::vector<std::pair<uint64_t, uint32_t>>{
                {1000, 8}, {2000, 1}, {2002, 64}, {2066, 1}, {3000, 64}}),
            writes);
  EXPECT_EQ((std::vector<uint8_t>{0x11, 0x11, 0x33, 0x33, 0x22, 0x22, 0x22, 0x22}),
            store_.Bytes(1000, 8));
  EXPECT_EQ(0, store_.Bytes(2001, 1)[0]);
  EXPECT_EQ(3, store_.Bytes(2066, 1)[0]);
  // A staged write that fails on its way out stops everything after it.
  store_.FailWrite(0, STATUS_DEVICE_NOT_READY);
  NtfsPut32(&writer_, 100, 1);
  EXPECT_STATUS(STATUS_DEVICE_NOT_READY, NtfsPut32(&writer_, 200, 1));
  EXPECT_STATUS(STATUS_DEVICE_NOT_READY, NtfsFlush(&writer_));
  EXPECT_EQ(6u, store_.Writes().size());
}

TEST_F(NtfsWriterTest, LongAttributeNamesAreRefused) {
  std::string name(128, 'n');
  writer_.Position = 56;
  EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID,
                NtfsWriteResident(&writer_, NTFS_AT_DATA, name.c_str(), 1, nullptr, 0));
  EXPECT_TRUE(store_.Writes().empty());
  NtfsWriterInit(&writer_, 512, &target_, 64 * KiB, "");
  name.pop_back();
  writer_.Position = 56;
  EXPECT_STATUS(STATUS_SUCCESS,
                NtfsWriteResident(&writer_, NTFS_AT_DATA, name.c_str(), 1, nullptr, 0));
}

// Runs of volumes of several TiB do not fit 8 bytes; the attribute grows
// rather than let its run list run into the next attribute.
TEST_F(NtfsWriterTest, LongRunListsKeepTheNextAttributeIntact) {
  NtfsGeometry g = GeometryFor(8 * TiB);
  ASSERT_EQ(0x8000u, g.MftBitmap.Clusters);
  ASSERT_GE(g.MftBitmap.Lcn, 0x800000u);
  const ULONGLONG base = 4096;
  NtfsBeginRecord(&writer_, base, NtfsRecordHeader{1, 1, 1, 4, 0});
  ULONGLONG bytes = g.MftBitmap.Clusters * g.ClusterSize;
  NtfsWriteNonResident(
      &writer_, &g,
      NtfsNonResidentStream{NTFS_AT_BITMAP, nullptr, 3, g.MftBitmap, FALSE, bytes, bytes});
  NtfsWriteResident(&writer_, NTFS_AT_DATA, "next", 9, nullptr, 0);
  ASSERT_STATUS(STATUS_SUCCESS, NtfsEndRecord(&writer_, base));
  Record r = ParseRecord(store_.Bytes(base, 1024));
  ASSERT_EQ(2u, r.attributes.size());
  EXPECT_EQ(80u, r.attributes[0].length);
  EXPECT_EQ(9u, r.attributes[0].runs.size());
  auto runs = DecodeRuns(r.attributes[0].runs);
  ASSERT_EQ(1u, runs.size());
  EXPECT_EQ(static_cast<int64_t>(g.MftBitmap.Lcn), runs[0].lcn);
  EXPECT_EQ(0x8000u, runs[0].clusters);
  EXPECT_EQ("next", r.attributes[1].name);
  EXPECT_EQ(9u, r.attributes[1].id);
  EXPECT_TRUE(r.endFound);
}

TEST(NtfsUpcase, TableRules) {
  std::vector<USHORT> t(NTFS_UPCASE_ENTRIES);
  NtfsBuildUpcaseTable(t.data());
  size_t changed = 0;
  for (size_t i = 0; i < t.size(); ++i) changed += t[i] != i;
  EXPECT_EQ(636u, changed);
  EXPECT_EQ(u'A', t[u'a']);
  EXPECT_EQ(u'Z', t[u'z']);
  EXPECT_EQ(u'A', t[u'A']);
  EXPECT_EQ(0x0178, t[0x00FF]);
  EXPECT_EQ(0x00F7, t[0x00F7]);  // division sign
  EXPECT_EQ(0x00D7, t[0x00D7]);  // multiplication sign
  EXPECT_EQ(0x018E, t[0x01DD]);
  EXPECT_EQ(0x00C0, t[0x00E0]);
  EXPECT_EQ(0x0410, t[0x0430]);  // Cyrillic
  EXPECT_EQ(0x0391, t[0x03B1]);  // Greek alpha
  EXPECT_EQ(0x03A3, t[0x03C2]);  // final sigma
  EXPECT_EQ(0x0100, t[0x0101]);  // pairs: odd entries move down
  EXPECT_EQ(0x0100, t[0x0100]);
  EXPECT_EQ(0x012E, t[0x012F]);
  EXPECT_EQ(0x1EF8, t[0x1EF9]);
  EXPECT_EQ(0x018B, t[0x018B]);  // an empty pair rule
  EXPECT_EQ(0x04BE, t[0x04BF]);  // the end of the rule before it
  EXPECT_EQ(0xFF21, t[0xFF41]);  // full-width
  EXPECT_EQ(0x1F79 + 128, t[0x1F79]);
  EXPECT_EQ(0x24B6, t[0x24D0]);
  EXPECT_EQ(0xFFFF, t[0xFFFF]);
}

// The hash the security index keys descriptors by: rotate left by 3, add
// each 32-bit word.
uint32_t DescriptorHash(const std::vector<uint8_t> &d) {
  uint32_t h = 0;
  for (size_t i = 0; i + 4 <= d.size(); i += 4) h = ((h << 3) | (h >> 29)) + U32(d, i);
  return h;
}

TEST_F(NtfsWriterTest, SecurityDescriptors) {
  struct Case {
    NtfsDescriptorKind kind;
    ULONG length;
  } cases[] = {{NtfsDescriptorFiles, 104},
               {NtfsDescriptorDirectories, 104},
               {NtfsDescriptorVolume, 100},
               {NtfsDescriptorRoot, 4140}};
  ULONGLONG at = 0;
  for (const Case &c : cases) {
    EXPECT_EQ(c.length, NtfsDescriptorLength(c.kind));
    writer_.Position = at;
    ASSERT_STATUS(STATUS_SUCCESS, NtfsAppendDescriptor(&writer_, c.kind));
    std::vector<uint8_t> d = store_.Bytes(at, c.length);
    EXPECT_EQ(1, d[0]);
    EXPECT_EQ(0x8004, U16(d, 2));
    EXPECT_EQ(0u, U32(d, 12));  // no SACL
    EXPECT_EQ(20u, U32(d, 16));
    EXPECT_EQ(2, d[20]);
    // Owner and group follow the declared DACL and end the descriptor.
    uint32_t owner = U32(d, 4), group = U32(d, 8);
    EXPECT_EQ(20u + U16(d, 22), owner);
    EXPECT_EQ(c.length, group + 8 + 4 * d[group + 1]);
    // The ACEs fill the DACL's used part exactly.
    size_t ace = 28;
    for (int i = 0; i < U16(d, 24); ++i) ace += U16(d, ace + 2);
    EXPECT_EQ(c.kind == NtfsDescriptorRoot ? 204u : owner, ace);
    at += 8192;
  }
  std::vector<uint8_t> files = store_.Bytes(0, 104);
  std::vector<uint8_t> directories = store_.Bytes(8192, 104);
  EXPECT_EQ(NTFS_HASH_FILES, DescriptorHash(files));
  EXPECT_EQ(NTFS_HASH_DIRECTORIES, DescriptorHash(directories));
  // id 256: SYSTEM and Administrators may read and execute.
  EXPECT_EQ(0x00120089u, U32(files, 32));
  EXPECT_EQ(18u, U32(files, 44));
  EXPECT_EQ(0x00120089u, U32(files, 52));
  EXPECT_EQ(544u, U32(files, 68));
  EXPECT_EQ(72u, U32(files, 4));
  // The root's stream: SYSTEM as owner at 4116 and group at 4128.
  std::vector<uint8_t> root = store_.Bytes(3 * 8192, 4140);
  EXPECT_EQ(4116u, U32(root, 4));
  EXPECT_EQ(4128u, U32(root, 8));
  EXPECT_EQ(4096u, U16(root, 22));
  EXPECT_EQ(8u, U16(root, 24));
  EXPECT_EQ(18u, U32(root, 4116 + 8));
  EXPECT_EQ(18u, U32(root, 4128 + 8));
  EXPECT_TRUE(bw::test::AllZero(root, 204, 4116));
  EXPECT_EQ(0xE0010000u, U32(root, 28 + 24 + 24 + 20 + 20 + 20 + 4));
}

}  // namespace
