// The library against a running system with both drivers loaded: volumes
// made, queried, given letters and removed; automatic-volume records; the
// cache after other processes' actions; several threads at once; and the
// letter broadcast reaching another program's window.

#include "ctl/ramctl.h"
#include "platform/daemon/tests/daemon_harness.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using bw::test::Daemon;

std::mutex gEventLock;
// What the first routine was told; never destroyed, since the library's
// notification thread may still call it while the process exits.
auto &gEvents = *new std::vector<std::pair<uint64_t, uint32_t>>;
std::atomic<int> gSecondRoutineCalls{0};

void WINAPI Record(uint64_t handle, uint32_t event) {
  std::lock_guard<std::mutex> guard(gEventLock);
  gEvents.emplace_back(handle, event);
}
void WINAPI Second(uint64_t, uint32_t) { ++gSecondRoutineCalls; }

bool SawEvent(uint64_t handle, uint32_t event) {
  std::lock_guard<std::mutex> guard(gEventLock);
  for (auto &e : gEvents)
    if (e.first == handle && e.second == event) return true;
  return false;
}

template <class Condition>
bool WaitFor(Condition condition, int ms = 10000) {
  for (int waited = 0; waited < ms; waited += 20) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return condition();
}

std::set<uint64_t> Volumes() {
  uint32_t count = 0;
  uint64_t *handles = nullptr;
  std::set<uint64_t> set;
  if (!RamctlGetVolumes(&count, &handles)) return {0};
  for (uint32_t i = 0; i < count; ++i) set.insert(handles[i]);
  RamctlFree(&handles);
  return set;
}

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
    ASSERT_NE(0, RamctlInitialize(Record)) << RamctlGetErrorCode();
  }
  void TearDown() override { EXPECT_EQ(0, daemon_.Stop()); }

  uint64_t MemoryVolume(uint32_t flags = 0, uint32_t fileSystem = ENGINE_FS_FAT) {
    MountResult result{};
    EXPECT_NE(0, RamctlCreateMemoryVolumeEx(ENGINE_ALGORITHM_NULL, 8 << 20, nullptr, nullptr, flags, 0, fileSystem,
                                            0, "RAM", &result))
        << RamctlGetErrorCode();
    EXPECT_EQ(0, result.Status);
    EXPECT_EQ(0u, result.ImageStatus);
    return result.VolumeHandle;
  }
  // Another process's request to the engine, through devio.
  int Devio(uint32_t code, const std::vector<uint8_t> &input) {
    int exit = -1;
    bw::test::Run(std::string("BRIMWELL_ROOT=") + daemon_.Root() + " " BW_BIN_DIR "/devio '\\\\.\\BrimwellVolume' " +
                      std::to_string(code) + " " + bw::test::Hex(input) + " >/dev/null 2>&1",
                  &exit);
    return exit;
  }
  template <class T>
  static std::vector<uint8_t> Bytes(const T &record) {
    auto p = reinterpret_cast<const uint8_t *>(&record);
    return std::vector<uint8_t>(p, p + sizeof record);
  }

  Daemon daemon_;
};

TEST_F(Engine, VolumeFromCreationToRemoval) {
  uint64_t handle = MemoryVolume();
  ASSERT_NE(0u, handle);
  EXPECT_EQ(std::set<uint64_t>{handle}, Volumes());

  VolumeInformation info{};
  ASSERT_NE(0, RamctlQueryVolumeInformation(handle, &info));
  EXPECT_EQ(handle, uint64_t{info.VolumeHandle});
  EXPECT_EQ(uint64_t{8u << 20}, uint64_t{info.VolumeSize});
  EXPECT_TRUE(info.StateFlags & ENGINE_VOLUME_STATE_MEMORY);
  EXPECT_FALSE(info.StateFlags & ENGINE_VOLUME_STATE_HAS_LINK);
  EXPECT_EQ(ENGINE_ALGORITHM_NULL, uint32_t{info.AlgorithmId});

  LPWSTR name = nullptr;
  ASSERT_NE(0, RamctlGetDeviceName(handle, &name));
  ASSERT_NE(nullptr, name);
  EXPECT_EQ(0, std::u16string(name).rfind(u"\\Device\\", 0));
  RamctlFree(&name);
  LPWSTR image = reinterpret_cast<LPWSTR>(1);
  ASSERT_NE(0, RamctlGetImageFilePath(handle, &image));
  EXPECT_EQ(nullptr, image);  // a memory volume without an image

  EXPECT_EQ(0, RamctlIsLetterUsed(u'R'));
  ASSERT_NE(0, RamctlCreateLink(handle, 0, u'r', 0)) << RamctlGetErrorCode();
  EXPECT_NE(0, RamctlIsLetterUsed(u'R'));
  WCHAR letter = 0;
  ASSERT_NE(0, RamctlQueryVolumeLetter(handle, &letter));
  EXPECT_EQ(u'R', letter);
  uint64_t found = 0;
  ASSERT_NE(0, RamctlFindVolumeByLetter(u'r', &found));
  EXPECT_EQ(handle, found);
  EXPECT_NE(0, RamctlIsMemoryVolume(u'R'));
  EXPECT_EQ(0, RamctlFindVolumeByLetter(u'Q', &found));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OBJECT_NOT_FOUND), RamctlGetErrorCode());

  // The letter is taken: another volume cannot have it, unless the check
  // is left out (the engine then refuses a letter it cannot link).
  uint64_t other = MemoryVolume();
  EXPECT_EQ(0, RamctlCreateLink(other, 0, u'R', 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_ASSIGNED), RamctlGetErrorCode());
  EXPECT_EQ(0, RamctlCreateLinkEx(other, 0, -1, u'S', (const WCHAR[]){u'R'}, 1, 0, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_ASSIGNED), RamctlGetErrorCode());

  ASSERT_NE(0, RamctlDeleteLink(handle, -1));
  EXPECT_EQ(0, RamctlIsLetterUsed(u'R'));
  ASSERT_NE(0, RamctlUnmountEx(handle, 0, 1));
  ASSERT_NE(0, RamctlUnmount(other, 1));
  EXPECT_TRUE(WaitFor([&] { return Volumes().empty(); }));
  EXPECT_TRUE(WaitFor([&] { return SawEvent(handle, ENGINE_EVENT_VOLUME_REMOVED); }));
}

// The engine removes a volume with a letter once the letter goes: the
// unmount takes the letter away right after its request, before the
// engine's notification of the new letter may have come.
TEST_F(Engine, UnmountRightAfterTheLetterRemovesTheVolume) {
  uint64_t handle = MemoryVolume();
  ASSERT_NE(0, RamctlCreateLink(handle, 0, u'T', 0));
  ASSERT_NE(0, RamctlUnmount(handle, 1));
  EXPECT_TRUE(WaitFor([&] { return Volumes().empty(); }));
  EXPECT_EQ(0, RamctlIsLetterUsed(u'T'));
  // The library forgets the volume when it is told of the removal.
  EXPECT_TRUE(WaitFor([&] { return SawEvent(handle, ENGINE_EVENT_VOLUME_REMOVED); }));
  EXPECT_EQ(0, RamctlUnmount(handle, 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OBJECT_NOT_FOUND), RamctlGetErrorCode());
}

TEST_F(Engine, UnmountAllRemovesEveryVolume) {
  uint64_t a = MemoryVolume(), b = MemoryVolume(), c = MemoryVolume();
  ASSERT_NE(0, RamctlCreateLink(b, 0, u'U', 0));
  ASSERT_EQ((std::set<uint64_t>{a, b, c}), Volumes());
  uint64_t failed = 0;
  ASSERT_NE(0, RamctlUnmountAll(1, 0, &failed))
      << RamctlGetErrorCode() << " at " << (failed == a ? "a" : failed == b ? "b (lettered)" : "c");
  EXPECT_EQ(0u, failed);
  EXPECT_TRUE(WaitFor([&] { return Volumes().empty(); }));
  // Nothing left: still a success.
  EXPECT_NE(0, RamctlUnmountAll(0, 0, nullptr));
}

TEST_F(Engine, SecondInitializeKeepsTheFirstRoutine) {
  ASSERT_NE(0, RamctlInitialize(Second));
  uint64_t handle = MemoryVolume();
  EXPECT_TRUE(WaitFor([&] { return SawEvent(handle, ENGINE_EVENT_VOLUME_CREATED); }));
  EXPECT_EQ(0, gSecondRoutineCalls.load());
  ASSERT_NE(0, RamctlUnmount(handle, 1));
}

// A deletion of a volume without a letter, and properties without a
// change, need no engine: they succeed with the system gone.
TEST_F(Engine, DeleteLinkWithoutALinkSendsNothing) {
  uint64_t handle = MemoryVolume();
  ASSERT_EQ(0, daemon_.Stop());
  EXPECT_NE(0, RamctlDeleteLink(handle, -1));
  EXPECT_NE(0, RamctlSetProperties(handle, 0, 0));
  EXPECT_EQ(0, RamctlSetProperties(handle, 1, 0));  // this one would have to be sent
  ASSERT_TRUE(daemon_.Start({"--load-drivers"}));
}

TEST_F(Engine, CacheFollowsOtherProcesses) {
  uint64_t gone = MemoryVolume(), relettered = MemoryVolume();
  // Another process removes one volume: the cache lets go of it.
  UnmountRequest unmount{gone, 1, 0};
  ASSERT_EQ(0, Devio(IOCTL_ENGINE_UNMOUNT, Bytes(unmount)));
  ASSERT_TRUE(WaitFor([&] { return SawEvent(gone, ENGINE_EVENT_VOLUME_REMOVED); }));
  EXPECT_EQ(0, RamctlUnmount(gone, 1));
  EXPECT_EQ(static_cast<DWORD>(ERROR_OBJECT_NOT_FOUND), RamctlGetErrorCode());
  // ... and gives the other a letter: the cache sees it, so this process's
  // deletion removes that letter.
  LinkRequest link{};
  link.DriveLetter = u'Q';
  link.Operation = ENGINE_LINK_CREATE;
  link.VolumeHandle = relettered;
  link.PartitionSelector = -1;
  ASSERT_EQ(0, Devio(IOCTL_ENGINE_LINK, Bytes(link)));
  ASSERT_TRUE(WaitFor([&] { return SawEvent(relettered, ENGINE_EVENT_LETTERS_CHANGED); }));
  EXPECT_NE(0, RamctlIsLetterUsed(u'Q'));
  ASSERT_NE(0, RamctlDeleteLink(relettered, -1));
  EXPECT_EQ(0, RamctlIsLetterUsed(u'Q'));
  ASSERT_NE(0, RamctlUnmount(relettered, 1));
}

TEST_F(Engine, ThreadsAtOnce) {
  constexpr int kThreads = 6;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 3; ++round) {
        MountResult result{};
        if (!RamctlCreateMemoryVolumeEx(ENGINE_ALGORITHM_NULL, 4 << 20, nullptr, nullptr, 0, 0, ENGINE_FS_FAT, 0,
                                        nullptr, &result) ||
            result.Status != 0) {
          ++failures;
          continue;
        }
        WCHAR letter = static_cast<WCHAR>(u'E' + t);
        VolumeInformation info{};
        uint64_t found = 0;
        int step = 0;
        bool ok = (++step, RamctlQueryVolumeInformation(result.VolumeHandle, &info)) &&
                  (++step, RamctlCreateLink(result.VolumeHandle, 1, letter, 0)) &&
                  (++step, RamctlFindVolumeByLetter(letter, &found)) && (++step, found == result.VolumeHandle) &&
                  (++step, RamctlUnmountEx(result.VolumeHandle, 1, 0));
        if (!ok) {
          ++failures;
          ADD_FAILURE() << "thread " << t << " step " << step << " error " << RamctlGetErrorCode();
        }
      }
    });
  }
  for (auto &thread : threads) thread.join();
  EXPECT_EQ(0, failures.load());
  EXPECT_TRUE(WaitFor([&] { return Volumes().empty(); }));
}

// A fresh system has no automatic volumes: the count is taken out of a
// reply of four bytes, and no record follows.
TEST_F(Engine, EmptyAutoVolumeList) {
  VV_AUTO_VOLUME_DATA *records = nullptr;
  uint32_t count = 7;
  ASSERT_NE(0, RamctlGetAutoVolumes(&records, &count)) << RamctlGetErrorCode();
  EXPECT_EQ(0u, count);
  EXPECT_NE(nullptr, records);
  RamctlFree(&records);
  EXPECT_NE(0, RamctlDeleteAllAutoVolumes()) << RamctlGetErrorCode();
}

TEST_F(Engine, ImagesMadeMountedAndSaved) {
  std::string file = daemon_.Root() + "/disk.img";
  std::u16string path = u"Z:";
  for (char c : file) path += c == '/' ? u'\\' : static_cast<char16_t>(c);
  ASSERT_NE(0, RamctlCreateImage(path.c_str(), 0, ENGINE_IMAGE_KIND_VOLUME, 8 << 20, nullptr, ENGINE_ALGORITHM_NULL,
                                 ENGINE_FS_FAT, "IMG"))
      << RamctlGetErrorCode();
  // It exists: without overwrite nothing happens, and that is no failure.
  EXPECT_NE(0, RamctlCreateImage(path.c_str(), 0, ENGINE_IMAGE_KIND_VOLUME, 8 << 20, nullptr,
                                 ENGINE_ALGORITHM_NULL, ENGINE_FS_FAT, "IMG"));
  // Too small for NTFS: the engine's limit, as its own error.
  EXPECT_EQ(0, RamctlCreateImage(path.c_str(), 1, ENGINE_IMAGE_KIND_VOLUME, 64 << 10, nullptr,
                                 ENGINE_ALGORITHM_NULL, ENGINE_FS_NTFS, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_IMPLEMENTATION_LIMIT), RamctlGetErrorCode());
  ASSERT_NE(0, RamctlCreateImage(path.c_str(), 1, ENGINE_IMAGE_KIND_VOLUME, 8 << 20, nullptr,
                                 ENGINE_ALGORITHM_NULL, ENGINE_FS_FAT, "IMG"));

  EXPECT_NE(0, RamctlIsFileExists(path.c_str()));
  std::u16string folder = path.substr(0, path.rfind(u'\\'));
  EXPECT_EQ(0, RamctlIsFileExists(folder.c_str()));
  EXPECT_EQ(0, RamctlIsFileExists((folder + u"\\missing.img").c_str()));

  MountResult result{};
  ASSERT_NE(0, RamctlMountImage(path.c_str(), nullptr, 0, &result)) << RamctlGetErrorCode();
  ASSERT_EQ(0, result.Status);
  LPWSTR image = nullptr;
  ASSERT_NE(0, RamctlGetImageFilePath(result.VolumeHandle, &image));
  ASSERT_NE(nullptr, image);
  EXPECT_NE(std::u16string::npos, std::u16string(image).find(u"disk.img"));
  RamctlFree(&image);
  EXPECT_NE(0, RamctlSaveImage(result.VolumeHandle, ENGINE_SAVE_FLUSH_FIRST));
  EXPECT_NE(0, RamctlSetProperties(result.VolumeHandle, ENGINE_PROPERTY_SAVE_AT_SHUTDOWN, 0));
  VolumeInformation info{};
  ASSERT_NE(0, RamctlQueryVolumeInformation(result.VolumeHandle, &info));
  EXPECT_EQ(ENGINE_PROPERTY_SAVE_AT_SHUTDOWN, uint32_t{info.Properties});
  EXPECT_FALSE(info.StateFlags & ENGINE_VOLUME_STATE_MEMORY);
  ASSERT_NE(0, RamctlUnmount(result.VolumeHandle, 1));

  // A file that is no image: the request went through, the record says why.
  std::string junk = daemon_.Root() + "/junk.img";
  FILE *f = fopen(junk.c_str(), "w");
  fputs(std::string(70000, 'x').c_str(), f);
  fclose(f);
  std::u16string junkPath = path.substr(0, path.rfind(u'\\')) + u"\\junk.img";
  MountResult refused{};
  ASSERT_NE(0, RamctlMountImage(junkPath.c_str(), nullptr, 0, &refused));
  EXPECT_NE(0, refused.Status);
  EXPECT_EQ(0u, uint64_t{refused.VolumeHandle});
  EXPECT_NE(0u, refused.ImageStatus);
  // The engine removes an unmounted volume in the background.
  EXPECT_TRUE(WaitFor([&] { return Volumes().empty(); }));
}

// Another program's top-level window hears of the letter coming and going.
TEST_F(Engine, LetterBroadcastReachesAnotherProgramsWindow) {
  FILE *listener = popen((std::string("BRIMWELL_ROOT=") + daemon_.Root() + " " BW_BIN_DIR "/window_listener 2").c_str(),
                         "r");
  ASSERT_NE(nullptr, listener);
  char line[256] = {};
  ASSERT_NE(nullptr, fgets(line, sizeof line, listener));
  ASSERT_STREQ("ready\n", line);
  uint64_t handle = MemoryVolume();
  ASSERT_NE(0, RamctlCreateLink(handle, 0, u'R', 0));
  ASSERT_NE(0, RamctlDeleteLink(handle, -1));
  std::string heard;
  while (fgets(line, sizeof line, listener)) heard += line;
  EXPECT_EQ(0, pclose(listener));
  EXPECT_EQ("event=0x8000 size=20 type=2 mask=0x00020000\n"
            "event=0x8004 size=20 type=2 mask=0x00020000\n",
            heard);
  ASSERT_NE(0, RamctlUnmount(handle, 1));
}

// Dropping the caller's session links leaves a global link alone.
TEST_F(Engine, InvalidationKeepsGlobalLinks) {
  uint64_t handle = MemoryVolume();
  ASSERT_NE(0, RamctlCreateLink(handle, 0, u'W', 0)) << RamctlGetErrorCode();
  ASSERT_NE(0, RamctlInvalidateBySession()) << RamctlGetErrorCode();
  EXPECT_NE(0, RamctlIsLetterUsed(u'W'));
  VolumeInformation info{};
  ASSERT_NE(0, RamctlQueryVolumeInformation(handle, &info));
  EXPECT_EQ(0, uint8_t{info.SessionLocal});
  EXPECT_EQ(u'W', uint16_t{info.DriveLetter});
  ASSERT_NE(0, RamctlUnmount(handle, 1));
  EXPECT_TRUE(WaitFor([&] { return Volumes().empty(); }));
}

// What the system says of an engine volume's letter follows the device the
// engine made: a disk, removable when the volume was mounted so.
TEST_F(Engine, DriveTypesOfEngineVolumes) {
  uint64_t fixed = MemoryVolume(), removable = MemoryVolume(ENGINE_MOUNT_REMOVABLE);
  ASSERT_NE(0, RamctlCreateLink(fixed, 0, u'F', 0));
  ASSERT_NE(0, RamctlCreateLink(removable, 0, u'G', 0));
  EXPECT_EQ(static_cast<UINT>(DRIVE_FIXED), GetDriveTypeW(u"F:\\"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_REMOVABLE), GetDriveTypeW(u"G:\\"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), GetDriveTypeW(u"H:\\"));
  ASSERT_NE(0, RamctlUnmountAll(1, 0, nullptr));
}

// The restart enables the shutdown privilege itself (without it the system
// refuses), and the system comes back with the engine.
TEST_F(Engine, RebootRestartsTheSystem) {
  ASSERT_NE(0, RamctlReboot(0)) << RamctlGetErrorCode();
  auto readyCount = [&] {
    std::string out = daemon_.Output();
    size_t n = 0;
    for (size_t at = out.find("ready on"); at != std::string::npos; at = out.find("ready on", at + 1)) ++n;
    return n;
  };
  for (int i = 0; i < 600 && readyCount() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(2u, readyCount()) << daemon_.Output();
  HANDLE engine = CreateFileW(u"\\\\.\\BrimwellVolume", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, engine) << GetLastError();
  if (engine != INVALID_HANDLE_VALUE) CloseHandle(engine);
}

}  // namespace
