// Ramdeck's disk commands carried out by the running manager on a system
// with both drivers: logon disks added, written to, saved, unmounted,
// mounted again and deleted; boot disks written to the engine, made at the
// next start, and deleted.
#include "ctl/ramctl.h"
#include "manager/tests/manager_process.h"

#include <sys/stat.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

namespace {

using Ramdeck::test::kRamdeck;
using Ramdeck::test::HasLetter;
using Ramdeck::test::Manager;
using Ramdeck::test::WaitFor;

std::u16string HostPath(const std::string &path) {
  std::u16string windows = u"Z:";
  for (char c : path) windows += c == '/' ? u'\\' : static_cast<char16_t>(c);
  return windows;
}
std::string Narrow(const std::u16string &text) { return std::string(text.begin(), text.end()); }

void WINAPI Ignore(uint64_t, uint32_t) {}

// Runs `step` with the control library in a process of its own (the
// library is set up once per process); its exit code.
int InChild(const std::string &root, const std::function<bool()> &step) {
  pid_t child = fork();
  if (child == 0) {
    setenv("BRIMWELL_ROOT", root.c_str(), 1);
    _exit(RamctlInitialize(Ignore) && step() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// The letters of the engine's automatic volumes.
std::string AutoVolumeLetters(const std::string &root) {
  std::string letters;
  for (char c = 'A'; c <= 'Z'; ++c) {
    int found = InChild(root, [c] {
      VV_AUTO_VOLUME_DATA *first = nullptr;
      uint32_t count = 0;
      if (!RamctlGetAutoVolumes(&first, &count)) return false;
      bool has = false;
      const VV_AUTO_VOLUME_DATA *record = first;
      for (uint32_t i = 0; i < count && record; ++i, record = RamctlGetNextAutoVolume(record))
        if (record->DriveLetter == static_cast<uint16_t>(c)) has = true;
      RamctlFree(&first);
      return has;
    });
    if (found == 0) letters += c;
  }
  return letters;
}

class RamdeckCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  void TearDown() override { daemon_.Stop(); }
  // A later start handed its command line over and ended.
  bool Hand(std::vector<std::string> args) {
    Manager later(daemon_.Root(), std::move(args));
    return later.Wait() == 0;
  }
  std::string ConfigFile() const {
    auto bytes = bw::test::FileBytes(daemon_.Root() + "/C/ProgramData/Brimwell/Ramdeck/Ramdeck.xml");
    return std::string(bytes.begin(), bytes.end());
  }

  bw::test::Daemon daemon_;
};

TEST_F(RamdeckCommands, LogonDisksAddedSavedUnmountedMountedAndDeleted) {
  std::string image = daemon_.Root() + "/t.img";
  std::u16string imagePath = HostPath(image);
  ASSERT_EQ(0, InChild(daemon_.Root(), [&] {
              return RamctlCreateImage(imagePath.c_str(), 0, ENGINE_IMAGE_KIND_VOLUME, 32 << 20, nullptr,
                                       ENGINE_ALGORITHM_NULL, ENGINE_FS_FAT, "TDISK") != 0;
            }));

  Manager manager(daemon_.Root(), {"/add:letter=R,fs=fat32,size=64M"});
  ASSERT_TRUE(manager.WaitFor("started: ")) << manager.Output();
  ASSERT_TRUE(WaitFor([] { return HasLetter(u"R:\\"); })) << manager.Output();
  char16_t fs[16] = {};
  ASSERT_TRUE(GetVolumeInformationW(u"R:\\", nullptr, 0, nullptr, nullptr, nullptr, fs, 16));
  EXPECT_EQ(u"FAT32", std::u16string(fs));

  ASSERT_TRUE(Hand({"-add:letter=T:,image=" + Narrow(imagePath) + ",save=yes"}));
  ASSERT_TRUE(WaitFor([] { return HasLetter(u"T:\\"); })) << manager.Output();
  HANDLE file = CreateFileW(u"T:\\kept.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, "kept", 4, &written, nullptr));
  CloseHandle(file);
  struct stat before {};
  stat(image.c_str(), &before);

  ASSERT_TRUE(Hand({"/save:T"}));
  EXPECT_TRUE(WaitFor([&] {
    struct stat now {};
    stat(image.c_str(), &now);
    return now.st_mtim.tv_sec != before.st_mtim.tv_sec || now.st_mtim.tv_nsec != before.st_mtim.tv_nsec;
  }));
  ASSERT_TRUE(Hand({"/unmount:T"}));
  EXPECT_TRUE(WaitFor([] { return !HasLetter(u"T:\\"); })) << manager.Output();
  EXPECT_NE(std::string::npos, ConfigFile().find("mountable=\"False\"")) << ConfigFile();
  ASSERT_TRUE(Hand({"/MOUNT:t"}));
  ASSERT_TRUE(WaitFor([] { return HasLetter(u"T:\\"); })) << manager.Output();
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"T:\\kept.txt"));

  // A letter no disk has stops the command line with its message.
  ASSERT_TRUE(Hand({"/del:Q", "/del:R"}));
  EXPECT_TRUE(manager.WaitFor("Command line error: disk Q is not found")) << manager.Output();
  EXPECT_TRUE(HasLetter(u"R:\\"));
  ASSERT_TRUE(Hand({"/del:R"}));
  EXPECT_TRUE(WaitFor([] { return !HasLetter(u"R:\\"); })) << manager.Output();
  std::string config = ConfigFile();
  EXPECT_EQ(std::string::npos, config.find("letter=\"R\"")) << config;
  EXPECT_NE(std::string::npos, config.find("letter=\"T\"")) << config;

  // At its end the manager removes the logon disks it made.
  manager.Signal(SIGTERM);
  EXPECT_TRUE(WaitFor([] { return !HasLetter(u"T:\\"); }));
}

TEST_F(RamdeckCommands, BootDisksLiveInTheEngine) {
  {
    Manager manager(daemon_.Root(), {"/add:type=boot,letter=B,fs=ntfs,size=64M,label=Scratch,mount=no"});
    ASSERT_TRUE(manager.WaitFor("started: ")) << manager.Output();
    ASSERT_TRUE(WaitFor([&] { return AutoVolumeLetters(daemon_.Root()) == "B"; }));
    EXPECT_FALSE(HasLetter(u"B:\\"));
    // Boot disks are the engine's: the configuration file does not list them.
    EXPECT_EQ(std::string::npos, ConfigFile().find("letter=\"B\"")) << ConfigFile();
  }
  ASSERT_EQ(0, daemon_.Stop());
  ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
  ASSERT_TRUE(WaitFor([] { return HasLetter(u"B:\\"); }));
  char16_t label[64] = {}, fs[16] = {};
  ASSERT_TRUE(GetVolumeInformationW(u"B:\\", label, 64, nullptr, nullptr, nullptr, fs, 16));
  EXPECT_EQ(u"NTFS", std::u16string(fs));
  EXPECT_EQ(u"Scratch", std::u16string(label));

  // The next manager finds it among its disks and deletes it from the engine.
  Manager manager(daemon_.Root(), {"/del:B"});
  ASSERT_TRUE(manager.WaitFor("started: ")) << manager.Output();
  EXPECT_TRUE(WaitFor([&] { return AutoVolumeLetters(daemon_.Root()).empty(); })) << manager.Output();
  EXPECT_TRUE(WaitFor([] { return !HasLetter(u"B:\\"); })) << manager.Output();
}

}  // namespace
