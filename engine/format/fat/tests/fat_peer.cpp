// Peer checks: FAT images written by fmtimage, read by dosfstools, mtools,
// util-linux and sleuthkit.
#include "engine/format/tests/support/peer_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <sstream>

namespace {

using namespace bw::test;

constexpr uint64_t KiB = 1024;
constexpr uint64_t MiB = 1024 * KiB;
constexpr uint64_t GiB = 1024 * MiB;

struct Tools {
  std::string fsck, mcopy, mmd, mdir, blkid, fsstat, sfdisk;
};

const Tools &FindTools() {
  static Tools tools = {FindTool("fsck.fat"), FindTool("mcopy"),  FindTool("mmd"),
                        FindTool("mdir"),     FindTool("blkid"),  FindTool("fsstat"),
                        FindTool("sfdisk")};
  return tools;
}


// What fsck.fat reports about an image: the lines it printed that are not
// the intended differences, and the cluster counts of its summary.
struct FsckReport {
  int exitCode = -1;
  std::vector<std::string> unexpected;
  uint64_t usedClusters = 0;
  uint64_t totalClusters = 0;
  std::string output;
};

FsckReport RunFsck(const std::string &image) {
  FsckReport report;
  CommandResult r = RunCommand(FindTools().fsck + " -n " + ShellQuote(image));
  report.exitCode = r.exitCode;
  report.output = r.output;
  static const std::regex summary(R"(^.*: \d+ files, (\d+)/(\d+) clusters$)");
  std::istringstream lines(r.output);
  std::string line;
  while (std::getline(lines, line)) {
    std::smatch m;
    if (std::regex_match(line, m, summary)) {
      report.usedClusters = std::stoull(m[1]);
      report.totalClusters = std::stoull(m[2]);
      continue;
    }
    if (!FsckLineIntended(line)) report.unexpected.push_back(line);
  }
  return report;
}

void ExpectFsckClean(const std::string &image, const std::string &when) {
  FsckReport report = RunFsck(image);
  EXPECT_TRUE(report.exitCode == 0 || report.exitCode == 1) << when << "\n" << report.output;
  EXPECT_TRUE(report.unexpected.empty()) << when << ": fsck.fat found\n" << report.output;
  EXPECT_GT(report.totalClusters, 0u) << when << "\n" << report.output;
}

// blkid's export format escapes spaces.
std::string BlkidValue(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == ' ') out += '\\';
    out += c;
  }
  return out;
}

struct PeerCase {
  const char *name;
  uint64_t bytes;
  const char *fs;       // fmtimage --fs
  const char *label;    // empty = none
  const char *version;  // what the readers must see: FAT12, FAT16, FAT32
  uint64_t clusterBytes;
  bool fill;  // write one file over every cluster
};

std::ostream &operator<<(std::ostream &os, const PeerCase &c) { return os << c.name; }

class PeerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    BW_REQUIRE_PEER_TOOL(FindTools().fsck, "fsck.fat", "dosfstools");
    BW_REQUIRE_PEER_TOOL(FindTools().mcopy, "mcopy", "mtools");
    BW_REQUIRE_PEER_TOOL(FindTools().blkid, "blkid", "util-linux");
    BW_REQUIRE_PEER_TOOL(FindTools().fsstat, "fsstat", "sleuthkit");
    ASSERT_FALSE(folder_.Path().empty()) << "no temporary folder";
    ASSERT_EQ(0, access(FmtimagePath().c_str(), X_OK)) << "fmtimage not built: " << FmtimagePath();
  }

  CommandResult Fmtimage(const std::string &args) {
    return RunCommand(ShellQuote(FmtimagePath()) + " " + args);
  }

  // mtools on an image, optionally at a byte offset; no configuration file
  // and no geometry checks of its own.
  CommandResult Mtools(const std::string &tool, const std::string &image, uint64_t offset,
                       const std::string &args) {
    std::string target = image + (offset ? "@@" + std::to_string(offset) : "");
    return RunCommand("MTOOLSRC=/dev/null MTOOLS_SKIP_CHECK=1 " + tool + " -i " +
                      ShellQuote(target) + " " + args);
  }

  // Writes a few files and folders with mtools and reads them back.
  void WriteAndReadBack(const std::string &image, uint64_t offset, uint64_t capacity) {
    const Tools &t = FindTools();
    struct Item {
      std::string path;
      size_t size;
    };
    std::vector<Item> items = {{"EMPTY.TXT", 0}, {"ONE.BIN", 1}, {"Sector511.bin", 511}};
    if (capacity >= 64 * KiB) {
      items.push_back({"DIR/Inner file.dat", 3 * 4096 + 7});
      items.push_back({"DIR/SUB/DEEP.BIN", 513});
      items.push_back({"DIR/SUB/Long name with spaces.bin", 40 * KiB + 3});
    }
    if (capacity >= 8 * MiB) items.push_back({"BIG.BIN", 2 * MiB + 123});
    if (capacity >= 64 * KiB) {
      ASSERT_EQ(0, Mtools(t.mmd, image, offset, "::/DIR").exitCode);
      ASSERT_EQ(0, Mtools(t.mmd, image, offset, "::/DIR/SUB").exitCode);
    }
    uint32_t seed = 1;
    for (const Item &item : items) {
      std::string host = folder_.File("in-" + std::to_string(seed));
      auto bytes = PatternBytes(item.size, seed++);
      ASSERT_TRUE(WriteHostFile(host, bytes));
      CommandResult put = Mtools(t.mcopy, image, offset, ShellQuote(host) + " " +
                                                             ShellQuote("::/" + item.path));
      ASSERT_EQ(0, put.exitCode) << item.path << ": " << put.output;
    }
    seed = 1;
    for (const Item &item : items) {
      std::string host = folder_.File("out-" + std::to_string(seed));
      CommandResult get = Mtools(t.mcopy, image, offset, ShellQuote("::/" + item.path) + " " +
                                                             ShellQuote(host));
      ASSERT_EQ(0, get.exitCode) << item.path << ": " << get.output;
      std::vector<uint8_t> back;
      ASSERT_TRUE(ReadHostFile(host, &back));
      EXPECT_TRUE(back == PatternBytes(item.size, seed)) << item.path << " differs";
      ++seed;
    }
    CommandResult list = Mtools(t.mdir, image, offset, "-/ ::/");
    EXPECT_EQ(0, list.exitCode) << list.output;
    if (capacity >= 64 * KiB) {
      EXPECT_NE(std::string::npos, list.output.find("DEEP")) << list.output;
    }
  }

  TempFolder folder_;
};

class FatPeer : public PeerFixture, public ::testing::WithParamInterface<PeerCase> {};

TEST_P(FatPeer, ReadersAgree) {
  const PeerCase &c = GetParam();
  const Tools &t = FindTools();
  std::string image = folder_.File("image");
  ASSERT_TRUE(MakeSparseFile(image, c.bytes));
  std::string args = std::string("--fs ") + c.fs + " ";
  if (*c.label) args += "--label " + ShellQuote(c.label) + " ";
  CommandResult made = Fmtimage(args + ShellQuote(image));
  ASSERT_EQ(0, made.exitCode) << made.output;
  EXPECT_EQ("status=0x00000000\n", made.output);

  ExpectFsckClean(image, "fresh");

  // blkid: type, FAT version and label.
  CommandResult id = RunCommand(t.blkid + " -p -o export " + ShellQuote(image));
  EXPECT_EQ(0, id.exitCode) << id.output;
  EXPECT_NE(std::string::npos, id.output.find("TYPE=vfat\n")) << id.output;
  EXPECT_NE(std::string::npos, id.output.find(std::string("VERSION=") + c.version + "\n"))
      << id.output;
  if (*c.label) {
    EXPECT_NE(std::string::npos, id.output.find("LABEL=" + BlkidValue(c.label) + "\n"))
        << id.output;
  } else {
    EXPECT_EQ(std::string::npos, id.output.find("\nLABEL=")) << id.output;
  }

  // fsstat reads the same file system.
  CommandResult stat = RunCommand(t.fsstat + " " + ShellQuote(image));
  EXPECT_EQ(0, stat.exitCode) << stat.output;
  EXPECT_NE(std::string::npos,
            stat.output.find(std::string("File System Type: ") + c.version))
      << stat.output;
  EXPECT_NE(std::string::npos, stat.output.find("Cluster Size: " + std::to_string(c.clusterBytes)))
      << stat.output;
  if (*c.label) {
    EXPECT_NE(std::string::npos,
              stat.output.find(std::string("Volume Label (Root Directory): ") + c.label))
        << stat.output;
  }

  if (c.fill) {
    // One file over every cluster: the last clusters have FAT entries too.
    FsckReport fresh = RunFsck(image);
    uint64_t bytes = (fresh.totalClusters - fresh.usedClusters) * c.clusterBytes;
    std::string host = folder_.File("fill");
    auto data = PatternBytes(bytes, 99);
    ASSERT_TRUE(WriteHostFile(host, data));
    CommandResult put = Mtools(t.mcopy, image, 0, ShellQuote(host) + " ::/FILL.BIN");
    ASSERT_EQ(0, put.exitCode) << put.output;
    CommandResult get = Mtools(t.mcopy, image, 0, "::/FILL.BIN " + ShellQuote(host + ".back"));
    ASSERT_EQ(0, get.exitCode) << get.output;
    std::vector<uint8_t> back;
    ASSERT_TRUE(ReadHostFile(host + ".back", &back));
    EXPECT_TRUE(back == data) << "filled volume read back differently";
    FsckReport full = RunFsck(image);
    EXPECT_TRUE(full.unexpected.empty()) << full.output;
    EXPECT_EQ(full.totalClusters, full.usedClusters) << full.output;
  } else {
    WriteAndReadBack(image, 0, c.bytes);
    ExpectFsckClean(image, "after mtools");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, FatPeer,
    ::testing::Values(
        PeerCase{"Fat12Smallest", 35 * 512, "fat", "TINY", "FAT12", 512, true},
        PeerCase{"Fat12OneMiB", 1 * MiB, "fat", "ONE MIB", "FAT12", 512, true},
        PeerCase{"Fat12PastEstimateBoundary", 4130 * 512, "fat", "EDGE", "FAT12", 512, false},
        PeerCase{"Fat16Smallest", 4136 * 512, "fat", "F16", "FAT16", 512, false},
        PeerCase{"Fat16NoLabel", 16 * MiB, "fat", "", "FAT16", 512, false},
        PeerCase{"Fat16GrownTable", 64 * MiB, "fat", "GROWN", "FAT16", 1024, true},
        PeerCase{"Fat16OneGiB", 1 * GiB, "fat", "ONE GIB", "FAT16", 16 * KiB, false},
        PeerCase{"Fat16TwoGiB", 2 * GiB, "fat", "TWO GIB", "FAT16", 32 * KiB, false},
        PeerCase{"Fat32FallsBackToFat16", 32 * MiB, "fat32", "FALLBACK", "FAT16", 512, false},
        PeerCase{"Fat32Smallest", 66594 * 512, "fat32", "SMALL32", "FAT32", 512, false},
        PeerCase{"Fat32NoLabel", 300 * MiB, "fat32", "", "FAT32", 4096, false},
        PeerCase{"Fat32SparseLarge", 32 * GiB, "fat32", "LARGE", "FAT32", 16 * KiB, false}),
    [](const ::testing::TestParamInfo<PeerCase> &info) { return std::string(info.param.name); });

class FatPeerImage : public PeerFixture {};

// Over old contents: with --zero everything but the new structures reads
// as zero, and the readers see a clean volume.
TEST_F(FatPeerImage, ZeroFillOverOldData) {
  for (const char *fs : {"fat", "fat32"}) {
    std::string image = folder_.File(std::string("junk-") + fs);
    const uint64_t bytes = 66594 * 512;
    ASSERT_TRUE(MakeSparseFile(image, bytes));
    const auto junk = PatternBytes(1 * MiB, 7);
    for (uint64_t at = 0; at < bytes; at += junk.size()) {
      std::vector<uint8_t> piece(junk.begin(), junk.begin() + std::min<uint64_t>(junk.size(), bytes - at));
      ASSERT_TRUE(WriteHostBytes(image, at, piece));
    }
    CommandResult made = Fmtimage(std::string("--fs ") + fs + " --zero --label OLD " +
                                  ShellQuote(image));
    ASSERT_EQ(0, made.exitCode) << made.output;
    ExpectFsckClean(image, fs);
    std::vector<uint8_t> tail;
    ASSERT_TRUE(ReadHostBytes(image, 16 * MiB, 16 * MiB, &tail));
    EXPECT_TRUE(std::all_of(tail.begin(), tail.end(), [](uint8_t b) { return b == 0; }))
        << fs << ": data area not zeroed";
    WriteAndReadBack(image, 0, bytes);
    ExpectFsckClean(image, std::string(fs) + " after mtools");
  }
}

TEST_F(FatPeerImage, RawClearsTheFirstSectorOnly) {
  std::string image = folder_.File("raw");
  const uint64_t bytes = 1 * MiB;
  ASSERT_TRUE(MakeSparseFile(image, bytes));
  ASSERT_EQ(0, Fmtimage("--fs fat --label GONE " + ShellQuote(image)).exitCode);
  std::vector<uint8_t> before;
  ASSERT_TRUE(ReadHostFile(image, &before));
  CommandResult made = Fmtimage("--fs raw " + ShellQuote(image));
  ASSERT_EQ(0, made.exitCode) << made.output;
  std::vector<uint8_t> after;
  ASSERT_TRUE(ReadHostFile(image, &after));
  EXPECT_TRUE(std::all_of(after.begin(), after.begin() + 512, [](uint8_t b) { return b == 0; }));
  EXPECT_TRUE(std::equal(before.begin() + 512, before.end(), after.begin() + 512));
  CommandResult id = RunCommand(FindTools().blkid + " -p -o export " + ShellQuote(image));
  EXPECT_EQ(std::string::npos, id.output.find("TYPE=")) << id.output;
}

TEST_F(FatPeerImage, PartitionSectorInFront) {
  BW_REQUIRE_PEER_TOOL(FindTools().sfdisk, "sfdisk", "fdisk");
  const Tools &t = FindTools();
  std::string image = folder_.File("disk");
  const uint64_t bytes = 64 * MiB;
  ASSERT_TRUE(MakeSparseFile(image, bytes));
  CommandResult made = Fmtimage("--fs fat32 --partition --label PARTED " + ShellQuote(image));
  ASSERT_EQ(0, made.exitCode) << made.output;

  CommandResult dump = RunCommand(t.sfdisk + " --dump " + ShellQuote(image));
  ASSERT_EQ(0, dump.exitCode) << dump.output;
  EXPECT_NE(std::string::npos, dump.output.find("label: dos")) << dump.output;
  std::vector<uint8_t> mbr;
  ASSERT_TRUE(ReadHostBytes(image, 0, 512, &mbr));
  char id[32];
  std::snprintf(id, sizeof(id), "label-id: 0x%02x%02x%02x%02x", mbr[443], mbr[442], mbr[441],
                mbr[440]);
  EXPECT_NE(std::string::npos, dump.output.find(id)) << dump.output;
  std::regex entry(R"(start=\s*1, size=\s*(\d+), type=7\b)");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(dump.output, m, entry)) << dump.output;
  EXPECT_EQ(bytes / 512 - 1, std::stoull(m[1]));
  EXPECT_EQ(std::string::npos, dump.output.find("bootable")) << dump.output;

  // The file system starts one sector in.
  CommandResult probe =
      RunCommand(t.blkid + " -p -o export --offset 512 " + ShellQuote(image));
  EXPECT_NE(std::string::npos, probe.output.find("LABEL=PARTED\n")) << probe.output;
  EXPECT_NE(std::string::npos, probe.output.find("VERSION=FAT32\n")) << probe.output;
  CommandResult stat = RunCommand(t.fsstat + " -o 1 " + ShellQuote(image));
  EXPECT_EQ(0, stat.exitCode) << stat.output;
  EXPECT_NE(std::string::npos, stat.output.find("File System Type: FAT32")) << stat.output;
  WriteAndReadBack(image, 512, bytes - 512);

  // fsck.fat wants the volume on its own.
  std::string volume = folder_.File("volume");
  std::vector<uint8_t> data;
  ASSERT_TRUE(ReadHostBytes(image, 512, bytes - 512, &data));
  ASSERT_TRUE(WriteHostFile(volume, data));
  ExpectFsckClean(volume, "partition");
}

TEST_F(FatPeerImage, ToolReportsFailures) {
  std::string small = folder_.File("small");
  ASSERT_TRUE(MakeSparseFile(small, 1000));
  CommandResult refused = Fmtimage("--fs fat " + ShellQuote(small));
  EXPECT_EQ(1, refused.exitCode);
  EXPECT_EQ("status=0xC000000D\n", refused.output);
  EXPECT_EQ(1, Fmtimage("--fs fat --label TWELVE_CHARS " + ShellQuote(small)).exitCode);
  EXPECT_NE(0, Fmtimage("--fs fat " + ShellQuote(folder_.File("missing"))).exitCode);
  EXPECT_EQ(2, Fmtimage("--fs hpfs " + ShellQuote(small)).exitCode);
  EXPECT_EQ(2, Fmtimage(ShellQuote(small)).exitCode);
}

}  // namespace
