// ShellExecuteExW on a RAM disk: the host reaches a RAM disk's files only
// through the folder lettermount shows them in. Without it a file that
// exists is refused and a missing one is missing; with it a folder goes to
// the host's opener as that folder, and a program, which carries no
// execute bits there, is refused rather than handed to the opener.

#include "platform/daemon/tests/engine_win32_fixture.h"

#include <shellapi.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace bw::test {
namespace {

class RamDiskShell : public EngineWin32 {
 protected:
  void SetUp() override {
    EngineWin32::SetUp();
    if (HasFatalFailure()) return;
    volume_ = CreateVolume(0, 64ull << 20, ENGINE_FS_FAT32);
    ASSERT_NE(0u, volume_);
    ASSERT_TRUE(Link(volume_, ENGINE_LINK_CREATE, u'R')) << GetLastError();
    ASSERT_TRUE(CreateDirectoryW(u"R:\\docs", nullptr)) << GetLastError();
    HANDLE file = CreateFileW(u"R:\\prog.exe", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
    CloseHandle(file);
  }
  void TearDown() override {
    if (!folder_.empty()) {
      std::string command = "fusermount3 -u " + folder_ + " 2>/dev/null";
      if (system(command.c_str()) == 0) {
        for (int i = 0; i < 100 && Served(); ++i) usleep(50000);  // the tool closes its files
      }
      rmdir(folder_.c_str());
    }
    if (volume_) {
      Link(volume_, ENGINE_LINK_DELETE, 0);
      EngineWin32::Unmount(volume_);
    }
    EngineWin32::TearDown();
  }
  bool Served() {
    std::ifstream mounts("/proc/self/mounts");
    std::string line;
    while (std::getline(mounts, line))
      if (line.find(" " + folder_ + " ") != std::string::npos) return true;
    return false;
  }
  static DWORD Fails(LPCWSTR file) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof info;
    info.lpFile = file;
    if (ShellExecuteExW(&info)) return 0;
    return GetLastError();
  }

  uint64_t volume_ = 0;
  std::string folder_;
};

TEST_F(RamDiskShell, ReachedOnlyThroughLettermountsFolder) {
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Fails(u"R:\\prog.exe"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Fails(u"R:\\docs"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), Fails(u"R:\\none.exe"));

  int fuse = open("/dev/fuse", O_RDWR);
  if (fuse < 0) GTEST_SKIP() << "/dev/fuse cannot be opened";
  close(fuse);
  if (system("command -v fusermount3 >/dev/null") != 0) GTEST_SKIP() << "fusermount3 is missing";
  char pattern[] = "/tmp/ramshell.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(pattern));
  folder_ = pattern;
  std::string mount = std::string(BW_BIN_DIR "/lettermount --root ") + daemon_.Root() + " R: " + folder_;
  ASSERT_EQ(0, system(mount.c_str()));
  ASSERT_TRUE(Served());

  // An opener that writes what it was asked to open.
  std::string opener = daemon_.Root() + "/opener";
  std::filesystem::create_directories(opener);
  std::string out = daemon_.Root() + "/opened";
  std::ofstream(opener + "/xdg-open") << "#!/bin/sh\nprintf '%s\\n' \"$1\" > " << out << ".tmp\nmv " << out
                                      << ".tmp " << out << "\n";
  chmod((opener + "/xdg-open").c_str(), 0755);
  std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (opener + ":" + path).c_str(), 1);

  EXPECT_EQ(0u, Fails(u"r:\\DOCS\\"));
  std::string opened;
  for (int i = 0; i < 200 && !std::filesystem::exists(out); ++i) usleep(25000);
  std::ifstream(out) >> opened;
  EXPECT_EQ(folder_ + "/docs", opened);
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), Fails(u"R:\\prog.exe"));
  setenv("PATH", path.c_str(), 1);
}

}  // namespace
}  // namespace bw::test
