// The whole system as a user lives it: the real daemon with both drivers,
// the control library and the file systems, each scenario from a fresh
// root. Each step runs in a process of its own (a program of the user's),
// since a reboot ends every process.
#include "ctl/ramctl.h"
#include "platform/daemon/tests/daemon_harness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace {

using bw::test::Daemon;

void WINAPI Ignore(uint64_t, uint32_t) {}

// A step's checks: the empty text when all held, else what did not.
using Step = std::function<std::string()>;

#define CHECK(condition)                                                                      \
  do {                                                                                        \
    if (!(condition))                                                                         \
      return std::string(#condition) + " failed (line " + std::to_string(__LINE__) + ", error " + \
             std::to_string(GetLastError()) + "/" + std::to_string(RamctlGetErrorCode()) + ")"; \
  } while (0)

// A step that must succeed; its failure is the message.
#define ASSERT_STEP(...)                               \
  do {                                                 \
    std::string failed_ = (__VA_ARGS__);               \
    ASSERT_TRUE(failed_.empty()) << failed_;           \
  } while (0)

std::u16string Wide(const std::string &text) { return std::u16string(text.begin(), text.end()); }

// A host path as a Windows path the system maps onto the host.
std::u16string HostPath(const std::string &path) {
  std::u16string windows = u"Z:";
  for (char c : path) windows += c == '/' ? u'\\' : static_cast<char16_t>(c);
  return windows;
}

bool WriteText(const std::u16string &path, const std::string &text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

std::string ReadText(const std::u16string &path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string text(1 << 16, '\0');
  DWORD read = 0;
  ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
  CloseHandle(file);
  text.resize(read);
  return text;
}

bool IsFolder(const std::u16string &path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::u16string FileSystemOf(const std::u16string &root) {
  char16_t name[32] = {};
  if (!GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name, 32)) return u"";
  return name;
}

// Waits until the condition holds, up to `ms`.
bool WaitFor(const std::function<bool()> &condition, int ms = 30000) {
  for (int waited = 0; waited < ms; waited += 50) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

class BootDisks : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output(); }
  void TearDown() override { daemon_.Stop(); }

  // Runs a step in a new process of the system (in logon session
  // `session` when given) and returns what failed.
  std::string Run(const Step &step, const std::string &session = "") {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return "no pipe";
    pid_t child = fork();
    if (child == 0) {
      close(pipeFds[0]);
      setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
      if (!session.empty()) setenv(BW_LOGON_SESSION_VARIABLE, session.c_str(), 1);
      std::string failed = RamctlInitialize(Ignore) ? step() : "RamctlInitialize failed";
      if (write(pipeFds[1], failed.data(), failed.size()) < 0) _exit(2);
      _exit(0);
    }
    close(pipeFds[1]);
    std::string failed;
    char buffer[512];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0) failed.append(buffer, n);
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failed += " (step ended abnormally)";
    return failed;
  }
  // A shutdown and the next boot.
  void Reboot() {
    ASSERT_EQ(0, daemon_.Stop()) << daemon_.Output();
    ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
  }
  // The power goes: nothing is saved.
  void PowerCut() {
    daemon_.Kill();
    ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
  }

  Daemon daemon_;
};

// A 512 MB FAT32 disk with letter R:, made through the library, filled,
// flushed to its image by the timer, unmounted and mounted again with the
// same files.
TEST_F(BootDisks, RoadOfOneRequest) {
  std::u16string image = HostPath(daemon_.Root() + "/r.img");
  ASSERT_STEP(Run([&] {
              CHECK(RamctlCreateImage(image.c_str(), 0, ENGINE_IMAGE_KIND_VOLUME, 512ull << 20, nullptr,
                                      ENGINE_ALGORITHM_NULL, ENGINE_FS_FAT32, "ROAD"));
              MountResult result{};
              CHECK(RamctlCreateMemoryVolumeEx(ENGINE_ALGORITHM_NULL, 0, image.c_str(), nullptr, 0, 0, 0, 0, nullptr,
                                               &result));
              CHECK(result.Status == 0 && result.ImageStatus == 0);
              CHECK(RamctlCreateLink(result.VolumeHandle, 1, u'R', 0));
              CHECK(FileSystemOf(u"R:\\") == u"FAT32");
              CHECK(CreateDirectoryW(u"R:\\Work", nullptr));
              for (int i = 0; i < 20; ++i)
                CHECK(WriteText(u"R:\\Work\\file" + Wide(std::to_string(i)) + u".txt", "contents " + std::to_string(i)));
              struct stat before {};
              stat((daemon_.Root() + "/r.img").c_str(), &before);
              CHECK(RamctlSetFlushState(result.VolumeHandle, 1, 1));
              // The timer's flush reaches the image; one more period makes sure
              // it ran after the last write.
              CHECK(WaitFor([&] {
                struct stat now {};
                stat((daemon_.Root() + "/r.img").c_str(), &now);
                return now.st_mtim.tv_sec != before.st_mtim.tv_sec || now.st_mtim.tv_nsec != before.st_mtim.tv_nsec;
              }));
              std::this_thread::sleep_for(std::chrono::milliseconds(2500));
              CHECK(RamctlUnmount(result.VolumeHandle, 1));
              CHECK(WaitFor([] { return !RamctlIsLetterUsed(u'R'); }));
              return std::string();
            }));
  ASSERT_STEP(Run([&] {
              MountResult again{};
              CHECK(RamctlCreateMemoryVolumeEx(ENGINE_ALGORITHM_NULL, 0, image.c_str(), nullptr, 0, 0, 0, 0, nullptr,
                                               &again));
              CHECK(again.Status == 0);
              CHECK(RamctlCreateLink(again.VolumeHandle, 1, u'R', 0));
              for (int i = 0; i < 20; ++i)
                CHECK(ReadText(u"R:\\Work\\file" + Wide(std::to_string(i)) + u".txt") == "contents " + std::to_string(i));
              CHECK(RamctlUnmount(again.VolumeHandle, 1));
              return std::string();
            }));
}

// A boot disk loaded from its image, with an initial folder and a one-second
// autoflush: its files survive a shutdown, a power cut after a completed
// flush, and another shutdown.
TEST_F(BootDisks, ImageBackedBootDiskSurvivesReboots) {
  std::u16string image = HostPath(daemon_.Root() + "/b.img");
  ASSERT_STEP(Run([&] {
              CHECK(RamctlCreateImage(image.c_str(), 0, ENGINE_IMAGE_KIND_VOLUME, 16 << 20, nullptr,
                                      ENGINE_ALGORITHM_NULL, ENGINE_FS_FAT, "BOOTB"));
              const WCHAR *folders[] = {u"\\Docs"};
              CHECK(RamctlAddAutoVolumeEx(u'B', nullptr, 0, ENGINE_MOUNT_MEMORY, 0, ENGINE_PROPERTY_SAVE_AT_SHUTDOWN,
                                          16 << 20, ENGINE_FS_FAT, "BOOTB", image.c_str(), folders, 1, 1, 1));
              return std::string();
            }));
  ASSERT_NO_FATAL_FAILURE(Reboot());
  std::string root = daemon_.Root();
  ASSERT_STEP(Run([&] {
              CHECK(WaitFor([] { return IsFolder(u"B:\\Docs"); }));
              CHECK(FileSystemOf(u"B:\\") == u"FAT");
              CHECK(WriteText(u"B:\\Docs\\first.txt", "written after the first boot"));
              struct stat before {};
              stat((root + "/b.img").c_str(), &before);
              CHECK(WaitFor([&] {
                struct stat now {};
                stat((root + "/b.img").c_str(), &now);
                return now.st_mtim.tv_sec != before.st_mtim.tv_sec || now.st_mtim.tv_nsec != before.st_mtim.tv_nsec;
              }));
              std::this_thread::sleep_for(std::chrono::milliseconds(2500));
              return std::string();
            }));
  ASSERT_NO_FATAL_FAILURE(PowerCut());
  ASSERT_STEP(Run([&] {
              CHECK(WaitFor([] { return IsFolder(u"B:\\Docs"); }));
              CHECK(ReadText(u"B:\\Docs\\first.txt") == "written after the first boot");
              CHECK(WriteText(u"B:\\second.txt", "saved at shutdown"));
              return std::string();
            }));
  ASSERT_NO_FATAL_FAILURE(Reboot());
  ASSERT_STEP(Run([&] {
              CHECK(WaitFor([] { return IsFolder(u"B:\\Docs"); }));
              CHECK(ReadText(u"B:\\Docs\\first.txt") == "written after the first boot");
              CHECK(ReadText(u"B:\\second.txt") == "saved at shutdown");
              return std::string();
            }));
}

// A fresh NTFS boot disk asked for compression comes up formatted, with
// its label, its root compressed and its folders.
TEST_F(BootDisks, CompressedNtfsBootDisk) {
  ASSERT_STEP(Run([&] {
              const WCHAR *folders[] = {u"\\Temp", u"\\Cache"};
              CHECK(RamctlAddAutoVolumeEx(u'n', nullptr, 0, ENGINE_MOUNT_MEMORY | ENGINE_MOUNT_COMPRESS, 0, 0, 64 << 20,
                                          ENGINE_FS_NTFS, "Scratch", nullptr, folders, 2, 0, 0));
              return std::string();
            }));
  ASSERT_NO_FATAL_FAILURE(Reboot());
  ASSERT_STEP(Run([&] {
              CHECK(WaitFor([] { return IsFolder(u"N:\\Cache"); }));
              CHECK(IsFolder(u"N:\\Temp"));
              char16_t label[64] = {}, fs[32] = {};
              CHECK(GetVolumeInformationW(u"N:\\", label, 64, nullptr, nullptr, nullptr, fs, 32));
              CHECK(std::u16string(fs) == u"NTFS");
              CHECK(std::u16string(label) == u"Scratch");
              CHECK(GetFileAttributesW(u"N:\\") & FILE_ATTRIBUTE_COMPRESSED);
              CHECK(WriteText(u"N:\\Temp\\t.txt", "on a boot disk"));
              uint64_t handle = 0;
              CHECK(RamctlFindVolumeByLetter(u'N', &handle));
              VolumeInformation info{};
              CHECK(RamctlQueryVolumeInformation(handle, &info));
              CHECK(info.StateFlags & ENGINE_VOLUME_STATE_MEMORY);
              return std::string();
            }));
  // Without an image it starts empty again at the next boot.
  ASSERT_NO_FATAL_FAILURE(Reboot());
  ASSERT_STEP(Run([&] {
              CHECK(WaitFor([] { return IsFolder(u"N:\\Temp"); }));
              CHECK(ReadText(u"N:\\Temp\\t.txt") == "<missing>");
              return std::string();
            }));
}

// A disk-emulated boot disk from a raw image holding two FAT partitions:
// the first gets the record's letter, the second its additional letter.
TEST_F(BootDisks, EmulatedDiskWithTwoPartitions) {
  std::string image = daemon_.Root() + "/disk.img";
  std::string made = bw::test::Run(
      "set -e; truncate -s 64M " + image + "; printf 'label: dos\\nstart=2048, size=61440, type=6\\nstart=63488, type=6\\n' | " +
      "sfdisk -q " + image + " >/dev/null; mkfs.fat -F 16 -n FIRST --offset 2048 " + image + " 30720 >/dev/null; " +
      "mkfs.fat -F 16 -n SECOND --offset 63488 " + image + " >/dev/null 2>&1 || " +
      "mkfs.fat -F 16 -n SECOND --offset 63488 " + image + " 32000 >/dev/null; echo made");
  ASSERT_NE(std::string::npos, made.find("made")) << made;
  std::u16string path = HostPath(image);
  ASSERT_STEP(Run([&] {
              const WCHAR additional[] = {u'Q'};
              uint32_t flags = ENGINE_MOUNT_MEMORY | ENGINE_MOUNT_RAW_IMAGE | ENGINE_MOUNT_DISK_EMULATION |
                               ENGINE_MOUNT_LISTED_PARTITION_LETTERS | ENGINE_MOUNT_BUS_HIDDEN |
                               ENGINE_MOUNT_BUS_SILENT_INSTALL;
              CHECK(RamctlAddAutoVolumeEx(u'P', additional, 1, flags, 0, 0, 64 << 20, ENGINE_FS_RAW, nullptr,
                                          path.c_str(), nullptr, 0, 0, 0));
              return std::string();
            }));
  ASSERT_NO_FATAL_FAILURE(Reboot());
  ASSERT_STEP(Run([&] {
              CHECK(WaitFor([] { return FileSystemOf(u"Q:\\") == u"FAT"; }));
              char16_t label[64] = {};
              CHECK(GetVolumeInformationW(u"P:\\", label, 64, nullptr, nullptr, nullptr, nullptr, 0));
              CHECK(std::u16string(label) == u"FIRST");
              CHECK(GetVolumeInformationW(u"Q:\\", label, 64, nullptr, nullptr, nullptr, nullptr, 0));
              CHECK(std::u16string(label) == u"SECOND");
              CHECK(WriteText(u"Q:\\hello.txt", "second partition"));
              CHECK(ReadText(u"Q:\\hello.txt") == "second partition");
              uint64_t handle = 0;
              CHECK(RamctlFindVolumeByLetter(u'P', &handle));
              VolumeInformation info{};
              CHECK(RamctlQueryVolumeInformation(handle, &info));
              CHECK(info.StateFlags & ENGINE_VOLUME_STATE_DISK_EMULATION);
              return std::string();
            }));
}

// The end of a logon session takes the letter of the disk made in it; a
// boot disk keeps its global letter.
TEST_F(BootDisks, SessionLetterGoesBootLetterStays) {
  ASSERT_STEP(Run([&] {
              CHECK(RamctlAddAutoVolumeEx(u'G', nullptr, 0, ENGINE_MOUNT_MEMORY, 0, 0, 8 << 20, ENGINE_FS_FAT, "GLOBAL",
                                          nullptr, nullptr, 0, 0, 0));
              return std::string();
            }));
  ASSERT_NO_FATAL_FAILURE(Reboot());
  // A user logs on: a session of its own, which the step's text reports.
  std::string session = Run([&] {
    LUID id{};
    if (!BwBeginLogonSession(&id)) return std::string("no session");
    char text[18] = {};
    BwFormatLogonSession(&id, text);
    return std::string(text);
  });
  ASSERT_EQ(17u, session.size()) << session;

  ASSERT_STEP(Run(
                    [&] {
                      CHECK(WaitFor([] { return FileSystemOf(u"G:\\") == u"FAT"; }));
                      MountResult result{};
                      CHECK(RamctlCreateMemoryVolumeEx(ENGINE_ALGORITHM_NULL, 8 << 20, nullptr, nullptr, 0, 0,
                                                       ENGINE_FS_FAT, 0, "LOCAL", &result));
                      CHECK(result.Status == 0);
                      CHECK(RamctlCreateLink(result.VolumeHandle, 1, u'S', 1));
                      CHECK(FileSystemOf(u"S:\\") == u"FAT");
                      return std::string();
                    },
                    session));
  ASSERT_STEP(Run([&] {
              LUID id{};
              CHECK(BwParseLogonSession(session.c_str(), &id));
              CHECK(BwEndLogonSession(&id));
              return std::string();
            }));
  ASSERT_STEP(Run([&] {
              CHECK(WaitFor([] { return !RamctlIsLetterUsed(u'S'); }));
              CHECK(FileSystemOf(u"G:\\") == u"FAT");
              // The session's volume and its memory stay; only the letter went.
              uint32_t count = 0;
              uint64_t *handles = nullptr;
              CHECK(RamctlGetVolumes(&count, &handles));
              RamctlFree(&handles);
              CHECK(count == 2);
              return std::string();
            }));
}


// A broken record (here one whose required value is gone) skips every boot
// disk of that start; the engine serves all the same.
TEST_F(BootDisks, BrokenRecordSkipsAllBootDisks) {
  ASSERT_STEP(Run([&] {
    CHECK(RamctlAddAutoVolumeEx(u'H', nullptr, 0, ENGINE_MOUNT_MEMORY, 0, 0, 8 << 20, ENGINE_FS_FAT, nullptr, nullptr,
                                nullptr, 0, 0, 0));
    CHECK(RamctlAddAutoVolumeEx(u'J', nullptr, 0, ENGINE_MOUNT_MEMORY, 0, 0, 8 << 20, ENGINE_FS_FAT, nullptr, nullptr,
                                nullptr, 0, 0, 0));
    HKEY key = nullptr;
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                        u"System\\CurrentControlSet\\Services\\RamvolEngine\\Options\\Auto\\J:", 0,
                        KEY_ALL_ACCESS, &key) == ERROR_SUCCESS);
    LSTATUS deleted = RegDeleteValueW(key, u"MountFlags");
    RegCloseKey(key);
    CHECK(deleted == ERROR_SUCCESS);
    return std::string();
  }));
  ASSERT_NO_FATAL_FAILURE(Reboot());
  ASSERT_STEP(Run([&] {
    // The engine answers; neither disk came, the healthy one included.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    uint32_t count = 7;
    uint64_t *handles = nullptr;
    CHECK(RamctlGetVolumes(&count, &handles));
    RamctlFree(&handles);
    CHECK(count == 0);
    CHECK(!RamctlIsLetterUsed(u'H'));
    VV_AUTO_VOLUME_DATA *records = nullptr;
    uint32_t listed = 0;
    CHECK(!RamctlGetAutoVolumes(&records, &listed));
    // A fresh memory volume is made as ever.
    MountResult result{};
    CHECK(RamctlCreateMemoryVolumeEx(ENGINE_ALGORITHM_NULL, 8 << 20, nullptr, nullptr, 0, 0, ENGINE_FS_FAT, 0, nullptr,
                                     &result));
    CHECK(result.Status == 0);
    return std::string();
  }));
}

}  // namespace
