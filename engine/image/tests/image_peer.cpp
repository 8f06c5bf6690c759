// Peer checks: images made by CreateImage, with their header taken off (and
// xor images decoded), read by dosfstools, ntfs-3g and util-linux.
#include "engine/image/tests/image_fixture.h"
#include "engine/format/tests/support/peer_support.h"

#include <regex>
#include <sstream>

namespace storetest {
namespace {

using bw::test::CommandResult;
using bw::test::FsckClean;
using bw::test::FindTool;
using bw::test::RunCommand;
using bw::test::ShellQuote;

// Declares NameTool with the tool's path; a missing tool ends the test.
#define REQUIRE_TOOL(name, package)         \
  std::string name##Tool = FindTool(#name); \
  BW_REQUIRE_PEER_TOOL(name##Tool, #name, package)

struct PeerCase {
  ULONG algorithm;
  UCHAR layout;
  ULONG fileSystem;
  ULONGLONG size;
};

class ImagePeer : public ImageTest, public ::testing::WithParamInterface<PeerCase> {
 protected:
  // The volume as a plain file: what lies between the copies, decoded.
  std::string Extract(const std::string &image, const std::u16string &key) {
    std::vector<uint8_t> file = FileBytes(image);
    EXPECT_GE(file.size(), 8192u);
    std::vector<uint8_t> stored(file.begin() + 4096, file.end() - 4096);
    std::vector<uint8_t> volume = stored;
    if (GetParam().algorithm == CIPHER_ALGORITHM_XOR) {
      CipherHolder cipher;
      MakeCipher(&cipher, CIPHER_ALGORITHM_XOR, key);
      volume = Decode(stored, cipher.get()->KeyMaterial);
    }
    std::string out = image + ".volume";
    WriteFileBytes(out, volume);
    return out;
  }
};

// fsck.fat found nothing but what the formatter means, and read the volume.
TEST_P(ImagePeer, ToolsReadTheVolume) {
  const PeerCase &c = GetParam();
  REQUIRE_TOOL(sfdisk, "fdisk");
  const std::u16string key = u"peer key";
  std::string image = Host("peer.img");
  ASSERT_STATUS(STATUS_SUCCESS, CreateImage(image, c.algorithm, key, c.layout, c.size, c.fileSystem, "PEER"));
  std::string volume = Extract(image, key);
  std::string fileSystem = volume;
  if (c.layout == 2) {
    CommandResult dump = RunCommand(sfdiskTool + " --dump " + ShellQuote(volume));
    ASSERT_EQ(0, dump.exitCode) << dump.output;
    std::regex entry(R"(start=\s*1, size=\s*(\d+), type=7)");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(dump.output, m, entry)) << dump.output;
    EXPECT_EQ(c.size / 512 - 1, std::stoull(m[1]));
    // The partition's contents on their own.
    std::vector<uint8_t> bytes = FileBytes(volume);
    bytes.erase(bytes.begin(), bytes.begin() + 512);
    fileSystem = volume + ".part";
    WriteFileBytes(fileSystem, bytes);
  }
  if (c.fileSystem == 3) {
    REQUIRE_TOOL(ntfsinfo, "ntfs-3g");
    CommandResult info = RunCommand(ntfsinfoTool + " -m " + ShellQuote(fileSystem));
    EXPECT_EQ(0, info.exitCode) << info.output;
    EXPECT_NE(std::string::npos, info.output.find("PEER")) << info.output;
  } else {
    std::string fsck = FindTool("fsck.fat");
    BW_REQUIRE_PEER_TOOL(fsck, "fsck.fat", "dosfstools");
    CommandResult check = RunCommand(fsck + " -n " + ShellQuote(fileSystem));
    EXPECT_TRUE(FsckClean(check)) << check.output;
  }
}

INSTANTIATE_TEST_SUITE_P(Images, ImagePeer,
                         ::testing::Values(PeerCase{CIPHER_ALGORITHM_NULL, 1, 1, 16 << 20},
                                           PeerCase{CIPHER_ALGORITHM_XOR, 1, 2, 64 << 20},
                                           PeerCase{CIPHER_ALGORITHM_XOR, 1, 3, 16 << 20},
                                           PeerCase{CIPHER_ALGORITHM_NULL, 2, 3, 16 << 20},
                                           PeerCase{CIPHER_ALGORITHM_XOR, 2, 1, 16 << 20},
                                           PeerCase{CIPHER_ALGORITHM_NULL, 2, 2, 64 << 20}),
                         [](const ::testing::TestParamInfo<PeerCase> &info) {
                           const PeerCase &c = info.param;
                           return ImageCaseName(c.algorithm, c.layout, c.fileSystem) + "_" +
                                  std::to_string(c.size >> 20) + "MiB";
                         });

}  // namespace
}  // namespace storetest
