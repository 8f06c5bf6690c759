// Peer checks of the NTFS formatter: images it writes are read by ntfs-3g's
// tools and by sleuthkit, mounted read-write through FUSE, filled, mounted
// again and read back.
#include "tools/filestore/file_format_store.h"
#include "engine/format/formatters.h"
#include "engine/format/ntfs/ntfs_geometry.h"
#include "engine/format/tests/support/peer_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint64_t MiB = 1024 * 1024;
constexpr uint64_t GiB = 1024 * MiB;

std::string Quote(const std::string &s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

struct Output {
  int code = -1;
  std::string text;
};

// Runs a shell command with a UTF-8 locale; stdout and stderr together.
Output Shell(const std::string &command, bool withStderr = true) {
  Output out;
  std::string full = "LC_ALL=C.UTF-8 " + command + (withStderr ? " 2>&1" : " 2>/dev/null");
  FILE *p = popen(full.c_str(), "r");
  if (!p) return out;
  char buffer[65536];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), p)) > 0) out.text.append(buffer, n);
  int status = pclose(p);
  out.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

bool HaveTool(const char *tool) {
  return Shell(std::string("command -v ") + tool + " >/dev/null").code == 0;
}

std::string ScratchDir() {
  return access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
}

// A sparse image file, removed when the test ends.
class Image {
 public:
  explicit Image(uint64_t size) {
    path_ = ScratchDir() + "/bw-ntfs-peer-" + std::to_string(getpid()) + "-" +
            std::to_string(counter_++) + ".img";
    int fd = open(path_.c_str(), O_CREAT | O_TRUNC | O_RDWR, 0600);
    ok_ = fd >= 0 && ftruncate(fd, static_cast<off_t>(size)) == 0;
    if (fd >= 0) close(fd);
  }
  ~Image() { unlink(path_.c_str()); }
  const std::string &path() const { return path_; }
  bool ok() const { return ok_; }
  uint64_t AllocatedBytes() const {
    struct stat st {};
    return stat(path_.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_blocks) * 512 : 0;
  }

 private:
  static inline int counter_ = 0;
  std::string path_;
  bool ok_ = false;
};

// Formats with the image tool when it is there, else through the formatter
// directly.
NTSTATUS FormatImage(const Image &image, const std::string &label) {
  std::string tool = std::string(BW_BIN_DIR) + "/fmtimage";
  if (access(tool.c_str(), X_OK) == 0) {
    Output out =
        Shell(Quote(tool) + " --fs ntfs --label " + Quote(label) + " " + Quote(image.path()));
    return out.code == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
  }
  std::string error;
  auto store = bw::FileFormatStore::Open(image.path(), &error);
  if (!store) return STATUS_UNSUCCESSFUL;
  return FormatVolume(store.get(), 0, fsNTFS, label.c_str(), 0, 0);
}

struct Config {
  const char *name;
  uint64_t size;
  std::string label;
};

void PrintTo(const Config &c, std::ostream *os) {
  *os << c.name << " \"" << c.label << "\"";
}

const std::string kLongLabel = "Brimwell RAM disk label 32 chars";
static_assert(sizeof("Brimwell RAM disk label 32 chars") == 33);

const Config kConfigs[] = {
    {"FiveMiB", 5 * MiB, ""},      {"SixtyFourMiB", 64 * MiB, kLongLabel},
    {"OneGiB", GiB, ""},           {"NotFourKiBAligned", 37 * MiB + 3 * 512, kLongLabel},
    {"Sparse64GiB", 64 * GiB, ""},
};

class NtfsPeer : public ::testing::TestWithParam<Config> {
 protected:
  void SetUp() override {
    for (auto [tool, package] : {std::pair{"ntfsinfo", "ntfs-3g"}, std::pair{"ntfsls", "ntfs-3g"},
                                  std::pair{"ntfscat", "ntfs-3g"}, std::pair{"fsstat", "sleuthkit"},
                                  std::pair{"fls", "sleuthkit"}}) {
      BW_REQUIRE_PEER_TOOL(bw::test::FindTool(tool), tool, package);
    }
    image_ = std::make_unique<Image>(GetParam().size);
    ASSERT_TRUE(image_->ok()) << "cannot create " << image_->path();
    ASSERT_EQ(STATUS_SUCCESS, FormatImage(*image_, GetParam().label));
    NtfsComputeGeometry(512, GetParam().size, GetParam().label.c_str(), &geometry_);
  }
  std::string Img() const { return Quote(image_->path()); }

  std::unique_ptr<Image> image_;
  NtfsGeometry geometry_{};
};

const char *const kSystemFiles[] = {"$AttrDef", "$BadClus", "$Bitmap", "$Boot",
                                    "$Extend",  "$LogFile", "$MFT",    "$MFTMirr",
                                    "$Secure",  "$UpCase",  "$Volume"};

TEST_P(NtfsPeer, ToolsReadTheFreshVolume) {
  const Config &c = GetParam();
  const uint64_t clusters = geometry_.ManagedClusters;

  // Formatting writes metadata only: a sparse image stays sparse.
  uint64_t metadata = (geometry_.Mft.Lcn + geometry_.Mft.Clusters + 1) * 4096;
  EXPECT_LE(image_->AllocatedBytes(), metadata + 4 * MiB);

  Output info = Shell("ntfsinfo -m " + Img());
  ASSERT_EQ(0, info.code) << info.text;
  EXPECT_NE(std::string::npos, info.text.find("Volume Name: " + c.label + "\n")) << info.text;
  EXPECT_NE(std::string::npos, info.text.find("Volume Version: 3.1")) << info.text;
  EXPECT_NE(std::string::npos, info.text.find("Cluster Size: 4096")) << info.text;
  EXPECT_NE(std::string::npos,
            info.text.find("Volume Size in Clusters: " + std::to_string(clusters)))
      << info.text;

  // Every metadata record opens, and names itself.
  const std::pair<int, const char *> records[] = {
      {0, "$MFT"},     {1, "$MFTMirr"}, {2, "$LogFile"}, {3, "$Volume"},  {4, "$AttrDef"},
      {5, "."},        {6, "$Bitmap"},  {7, "$Boot"},    {8, "$BadClus"}, {9, "$Secure"},
      {10, "$UpCase"}, {11, "$Extend"}, {24, "$Quota"},  {25, "$ObjId"},  {26, "$Reparse"}};
  for (const auto &[number, name] : records) {
    Output r = Shell("ntfsinfo -i " + std::to_string(number) + " " + Img());
    EXPECT_EQ(0, r.code) << number << r.text;
    EXPECT_NE(std::string::npos, r.text.find(std::string("Filename:\t\t '") + name + "'"))
        << number << r.text;
    EXPECT_EQ(std::string::npos, r.text.find("rror")) << number << r.text;
  }

  Output ls = Shell("ntfsls -s -a " + Img());
  ASSERT_EQ(0, ls.code) << ls.text;
  for (const char *name : kSystemFiles) {
    EXPECT_NE(std::string::npos, ls.text.find(std::string(name) + "\n")) << name << ls.text;
  }
  // The upper-case table and the attribute definitions read back whole.
  EXPECT_EQ(131072u, Shell("ntfscat " + Img() + " '$UpCase'", false).text.size());
  EXPECT_EQ(2560u, Shell("ntfscat " + Img() + " '$AttrDef'", false).text.size());

  Output stat = Shell("fsstat " + Img());
  ASSERT_EQ(0, stat.code) << stat.text;
  EXPECT_NE(std::string::npos, stat.text.find("File System Type: NTFS")) << stat.text;
  EXPECT_NE(std::string::npos, stat.text.find("Volume Serial Number: 1122334455667788"));
  if (c.label.empty()) {
    EXPECT_EQ(std::string::npos, stat.text.find("Volume Name: ")) << stat.text;
  } else {
    EXPECT_NE(std::string::npos, stat.text.find("Volume Name: " + c.label + "\n")) << stat.text;
  }
  EXPECT_NE(std::string::npos,
            stat.text.find("Total Cluster Range: 0 - " + std::to_string(clusters - 1)))
      << stat.text;
  EXPECT_NE(std::string::npos,
            stat.text.find("First Cluster of MFT: " + std::to_string(geometry_.Mft.Lcn)));

  Output fls = Shell("fls -r " + Img());
  ASSERT_EQ(0, fls.code) << fls.text;
  for (const char *name : kSystemFiles) {
    EXPECT_NE(std::string::npos, fls.text.find(std::string(":\t") + name)) << name << fls.text;
  }
  for (const char *name : {"$Quota:$Q", "$ObjId:$O", "$Reparse:$R", "$Secure:$SDS"}) {
    EXPECT_NE(std::string::npos, fls.text.find(name)) << name << fls.text;
  }

  if (HaveTool("ntfsfix")) {
    // The checker looks for the backup boot sector in the last sector of
    // the device; the volume keeps it in the last sector of its whole
    // clusters, so a range with a tail is checked over those clusters.
    std::string path = image_->path();
    std::string trimmed = path + ".volume";
    if (geometry_.VolumeSize != c.size) {
      ASSERT_EQ(0, Shell("cp --sparse=always " + Img() + " " + Quote(trimmed)).code);
      ASSERT_EQ(0, truncate(trimmed.c_str(), static_cast<off_t>(geometry_.VolumeSize)));
      path = trimmed;
    }
    Output fix = Shell("ntfsfix -n " + Quote(path));
    unlink(trimmed.c_str());
    EXPECT_EQ(0, fix.code) << fix.text;
    EXPECT_NE(std::string::npos, fix.text.find("$MFTMirr completed successfully")) << fix.text;
    EXPECT_NE(std::string::npos, fix.text.find("alternate boot sector... OK")) << fix.text;
  }
}

// ntfs-3g kept in the foreground, so that unmounting can wait for it to
// finish writing.
class Ntfs3g {
 public:
  ~Ntfs3g() {
    if (pid_ > 0) {
      Unmount();
    }
  }

  // Empty on success, else why the mount did not happen.
  std::string Mount(const std::string &image, const std::string &dir) {
    dir_ = dir;
    log_ = dir + ".log";
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(log_.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      execlp("ntfs-3g", "ntfs-3g", "-o", "no_detach", image.c_str(), dir.c_str(), nullptr);
      _exit(127);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      if (Mounted()) return "";
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return "ntfs-3g ended: " + Log();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return "ntfs-3g did not mount in time: " + Log();
  }

  // Unmounts and waits for ntfs-3g; true when it ended cleanly.
  bool Unmount() {
    if (pid_ <= 0) return false;
    Output out = Shell("umount " + Quote(dir_));
    if (out.code != 0) Shell("fusermount -u " + Quote(dir_));
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    unlink(log_.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  std::string Log() const {
    std::ifstream in(log_);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  bool Mounted() const {
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string id, parent, devices, root, point;
      fields >> id >> parent >> devices >> root >> point;
      if (point == dir_) return true;
    }
    return false;
  }

  pid_t pid_ = -1;
  std::string dir_;
  std::string log_;
};

// Deterministic contents: every file can be regenerated for the comparison.
std::string Pattern(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

std::string ReadFile(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// 180 characters of Latin, Greek, Cyrillic and CJK text.
std::string LongUnicodeName() {
  std::string name;
  for (int i = 0; i < 20; ++i) name += "Ünï名Ωжé🙂";  // 8 UTF-16 units + 1 pair
  return name + ".txt";
}

struct TreeFile {
  std::string path;
  size_t size;
};

TEST_P(NtfsPeer, MountWriteRemountReadBack) {
  BW_REQUIRE_PEER_TOOL(bw::test::FindTool("ntfs-3g"), "ntfs-3g", "ntfs-3g");
  if (access("/dev/fuse", R_OK | W_OK) != 0) {
    GTEST_SKIP() << "/dev/fuse is missing or not accessible; FUSE check skipped";
  }
  std::string dir = ScratchDir() + "/bw-ntfs-mnt-" + std::to_string(getpid());
  fs::create_directories(dir);
  struct Cleanup {
    std::string dir;
    ~Cleanup() { fs::remove(dir); }
  } cleanup{dir};

  std::vector<TreeFile> files;
  {
    Ntfs3g mount;
    std::string why = mount.Mount(image_->path(), dir);
    if (!why.empty()) GTEST_SKIP() << "mounting through FUSE is not permitted here: " << why;
    struct statvfs sv {};
    ASSERT_EQ(0, statvfs(dir.c_str(), &sv));
    uint64_t avail = static_cast<uint64_t>(sv.f_bavail) * sv.f_frsize;
    size_t big = static_cast<size_t>(std::min<uint64_t>(24 * MiB, avail / 2));
    files = {{"tree/big.bin", big},
             {"tree/empty", 0},
             {"tree/a/one.txt", 1},
             {"tree/a/b/c/deep.dat", 5000},
             {"tree/a/b/" + LongUnicodeName(), 777},
             {"tree/second/with space.bin", 65537}};
    for (size_t i = 0; i < files.size(); ++i) {
      fs::path p = fs::path(dir) / fs::u8path(files[i].path);
      fs::create_directories(p.parent_path());
      std::ofstream out(p, std::ios::binary);
      out << Pattern(files[i].size, static_cast<uint32_t>(i));
      ASSERT_TRUE(out.good()) << files[i].path;
    }
    fs::create_directories(fs::path(dir) / "tree/empty-dir");
    ASSERT_TRUE(mount.Unmount()) << mount.Log();
  }
  {
    Ntfs3g mount;
    std::string why = mount.Mount(image_->path(), dir);
    ASSERT_EQ("", why);
    for (size_t i = 0; i < files.size(); ++i) {
      fs::path p = fs::path(dir) / fs::u8path(files[i].path);
      EXPECT_EQ(Pattern(files[i].size, static_cast<uint32_t>(i)), ReadFile(p)) << files[i].path;
    }
    EXPECT_TRUE(fs::is_directory(fs::path(dir) / "tree/empty-dir"));
    ASSERT_TRUE(mount.Unmount()) << mount.Log();
  }

  // The offline tools see the same.
  Output ls = Shell("ntfsls -l -p /tree/a/b " + Img());
  ASSERT_EQ(0, ls.code) << ls.text;
  EXPECT_NE(std::string::npos, ls.text.find(LongUnicodeName())) << ls.text;
  EXPECT_NE(std::string::npos, ls.text.find(" c\n")) << ls.text;
  for (size_t i = 0; i < files.size(); ++i) {
    Output cat = Shell("ntfscat " + Img() + " " + Quote("/" + files[i].path), false);
    EXPECT_EQ(0, cat.code) << files[i].path;
    EXPECT_TRUE(cat.text == Pattern(files[i].size, static_cast<uint32_t>(i))) << files[i].path;
  }
  Output fls = Shell("fls -r " + Img());
  ASSERT_EQ(0, fls.code) << fls.text;
  EXPECT_NE(std::string::npos, fls.text.find(LongUnicodeName())) << fls.text;
  EXPECT_NE(std::string::npos, fls.text.find("deep.dat")) << fls.text;
  Output stat = Shell("fsstat " + Img());
  EXPECT_EQ(0, stat.code) << stat.text;
}

INSTANTIATE_TEST_SUITE_P(Volumes, NtfsPeer, ::testing::ValuesIn(kConfigs),
                         [](const ::testing::TestParamInfo<Config> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
