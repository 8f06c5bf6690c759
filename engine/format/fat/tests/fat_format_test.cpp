// FAT12/FAT16 formatter: refusals, every boot-sector field, the FAT and
// label sectors, write order and clean-up on failure.
#include "engine/format/fat/fat_geometry.h"
#include "engine/format/format_internal.h"
#include "engine/format/tests/support/format_test_util.h"
#include "engine/format/tests/support/memory_format_store.h"
#include "tests/support/status_matchers.h"

#include <gtest/gtest.h>

namespace {

using bw::test::AllZero;
using bw::test::Le16;
using bw::test::Le32;
using bw::test::MemoryFormatStore;
using bw::test::Text;

using bw::test::GiB;
using bw::test::MiB;

class FatFormat : public bw::test::FormatterTest {
 protected:
  NTSTATUS Format(MemoryFormatStore &store, uint64_t length, PCSTR label, ULONG ss = 512) {
    SectorWriter writer = {&store, 0};
    return FormatFat(ss, &writer, length, label);
  }
};

TEST_F(FatFormat, RefusalsInOrderBeforeAnyWrite) {
  struct Case {
    ULONG ss;
    uint64_t length;
    PCSTR label;
    NTSTATUS expected;
  } cases[] = {
      {0, 1 * MiB, "", STATUS_INVALID_PARAMETER},
      {512, 1535, "", STATUS_INVALID_PARAMETER},
      {512, 2 * GiB + 512, "", STATUS_INVALID_PARAMETER},
      {512, 1 * MiB + 1, "", STATUS_INVALID_PARAMETER},
      {512, 1 * MiB, "TWELVE_CHARS", STATUS_INVALID_PARAMETER},
      // The label is checked before the sector size.
      {1024, 1 * MiB, "TWELVE_CHARS", STATUS_INVALID_PARAMETER},
      {1024, 1 * MiB, "", FORMAT_STATUS_SECTOR_SIZE_INVALID},
      {256, 1 * MiB, "", STATUS_DATATYPE_MISALIGNMENT_ERROR},
      // Range bounds come before the sector size.
      {1024, 2 * GiB + 1024, "", STATUS_INVALID_PARAMETER},
      {256, 1536 + 256, "ok", STATUS_DATATYPE_MISALIGNMENT_ERROR},
  };
  for (const Case &c : cases) {
    MemoryFormatStore store(4 * GiB);
    EXPECT_STATUS(c.expected, Format(store, c.length, c.label, c.ss))
        << c.ss << " " << c.length << " " << c.label;
    EXPECT_TRUE(store.Writes().empty());
  }
}

TEST_F(FatFormat, TinyRangesRefusedBeforeAnyWrite) {
  for (uint64_t bytes : {uint64_t{1536}, uint64_t{16 * 512}, uint64_t{33 * 512}, uint64_t{34 * 512}}) {
    MemoryFormatStore store(1 * MiB);
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Format(store, bytes, "X")) << bytes;
    EXPECT_TRUE(store.Writes().empty());
  }
  MemoryFormatStore store(1 * MiB);
  EXPECT_STATUS(STATUS_SUCCESS, Format(store, 35 * 512, "X"));
}

TEST_F(FatFormat, Fat12BootSectorFatAndLabel) {
  MemoryFormatStore store(1 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, Format(store, 1 * MiB, "Ram Disk"));
  auto b = store.Sector(0);
  EXPECT_EQ(0xEB, b[0]);
  EXPECT_EQ(0x3C, b[1]);
  EXPECT_EQ(0x90, b[2]);
  EXPECT_EQ("MSWIN4.1", Text(b, 0x03, 8));
  EXPECT_EQ(512u, Le16(b, 0x0B));
  EXPECT_EQ(1, b[0x0D]);
  EXPECT_EQ(1u, Le16(b, 0x0E));
  EXPECT_EQ(1, b[0x10]);
  EXPECT_EQ(512u, Le16(b, 0x11));
  EXPECT_EQ(2048u, Le16(b, 0x13));
  EXPECT_EQ(0xF8, b[0x15]);
  EXPECT_EQ(6u, Le16(b, 0x16));
  EXPECT_EQ(32u, Le16(b, 0x18));
  EXPECT_EQ(2u, Le16(b, 0x1A));
  EXPECT_EQ(0u, Le32(b, 0x1C));
  EXPECT_EQ(0u, Le32(b, 0x20));
  EXPECT_EQ(0x00, b[0x24]);
  EXPECT_EQ(0x00, b[0x25]);
  EXPECT_EQ(0x29, b[0x26]);
  EXPECT_EQ(0x12345678u, Le32(b, 0x27));
  EXPECT_EQ("Tavik      ", Text(b, 0x2B, 11));
  EXPECT_EQ("FAT12   ", Text(b, 0x36, 8));
  EXPECT_TRUE(AllZero(b, 0x3E, 0x1FE));
  EXPECT_EQ(0x55, b[0x1FE]);
  EXPECT_EQ(0xAA, b[0x1FF]);

  auto fat = store.Sector(1);
  EXPECT_EQ(0xF8, fat[0]);
  EXPECT_EQ(0xFF, fat[1]);
  EXPECT_EQ(0xFF, fat[2]);
  EXPECT_TRUE(AllZero(fat, 3, 512));

  auto root = store.Sector(1 + 6);
  EXPECT_EQ("Ram Disk   ", Text(root, 0, 11));
  EXPECT_EQ(0x08, root[11]);
  EXPECT_TRUE(AllZero(root, 12, 512));

  // Boot sector, first FAT sector, then the label entry; nothing else.
  const auto &w = store.Writes();
  ASSERT_EQ(3u, w.size());
  EXPECT_EQ(0u, w[0].offset);
  EXPECT_EQ(512u, w[0].length);
  EXPECT_EQ(512u, w[1].offset);
  EXPECT_EQ(512u, w[1].length);
  EXPECT_EQ(512u * 7, w[2].offset);
  EXPECT_EQ(23u, w[2].length);
  for (const auto &r : w) EXPECT_EQ(FORMAT_STORE_WRITE_INTERNAL, r.flags);
}

TEST_F(FatFormat, Fat16FirstFatSectorAndType) {
  MemoryFormatStore store(64 * MiB);
  ASSERT_STATUS(STATUS_SUCCESS, Format(store, 64 * MiB, ""));
  auto b = store.Sector(0);
  EXPECT_EQ("FAT16   ", Text(b, 0x36, 8));
  EXPECT_EQ(2, b[0x0D]);
  EXPECT_EQ(256u, Le16(b, 0x16));
  auto fat = store.Sector(1);
  EXPECT_EQ(0xF8, fat[0]);
  EXPECT_EQ(0xFF, fat[1]);
  EXPECT_EQ(0xFF, fat[2]);
  EXPECT_EQ(0xFF, fat[3]);
  EXPECT_TRUE(AllZero(fat, 4, 512));
}

TEST_F(FatFormat, TotalSectorFields) {
  {
    MemoryFormatStore store(65535ull * 512);
    ASSERT_STATUS(STATUS_SUCCESS, Format(store, 65535ull * 512, ""));
    auto b = store.Sector(0);
    EXPECT_EQ(65535u, Le16(b, 0x13));
    EXPECT_EQ(0u, Le32(b, 0x20));
  }
  {
    MemoryFormatStore store(65536ull * 512);
    ASSERT_STATUS(STATUS_SUCCESS, Format(store, 65536ull * 512, ""));
    auto b = store.Sector(0);
    EXPECT_EQ(0u, Le16(b, 0x13));
    EXPECT_EQ(65536u, Le32(b, 0x20));
  }
  {
    MemoryFormatStore store(2 * GiB);
    ASSERT_STATUS(STATUS_SUCCESS, Format(store, 2 * GiB, ""));
    auto b = store.Sector(0);
    EXPECT_EQ(64, b[0x0D]);
    EXPECT_EQ(0u, Le16(b, 0x13));
    EXPECT_EQ(4194304u, Le32(b, 0x20));
    EXPECT_EQ("FAT16   ", Text(b, 0x36, 8));
  }
}

TEST_F(FatFormat, LabelEntry) {
  {
    // Eleven characters fill the name exactly; bytes go in unchanged.
    MemoryFormatStore store(1 * MiB);
    ASSERT_STATUS(STATUS_SUCCESS, Format(store, 1 * MiB, "eleven.char"));
    auto root = store.Sector(7);
    EXPECT_EQ("eleven.char", Text(root, 0, 11));
    EXPECT_EQ(0x08, root[11]);
    EXPECT_EQ("Tavik      ", Text(store.Sector(0), 0x2B, 11));
  }
  {
    MemoryFormatStore store(1 * MiB);
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Format(store, 1 * MiB, "twelve chars"));
  }
  for (PCSTR empty : {static_cast<PCSTR>(nullptr), ""}) {
    // No label: the entry's first byte stays zero, the end of the directory.
    MemoryFormatStore store(1 * MiB);
    store.Fill(7 * 512, 512, 0xAB);
    ASSERT_STATUS(STATUS_SUCCESS, Format(store, 1 * MiB, empty));
    auto root = store.Sector(7);
    EXPECT_TRUE(AllZero(root, 0, 11));
    EXPECT_EQ(0x08, root[11]);
    EXPECT_TRUE(AllZero(root, 12, 23));
    EXPECT_EQ(0xAB, root[23]);  // only the 23 bytes of the entry are written
  }
}

TEST_F(FatFormat, BufferFreedWhenAllocationFails) {
  MemoryFormatStore store(1 * MiB);
  bw::InjectFault(bw::Fault::PoolAllocation, 0, 1);
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, Format(store, 1 * MiB, "X"));
  EXPECT_TRUE(store.Writes().empty());
}

TEST_F(FatFormat, FirstFailingWriteEndsTheFormat) {
  for (uint32_t failing = 0; failing < 3; ++failing) {
    for (bool inIoStatus : {false, true}) {
      MemoryFormatStore store(1 * MiB);
      store.FailWrite(failing, STATUS_DEVICE_DATA_ERROR, inIoStatus);
      EXPECT_STATUS(STATUS_DEVICE_DATA_ERROR, Format(store, 1 * MiB, "X")) << failing;
      EXPECT_EQ(failing + 1, store.Writes().size());
      EXPECT_EQ(0u, bw::PoolBytesWithTag(FORMAT_POOL_TAG));
    }
  }
}

}  // namespace
