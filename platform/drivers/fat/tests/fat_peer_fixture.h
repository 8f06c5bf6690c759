// What the FAT driver's peer checks share: volumes made by mkfs.fat of each
// FAT type (FAT32 on the larger test disk), fsck.fat's verdict on the saved
// image, and names between the driver's UTF-16 and the tools' UTF-8.
#pragma once

#include "engine/format/tests/support/peer_support.h"
#include "platform/drivers/fat/tests/fat_fixture.h"

#include <map>
#include <string>

namespace bw::test {

struct FatKind {
  const char *name;
  int bits;
  ULONG64 bytes;
};

inline const FatKind kFatKinds[] = {
    {"Fat12", 12, 4ull << 20},
    {"Fat16", 16, 16ull << 20},
    {"Fat32", 32, 64ull << 20},
};

inline std::string KindName(const ::testing::TestParamInfo<FatKind> &info) { return info.param.name; }

inline std::string Utf8(const std::u16string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size()) c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A tree of folders (content "/") and files, by path below the root with
// '\\' between components.
using Tree = std::map<std::u16string, std::string>;
inline const std::string kFolder = "/";

class FatPeerTest : public FatVolumeTest, public ::testing::WithParamInterface<FatKind> {
 protected:
  void SetUp() override {
    FatVolumeTest::SetUp();
    fsck_ = FindTool("fsck.fat");
    mkfs_ = FindTool("mkfs.fat");
    mcopy_ = FindTool("mcopy");
    mdir_ = FindTool("mdir");
    mmd_ = FindTool("mmd");
    if (GetParam().bits == 32) UseLargeDisk();
  }

  // The tools are asked with UTF-8 names and without their geometry check
  // (the images have no partition table nor floppy geometry).
  static std::string Mtools(const std::string &tool) { return "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 " + tool; }

  // An empty volume of the parameter's FAT type made by mkfs.fat.
  std::string MkfsImage() {
    return MakeImage(GetParam().bytes, mkfs_ + " -F " + std::to_string(GetParam().bits) + " -n PEER %s");
  }

  // fsck.fat -n finds nothing to say but its banner and summary.
  void ExpectFsckClean(const std::string &when) {
    CommandResult r = RunCommand(fsck_ + " -n " + ShellQuote(imagePath_));
    EXPECT_EQ(0, r.exitCode) << when << "\n" << r.output;
    EXPECT_TRUE(FsckClean(r)) << when << "\n" << r.output;
  }

  std::string fsck_, mkfs_, mcopy_, mdir_, mmd_;
};

#define BW_REQUIRE_FAT_PEERS()                                 \
  do {                                                         \
    BW_REQUIRE_PEER_TOOL(fsck_, "fsck.fat", "dosfstools");     \
    BW_REQUIRE_PEER_TOOL(mkfs_, "mkfs.fat", "dosfstools");     \
    BW_REQUIRE_PEER_TOOL(mcopy_, "mcopy", "mtools");           \
    BW_REQUIRE_PEER_TOOL(mdir_, "mdir", "mtools");             \
    BW_REQUIRE_PEER_TOOL(mmd_, "mmd", "mtools");               \
  } while (0)

}  // namespace bw::test
