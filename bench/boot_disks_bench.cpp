// Boot disks at start: `prepare` records four 1 GiB boot disks (W: FAT32 and
// X: NTFS formatted fresh, Y: FAT32 and V: NTFS loaded from images) in a running
// system; `probe T0` runs as the first program after a start at T0 (ns,
// CLOCK_REALTIME) and prints when it could first talk to the system, when
// its first request was answered (the start-up hold let it run) and when
// each boot disk's letter answered.
#include "ctl/ramctl.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace {

void WINAPI Ignore(uint64_t, uint32_t) {}

uint64_t NowNs() {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  return uint64_t(t.tv_sec) * 1000000000ull + t.tv_nsec;
}

std::u16string HostPath(const std::string &path) {
  std::u16string windows = u"Z:";
  for (char c : path) windows += c == '/' ? u'\\' : static_cast<char16_t>(c);
  return windows;
}

[[noreturn]] void Fail(const char *what) {
  fprintf(stderr, "bench: %s failed (error %u)\n", what, RamctlGetErrorCode());
  exit(1);
}

constexpr uint64_t kSize = 1ull << 30;

int Prepare(const std::string &folder) {
  if (!RamctlInitialize(Ignore)) Fail("RamctlInitialize");
  std::u16string fat = HostPath(folder + "/fat32.img"), ntfs = HostPath(folder + "/ntfs.img");
  if (!RamctlCreateImage(fat.c_str(), 1, ENGINE_IMAGE_KIND_VOLUME, kSize, nullptr, ENGINE_ALGORITHM_NULL,
                         ENGINE_FS_FAT32, "IMGFAT"))
    Fail("creating the FAT32 image");
  if (!RamctlCreateImage(ntfs.c_str(), 1, ENGINE_IMAGE_KIND_VOLUME, kSize, nullptr, ENGINE_ALGORITHM_NULL,
                         ENGINE_FS_NTFS, "IMGNTFS"))
    Fail("creating the NTFS image");
  struct {
    WCHAR letter;
    uint32_t fileSystem;
    const char *label;
    const std::u16string *image;
  } disks[] = {{u'W', ENGINE_FS_FAT32, "FRESHFAT", nullptr},
               {u'X', ENGINE_FS_NTFS, "FRESHNTFS", nullptr},
               {u'Y', ENGINE_FS_FAT32, nullptr, &fat},
               {u'V', ENGINE_FS_NTFS, nullptr, &ntfs}};
  for (auto &d : disks)
    if (!RamctlAddAutoVolumeEx(d.letter, nullptr, 0, ENGINE_MOUNT_MEMORY, 0, 0, kSize, d.fileSystem, d.label,
                               d.image ? d.image->c_str() : nullptr, nullptr, 0, 0, 0))
      Fail("adding a boot disk");
  return 0;
}

int Probe(uint64_t t0, int disks) {
  // The system answers once its socket is there; the first request also
  // makes this process, which the start-up hold keeps waiting.
  uint64_t connected = 0;
  HANDLE control = INVALID_HANDLE_VALUE;
  for (int i = 0; i < 60000 && control == INVALID_HANDLE_VALUE; ++i) {
    uint64_t before = NowNs();
    control = CreateFileW(u"\\\\.\\BrimwellVolume", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                          nullptr, OPEN_EXISTING, 0, nullptr);
    if (control == INVALID_HANDLE_VALUE) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    } else {
      connected = before;
    }
  }
  if (control == INVALID_HANDLE_VALUE) Fail("reaching the system");
  uint64_t running = NowNs();
  CloseHandle(control);
  const char16_t *roots[] = {u"W:\\", u"X:\\", u"Y:\\", u"V:\\"};
  uint64_t seen[4] = {};
  for (int round = 0; round < 120000; ++round) {
    bool done = true;
    for (int i = 0; i < disks; ++i) {
      if (seen[i]) continue;
      char16_t fs[16] = {};
      if (GetVolumeInformationW(roots[i], nullptr, 0, nullptr, nullptr, nullptr, fs, 16))
        seen[i] = NowNs();
      else
        done = false;
    }
    if (done) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  auto ms = [&](uint64_t t) { return t ? (t - t0) / 1e6 : -1.0; };
  printf("reachable_ms=%.1f running_ms=%.1f", ms(connected), ms(running));
  const char *what[] = {"fresh_fat32", "fresh_ntfs", "image_fat32", "image_ntfs"};
  for (int i = 0; i < disks; ++i) printf(" %s_ms=%.1f", what[i], ms(seen[i]));
  printf("\n");
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 3 && !strcmp(argv[1], "prepare")) return Prepare(argv[2]);
  if (argc == 4 && !strcmp(argv[1], "probe")) return Probe(strtoull(argv[2], nullptr, 10), atoi(argv[3]));
  fprintf(stderr, "usage: boot_disks_bench prepare FOLDER | probe T0_NS DISKS(0..4)\n");
  return 2;
}
