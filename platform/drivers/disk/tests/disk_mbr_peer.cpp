// A partition table the disk class driver wrote, read back through
// "\??\PhysicalDrive0" into a host file and read by sfdisk: the primary,
// extended and logical partitions it lists are the ones asked for.
#include "platform/drivers/disk/tests/disk_fixture.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace bw::test {
namespace {

constexpr ULONG64 kMiB = 1ull << 20;

std::string RunCommand(const std::string &command) {
  std::string output;
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return output;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe)) output += buffer;
  pclose(pipe);
  return output;
}

TEST_F(DiskTest, SfdiskReadsTheTableWrittenThroughTheDisk) {
  if (RunCommand("command -v sfdisk").empty()) GTEST_SKIP() << "sfdisk is not installed";
  AddDisk(64 * kMiB);
  SetLayout(0, Layout(0xDEADBEEF, {{kMiB, 8 * kMiB, PARTITION_IFS},
                                   {16 * kMiB, 32 * kMiB, PARTITION_EXTENDED},
                                   {},
                                   {},
                                   {16 * kMiB + 512, 4 * kMiB, PARTITION_FAT32},
                                   {24 * kMiB, 8 * kMiB, PARTITION_EXTENDED},
                                   {},
                                   {},
                                   {24 * kMiB + 512, 4 * kMiB, 0x83}}));
  Bytes image = ReadBytes(u"\\??\\PhysicalDrive0", 0, 64 * kMiB);
  std::string path = root_ + "/disk.img";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(image.data()), image.size());
  std::string dump = RunCommand("sfdisk --dump " + path + " 2>&1");
  EXPECT_NE(std::string::npos, dump.find("label: dos")) << dump;
  EXPECT_NE(std::string::npos, dump.find("label-id: 0xdeadbeef")) << dump;
  EXPECT_NE(std::string::npos, dump.find("disk.img1 : start=        2048, size=       16384, type=7")) << dump;
  EXPECT_NE(std::string::npos, dump.find("disk.img2 : start=       32768, size=       65536, type=5")) << dump;
  EXPECT_NE(std::string::npos, dump.find("disk.img5 : start=       32769, size=        8192, type=b")) << dump;
  EXPECT_NE(std::string::npos, dump.find("disk.img6 : start=       49153, size=        8192, type=83")) << dump;
}

}  // namespace
}  // namespace bw::test
