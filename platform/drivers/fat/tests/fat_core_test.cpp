// The FAT driver's on-disk core on volumes in memory: table entries of
// every width, FSInfo, short names and their collisions, long-name slots,
// names Windows refuses, folder growth and timestamps.
#include "platform/drivers/fat/fat_core.h"

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr ULONG kSector = 512;

std::u16string Wide(const std::string &ascii) { return std::u16string(ascii.begin(), ascii.end()); }

// A disk in memory that takes only what a disk takes: whole sectors.
struct MemoryDisk {
  std::vector<uint8_t> bytes;
  static NTSTATUS Read(PVOID context, ULONG64 offset, PVOID buffer, ULONG length) {
    auto *disk = static_cast<MemoryDisk *>(context);
    if (offset % kSector || length % kSector || offset + length > disk->bytes.size()) return STATUS_INVALID_PARAMETER;
    memcpy(buffer, disk->bytes.data() + offset, length);
    return STATUS_SUCCESS;
  }
  static NTSTATUS Write(PVOID context, ULONG64 offset, const VOID *buffer, ULONG length) {
    auto *disk = static_cast<MemoryDisk *>(context);
    if (offset % kSector || length % kSector || offset + length > disk->bytes.size()) return STATUS_INVALID_PARAMETER;
    memcpy(disk->bytes.data() + offset, buffer, length);
    return STATUS_SUCCESS;
  }
  uint32_t Le32(size_t at) const {
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
  }
};

void Put16(uint8_t *p, unsigned v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t *p, uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}

struct Shape {
  int bits;
  ULONG total, reserved, rootEntries, fatSectors;
};
// One sector per cluster; FAT12 and FAT16 by cluster count, FAT32 by its
// boot sector.
constexpr Shape kFat12{12, 2048, 1, 64, 6};
constexpr Shape kFat16{16, 20000, 1, 64, 79};
constexpr Shape kFat32{32, 8192, 32, 0, 65};

class FatCoreTest : public ::testing::Test {
 protected:
  void TearDown() override { FatRelease(&core_); }

  void Format(const Shape &s) {
    shape_ = s;
    disk_.bytes.assign(static_cast<size_t>(s.total) * kSector, 0);
    uint8_t *b = disk_.bytes.data();
    b[0] = 0xEB, b[1] = 0x3C, b[2] = 0x90;
    Put16(b + 11, kSector);
    b[13] = 1;
    Put16(b + 14, s.reserved);
    b[16] = 2;
    Put16(b + 17, s.rootEntries);
    Put16(b + 19, s.total);
    b[21] = 0xF8;
    if (s.bits == 32) {
      Put32(b + 36, s.fatSectors);
      Put32(b + 44, 2);
      Put16(b + 48, 1);
      Put16(b + 50, 6);
      b[66] = 0x29;
      uint8_t *info = b + kSector;
      Put32(info, 0x41615252);
      Put32(info + 484, 0x61417272);
      Put32(info + 488, Clusters() - 1);
      Put32(info + 492, 3);
      Put32(info + 508, 0xAA550000);
    } else {
      Put16(b + 22, s.fatSectors);
      b[38] = 0x29;
    }
    b[510] = 0x55, b[511] = 0xAA;
    for (ULONG copy = 0; copy < 2; ++copy) {
      uint8_t *fat = b + (s.reserved + copy * s.fatSectors) * kSector;
      if (s.bits == 12) fat[0] = 0xF8, fat[1] = 0xFF, fat[2] = 0xFF;
      if (s.bits == 16) Put16(fat, 0xFFF8), Put16(fat + 2, 0xFFFF);
      if (s.bits == 32) Put32(fat, 0x0FFFFFF8), Put32(fat + 4, 0x0FFFFFFF), Put32(fat + 8, 0x0FFFFFFF);
    }
    Mount();
  }
  void Mount() {
    FatRelease(&core_);
    FatBlockDevice device{&disk_, &MemoryDisk::Read, &MemoryDisk::Write};
    ASSERT_EQ(STATUS_SUCCESS, FatMount(&core_, &device));
    ASSERT_EQ(ULONG(shape_.bits), core_.FatBits);
  }
  ULONG Clusters() const {
    ULONG rootSectors = shape_.rootEntries * 32 / kSector;
    return shape_.total - shape_.reserved - 2 * shape_.fatSectors - rootSectors;
  }
  size_t FatByte(ULONG copy, size_t at) const { return (shape_.reserved + copy * shape_.fatSectors) * kSector + at; }
  ULONG Root() const { return core_.FatBits == 32 ? core_.RootCluster : 0; }

  FatEntry Add(const std::u16string &name, UCHAR attributes = kFatAttrArchive) {
    FatDirent fields{};
    fields.Attributes = attributes;
    FatEntry entry{};
    EXPECT_EQ(STATUS_SUCCESS, FatAddEntry(&core_, Root(), reinterpret_cast<const WCHAR *>(name.data()),
                                          static_cast<USHORT>(name.size()), &fields, &entry));
    return entry;
  }
  static std::u16string ShortOf(const FatEntry &e) {
    return std::u16string(reinterpret_cast<const char16_t *>(e.Short), e.ShortLength);
  }
  static std::u16string NameOf(const FatEntry &e) {
    return std::u16string(reinterpret_cast<const char16_t *>(e.Name), e.NameLength);
  }
  std::vector<FatEntry> Entries() {
    std::vector<FatEntry> all;
    FatEntry e;
    for (ULONG offset = 0; FatNextEntry(&core_, Root(), &offset, &e) == STATUS_SUCCESS;) all.push_back(e);
    return all;
  }

  Shape shape_{};
  MemoryDisk disk_;
  FatVolumeCore core_{};
};

TEST_F(FatCoreTest, Fat12PacksOddAndEvenEntriesAcrossBytesAndSectors) {
  Format(kFat12);
  // 340 is even and ends the first table sector; 341 is odd and straddles
  // the first two.
  FatSetEntry(&core_, 340, 0xABC);
  FatSetEntry(&core_, 341, 0x123);
  FatSetEntry(&core_, 342, 0xFFF);
  FatSetEntry(&core_, 343, 0x001);
  EXPECT_EQ(0xABCu, FatGet(&core_, 340));
  EXPECT_EQ(0x123u, FatGet(&core_, 341));
  EXPECT_EQ(0xFFFu, FatGet(&core_, 342));
  EXPECT_EQ(0x001u, FatGet(&core_, 343));
  EXPECT_EQ(0u, FatGet(&core_, 339));
  EXPECT_EQ(0u, FatGet(&core_, 344));
  ASSERT_EQ(STATUS_SUCCESS, FatFlushTable(&core_));
  for (ULONG copy = 0; copy < 2; ++copy) {
    EXPECT_EQ(0xBC, disk_.bytes[FatByte(copy, 510)]) << copy;
    EXPECT_EQ(0x3A, disk_.bytes[FatByte(copy, 511)]) << copy;
    EXPECT_EQ(0x12, disk_.bytes[FatByte(copy, 512)]) << copy;
    EXPECT_EQ(0xFF, disk_.bytes[FatByte(copy, 513)]) << copy;
    EXPECT_EQ(0x1F, disk_.bytes[FatByte(copy, 514)]) << copy;
    EXPECT_EQ(0x00, disk_.bytes[FatByte(copy, 515)]) << copy;
  }
  // Changing one half of a shared byte leaves the other.
  FatSetEntry(&core_, 341, 0);
  EXPECT_EQ(0xABCu, FatGet(&core_, 340));
  ASSERT_EQ(STATUS_SUCCESS, FatFlushTable(&core_));
  Mount();
  EXPECT_EQ(0xABCu, FatGet(&core_, 340));
  EXPECT_EQ(0u, FatGet(&core_, 341));
  EXPECT_EQ(0xFFFu, FatGet(&core_, 342));
  EXPECT_TRUE(FatIsEndOfChain(&core_, 0xFF8));
  EXPECT_FALSE(FatIsEndOfChain(&core_, 0xFF7));  // a bad cluster ends nothing
}

TEST_F(FatCoreTest, Fat32KeepsTheReservedBitsAndItsFsInfoUpToDate) {
  Format(kFat32);
  const ULONG clusters = Clusters();
  EXPECT_EQ(clusters, core_.ClusterCount);
  EXPECT_EQ(clusters - 1, core_.FreeClusters);
  disk_.bytes[FatByte(0, 40 * 4 + 3)] = 0xA0;  // reserved bits of entry 40
  Mount();
  FatSetEntry(&core_, 40, 0x0FFFFFFF);
  EXPECT_EQ(0x0FFFFFFFu, FatGet(&core_, 40));
  FatSetEntry(&core_, 40, 0);
  ASSERT_EQ(STATUS_SUCCESS, FatFlushTable(&core_));
  EXPECT_EQ(0xA0000000u, disk_.Le32(FatByte(0, 160)));
  EXPECT_EQ(0xA0000000u, disk_.Le32(FatByte(1, 160)));

  ULONG first = 0;
  ASSERT_EQ(STATUS_SUCCESS, FatAllocate(&core_, 0, 10, &first));
  EXPECT_EQ(3u, first);  // 2 is the root's
  ASSERT_EQ(STATUS_SUCCESS, FatFlushTable(&core_));
  EXPECT_EQ(clusters - 11, disk_.Le32(kSector + 488));
  EXPECT_EQ(13u, disk_.Le32(kSector + 492));
  ULONG length = 0;
  ASSERT_EQ(STATUS_SUCCESS, FatChainLength(&core_, first, &length));
  EXPECT_EQ(10u, length);

  // Too many: refused, nothing changes.
  std::vector<UCHAR> table(core_.Fat, core_.Fat + core_.FatSectors * kSector);
  ULONG none = 0;
  EXPECT_EQ(STATUS_DISK_FULL, FatAllocate(&core_, 0, clusters - 10, &none));
  EXPECT_EQ(0u, none);
  EXPECT_EQ(clusters - 11, core_.FreeClusters);
  EXPECT_TRUE(std::equal(table.begin(), table.end(), core_.Fat));

  // Every last one, wrapping past the end to the start.
  ULONG rest = 0;
  ASSERT_EQ(STATUS_SUCCESS, FatAllocate(&core_, 0, clusters - 11, &rest));
  EXPECT_EQ(0u, core_.FreeClusters);
  ASSERT_EQ(STATUS_SUCCESS, FatFlushTable(&core_));
  EXPECT_EQ(0u, disk_.Le32(kSector + 488));
  FatFreeChain(&core_, first);
  FatFreeChain(&core_, rest);
  ASSERT_EQ(STATUS_SUCCESS, FatFlushTable(&core_));
  EXPECT_EQ(clusters - 1, disk_.Le32(kSector + 488));
  Mount();
  EXPECT_EQ(clusters - 1, core_.FreeClusters);
}

TEST_F(FatCoreTest, ChainsThatLoopOrLeaveTheVolumeAreCorrupt) {
  Format(kFat16);
  FatSetEntry(&core_, 5, 6);
  FatSetEntry(&core_, 6, 5);
  ULONG length = 0;
  EXPECT_EQ(STATUS_FILE_CORRUPT_ERROR, FatChainLength(&core_, 5, &length));
  FatSetEntry(&core_, 6, 0xFFF0);
  EXPECT_EQ(STATUS_FILE_CORRUPT_ERROR, FatChainLength(&core_, 5, &length));
  FatFreeChain(&core_, 5);  // ends, and frees what it walked
  EXPECT_EQ(0u, FatGet(&core_, 5));
}

TEST_F(FatCoreTest, GeneratedShortNamesStayUniqueInACrowdedFolder) {
  Format(kFat16);
  std::set<std::u16string> shorts;
  const std::regex hashed(R"(^LO[0-9A-F]{4}~[1-9]\.TXT$)");
  for (int i = 1; i <= 20; ++i) {
    std::u16string name = u"Long file name ";
    for (char c : std::to_string(i)) name += static_cast<char16_t>(c);
    FatEntry e = Add(name + u".txt");
    std::u16string s = ShortOf(e);
    EXPECT_TRUE(shorts.insert(s).second) << i;
    if (i <= 9) {
      EXPECT_EQ(u"LONGFI~" + std::u16string(1, static_cast<char16_t>(u'0' + i)) + u".TXT", s);
    } else {
      std::string narrow(s.begin(), s.end());
      EXPECT_TRUE(std::regex_match(narrow, hashed)) << narrow;
    }
  }
  // An 8.3 name that a generated one already holds gets slots of its own.
  FatEntry taken = Add(u"LONGFI~1.TXT");
  EXPECT_NE(taken.FirstSlot, taken.Offset);
  EXPECT_NE(u"LONGFI~1.TXT", ShortOf(taken));
  EXPECT_EQ(u"LONGFI~1.TXT", NameOf(taken));
  // What is on disk reads back the same, each name found by itself (but
  // that last one, whose name is another's short name, found first).
  std::vector<FatEntry> all = Entries();
  ASSERT_EQ(21u, all.size());
  all.pop_back();
  for (const FatEntry &e : all) {
    FatEntry found{};
    ASSERT_EQ(STATUS_SUCCESS, FatFindEntry(&core_, Root(), e.Name, e.NameLength, &found));
    EXPECT_EQ(e.Offset, found.Offset);
  }
}

TEST_F(FatCoreTest, ShortNamesKeepCaseFlagsAndOemLetters) {
  Format(kFat12);
  FatEntry lower = Add(u"lower.c");
  EXPECT_EQ(lower.FirstSlot, lower.Offset);  // no long-name slots
  EXPECT_EQ(0x18, lower.Dirent.CaseFlags);
  EXPECT_EQ(0, memcmp(lower.Dirent.Name, "LOWER   C  ", 11));
  FatEntry mixed = Add(u"Mixed.c");
  EXPECT_NE(mixed.FirstSlot, mixed.Offset);
  EXPECT_EQ(u"MIXED~1.C", ShortOf(mixed));
  // Letters of code page 437 stay, upper-cased; others become '_'.
  FatEntry unicode = Add(u"\u00fcn\u00efcode \u4e2d.txt");
  EXPECT_EQ(0x9A, unicode.Dirent.Name[0]);
  EXPECT_EQ(u"\u00dcN_COD~1.TXT", ShortOf(unicode));
  FatEntry sharp = Add(u"stra\u00dfe");
  EXPECT_EQ(u"STRA\u00dfE~1", ShortOf(sharp));
  FatEntry dots = Add(u"...hidden");
  EXPECT_EQ(u"HIDDEN~1", ShortOf(dots));
  FatEntry marks = Add(u"a+b=c[1];d.txt");
  EXPECT_EQ(u"A_B_C_~1.TXT", ShortOf(marks));

  // A short entry another system wrote: OEM bytes, lower case by flags.
  FatDirent raw{};
  memcpy(raw.Name, "CAF\x90    \x8E\x58T", 11);
  raw.CaseFlags = 0x18;
  raw.Attributes = kFatAttrArchive;
  FatEntry spot = Add(u"spot");
  ASSERT_EQ(STATUS_SUCCESS, FatWriteDirent(&core_, Root(), spot.Offset, &raw));
  std::vector<FatEntry> all = Entries();
  ASSERT_FALSE(all.empty());
  EXPECT_EQ(u"caf\u00e9.\u00e4xt", NameOf(all.back()));
  FatEntry found{};
  std::u16string upper = u"CAF\u00c9.\u00c4XT";
  EXPECT_EQ(STATUS_SUCCESS, FatFindEntry(&core_, Root(), reinterpret_cast<const WCHAR *>(upper.data()),
                                         static_cast<USHORT>(upper.size()), &found));
}

// A folder of many entries is looked up through its name index: every
// name and short name must still be found, short names stay unique, slots
// freed are used again, and what a fresh mount reads agrees.
TEST_F(FatCoreTest, ACrowdedFolderFindsEveryNameAndReusesItsFreedSlots) {
  Format(kFat32);
  auto name = [](int i) { return u"file-" + Wide(std::to_string(i)) + u".dat"; };
  auto find = [&](const std::u16string &n, FatEntry *e) {
    return FatFindEntry(&core_, Root(), reinterpret_cast<const WCHAR *>(n.data()), static_cast<USHORT>(n.size()), e);
  };
  constexpr int kFiles = 600;
  std::vector<std::u16string> shorts;
  for (int i = 0; i < kFiles; ++i) shorts.push_back(ShortOf(Add(name(i))));
  EXPECT_EQ(size_t(kFiles), std::set<std::u16string>(shorts.begin(), shorts.end()).size());
  FatEntry missing{};
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, find(u"file-600.dat", &missing));
  auto lookAll = [&](const char *when) {
    for (int i = 0; i < kFiles; i += 7) {
      FatEntry e{};
      ASSERT_EQ(STATUS_SUCCESS, find(name(i), &e)) << when << " " << i;
      EXPECT_EQ(name(i), NameOf(e));
      std::u16string upper = name(i);
      for (auto &c : upper) c = (c >= u'a' && c <= u'z') ? c - 32 : c;
      ASSERT_EQ(STATUS_SUCCESS, find(upper, &e)) << when << " " << i;
      ASSERT_EQ(STATUS_SUCCESS, find(shorts[i], &e)) << when << " " << i;
      EXPECT_EQ(name(i), NameOf(e)) << when;
    }
  };
  lookAll("indexed");
  ULONG grown = 0;
  ASSERT_EQ(STATUS_SUCCESS, FatChainLength(&core_, Root(), &grown));

  // A hundred go and a hundred others come: the folder does not grow, the
  // gone ones are not found, the newcomers are.
  for (int i = 100; i < 200; ++i) {
    FatEntry e{};
    ASSERT_EQ(STATUS_SUCCESS, find(name(i), &e));
    ASSERT_EQ(STATUS_SUCCESS, FatRemoveEntry(&core_, Root(), &e));
  }
  // Names of one slot each, as the gone ones: they fit in the holes.
  auto other = [](int i) { return u"new-" + Wide(std::to_string(i)) + u".dat"; };
  for (int i = 0; i < 100; ++i) shorts[100 + i] = ShortOf(Add(other(i)));
  ULONG after = 0;
  ASSERT_EQ(STATUS_SUCCESS, FatChainLength(&core_, Root(), &after));
  EXPECT_EQ(grown, after);
  FatEntry e{};
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, find(name(150), &e));
  EXPECT_EQ(STATUS_SUCCESS, find(other(50), &e));
  EXPECT_EQ(size_t(kFiles), Entries().size());
  EXPECT_EQ(size_t(kFiles), std::set<std::u16string>(shorts.begin(), shorts.end()).size());

  ASSERT_EQ(STATUS_SUCCESS, FatFlushTable(&core_));
  Mount();  // nothing known but what is on the volume
  EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, find(name(150), &e));
  EXPECT_EQ(STATUS_SUCCESS, find(other(50), &e));
  EXPECT_EQ(STATUS_SUCCESS, find(name(599), &e));
}

// A folder removed and another made on its clusters: nothing known of the
// first may place or hide an entry of the second.
TEST_F(FatCoreTest, AFolderMadeOnAGoneFoldersClustersStartsAfresh) {
  Format(kFat32);
  FatDirent fields{};
  fields.Attributes = kFatAttrDirectory;
  ULONG first = 0;
  ASSERT_EQ(STATUS_SUCCESS, FatMakeDirectory(&core_, Root(), &fields, &first));
  FatSetDirentCluster(&fields, first);
  FatEntry folder{};
  ASSERT_EQ(STATUS_SUCCESS, FatAddEntry(&core_, Root(), reinterpret_cast<const WCHAR *>(u"old"), 3, &fields, &folder));
  FatDirent file{};
  file.Attributes = kFatAttrArchive;
  for (int i = 0; i < 40; ++i) {
    std::u16string n = u"a long name number " + Wide(std::to_string(i));
    ASSERT_EQ(STATUS_SUCCESS, FatAddEntry(&core_, first, reinterpret_cast<const WCHAR *>(n.data()),
                                          static_cast<USHORT>(n.size()), &file, nullptr));
  }
  // Emptied entry by entry, then removed with its clusters.
  FatEntry e{};
  for (ULONG offset = 0; FatNextEntry(&core_, first, &offset, &e) == STATUS_SUCCESS;)
    if (e.Dirent.Name[0] != '.') {
      ASSERT_EQ(STATUS_SUCCESS, FatRemoveEntry(&core_, first, &e));
    }
  ASSERT_EQ(STATUS_SUCCESS, FatRemoveEntry(&core_, Root(), &folder));
  FatFreeChain(&core_, first);

  core_.NextFree = first;
  ULONG again = 0;
  ASSERT_EQ(STATUS_SUCCESS, FatMakeDirectory(&core_, Root(), &fields, &again));
  ASSERT_EQ(first, again);
  ASSERT_EQ(STATUS_SUCCESS, FatAddEntry(&core_, again, reinterpret_cast<const WCHAR *>(u"newcomer"), 8, &file, nullptr));
  std::vector<std::u16string> names;
  for (ULONG offset = 0; FatNextEntry(&core_, again, &offset, &e) == STATUS_SUCCESS;) names.push_back(NameOf(e));
  EXPECT_EQ((std::vector<std::u16string>{u".", u"..", u"newcomer"}), names);
}

TEST_F(FatCoreTest, LongNameSlotsNeedTheirShortEntrysChecksum) {
  // Values from folders mtools wrote.
  EXPECT_EQ(0x7E, FatShortChecksum(reinterpret_cast<const UCHAR *>("LEVEL1~1   ")));
  EXPECT_EQ(0x2F, FatShortChecksum(reinterpret_cast<const UCHAR *>("MANY       ")));

  Format(kFat32);
  std::u16string longName(200, u'n');
  longName += u".data";
  FatEntry e = Add(longName);
  EXPECT_EQ(16u * 32, e.Offset - e.FirstSlot);  // 205 characters: 16 slots
  std::vector<FatEntry> all = Entries();
  ASSERT_EQ(1u, all.size());
  EXPECT_EQ(longName, NameOf(all[0]));
  // The short entry changed behind the slots' back: they no longer count.
  FatDirent changed = e.Dirent;
  changed.Name[0] = 'X';
  ASSERT_EQ(STATUS_SUCCESS, FatWriteDirent(&core_, Root(), e.Offset, &changed));
  all = Entries();
  ASSERT_EQ(1u, all.size());
  EXPECT_EQ(ShortOf(all[0]), NameOf(all[0]));
  EXPECT_EQ(all[0].Offset, all[0].FirstSlot);
}

TEST_F(FatCoreTest, FoldersGrowByClustersAndTheFixedRootFills) {
  Format(kFat32);
  // 512-byte clusters hold 16 slots: 40 names of three slots each need eight.
  for (int i = 0; i < 40; ++i) Add(u"File number " + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                                   std::u16string(1, static_cast<char16_t>(u'a' + i / 26)));
  ULONG length = 0;
  ASSERT_EQ(STATUS_SUCCESS, FatChainLength(&core_, core_.RootCluster, &length));
  EXPECT_EQ(8u, length);
  EXPECT_EQ(40u, Entries().size());

  Format(kFat12);
  for (int i = 0; i < 64; ++i) Add(u"F" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                                   std::u16string(1, static_cast<char16_t>(u'A' + i / 26)));
  FatDirent fields{};
  std::u16string one = u"ONEMORE";
  EXPECT_EQ(STATUS_DISK_FULL, FatAddEntry(&core_, 0, reinterpret_cast<const WCHAR *>(one.data()),
                                          static_cast<USHORT>(one.size()), &fields, nullptr));
}

TEST(FatNames, WindowsRefusesTheseNames) {
  auto valid = [](const std::u16string &name) {
    return FatIsValidName(reinterpret_cast<const WCHAR *>(name.data()), static_cast<USHORT>(name.size())) != FALSE;
  };
  for (const char16_t *bad : {u"", u".", u"..", u"a<b", u"a>b", u"a:b", u"a\"b", u"a/b", u"a\\b", u"a|b", u"a?b",
                              u"a*b", u"tab\there", u"trailing.", u"trailing "})
    EXPECT_FALSE(valid(bad)) << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
  EXPECT_FALSE(valid(std::u16string(256, u'x')));
  for (const char16_t *good : {u"a", u".profile", u"...x", u"a+b,c;d=e[f]", u" leading", u"\u00e9t\u00e9", u"a.b.c"})
    EXPECT_TRUE(valid(good));
  EXPECT_TRUE(valid(std::u16string(255, u'x')));
}

TEST(FatTimes, TwoSecondStepsTenthsAndTheRangeFatHolds) {
  auto local = [](CSHORT y, CSHORT mo, CSHORT d, CSHORT h, CSHORT mi, CSHORT s, CSHORT ms) {
    TIME_FIELDS f{y, mo, d, h, mi, s, ms, 0};
    LARGE_INTEGER l, system;
    EXPECT_TRUE(RtlTimeFieldsToTime(&f, &l));
    ExLocalTimeToSystemTime(&l, &system);
    return system;
  };
  USHORT date = 0, clock = 0;
  UCHAR tenths = 0;
  LARGE_INTEGER t = local(2024, 2, 29, 13, 45, 31, 250);
  FatTimeFromSystem(t, &date, &clock, &tenths);
  EXPECT_EQ((44 << 9) | (2 << 5) | 29, date);
  EXPECT_EQ((13 << 11) | (45 << 5) | 15, clock);
  EXPECT_EQ(125, tenths);
  EXPECT_EQ(t.QuadPart, FatTimeToSystem(date, clock, tenths).QuadPart);
  // Without tenths the odd second is lost.
  EXPECT_EQ(local(2024, 2, 29, 13, 45, 30, 0).QuadPart, FatTimeToSystem(date, clock, 0).QuadPart);
  FatTimeFromSystem(local(1975, 6, 1, 12, 0, 0, 0), &date, &clock, &tenths);
  EXPECT_EQ((0 << 9) | (1 << 5) | 1, date);
  EXPECT_EQ(0, clock);
  FatTimeFromSystem(local(2150, 1, 1, 0, 0, 0, 0), &date, &clock, &tenths);
  EXPECT_EQ((127 << 9) | (12 << 5) | 31, date);
  EXPECT_EQ((23 << 11) | (59 << 5) | 29, clock);
  EXPECT_EQ(0, FatTimeToSystem(0, 0, 0).QuadPart);     // no date: no time
  EXPECT_EQ(0, FatTimeToSystem(0x21 | (13 << 5), 0, 0).QuadPart);  // month 13
}

}  // namespace
