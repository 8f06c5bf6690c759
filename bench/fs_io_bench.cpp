// A 1 GiB file written and then read in 1 MiB calls through R:\ of a FAT32
// RAM disk, against the same transfers on the device of a second volume of
// the same size without a file system, from a separate user process.
//   fs_io_bench [--mib N] [--letter X] [--bare-letter Y]
#include "bench/win32_volumes.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr DWORD kMiB = 1 << 20;

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// `count` 1 MiB calls at the handle's position from its start; seconds.
double Pass(HANDLE handle, bool write, std::vector<char> &block, uint64_t count) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(handle, start, nullptr, FILE_BEGIN)) bench::Win32Fail("SetFilePointerEx");
  double began = Now();
  for (uint64_t i = 0; i < count; ++i) {
    DWORD done = 0;
    BOOL ok = write ? WriteFile(handle, block.data(), kMiB, &done, nullptr)
                    : ReadFile(handle, block.data(), kMiB, &done, nullptr);
    if (!ok || done != kMiB) bench::Win32Fail(write ? "WriteFile" : "ReadFile");
  }
  return Now() - began;
}

HANDLE OpenFile(const std::u16string &path, DWORD disposition, const char *what) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            disposition, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) bench::Win32Fail(what);
  return file;
}

void Report(const char *name, double rate, double anchor) {
  double ratio = rate / anchor;
  printf("%-10s MiB/s %8.1f | anchor volume device MiB/s %8.1f | ratio %.3f (target >= 0.5) %s\n", name, rate,
         anchor, ratio, ratio >= 0.5 ? "PASS" : "MISS");
}

}  // namespace

int main(int argc, char **argv) {
  uint64_t mib = 1024;
  char letter = 'R', bareLetter = 'S';
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--mib") mib = strtoull(argv[i + 1], nullptr, 0);
    else if (option == "--letter") letter = argv[i + 1][0];
    else if (option == "--bare-letter") bareLetter = argv[i + 1][0];
  }
  // Room for the file beside the file system's own tables.
  uint64_t volumeBytes = (mib + mib / 16 + 64) * kMiB;
  bench::Engine engine;
  uint64_t fat = engine.Create(volumeBytes, ENGINE_FS_FAT32);
  engine.Link(fat, letter);
  uint64_t raw = engine.Create(volumeBytes, ENGINE_FS_RAW);
  // A letterless volume admits no user process; with a letter it is still
  // opened by its device's name.
  engine.Link(raw, bareLetter);
  std::u16string device = engine.DevicePath(raw);
  std::u16string file = std::u16string{static_cast<char16_t>(letter)} + u":\\transfer.bin";

  std::vector<char> block(kMiB, 'x');
  // Both volumes' memory is taken when first written: one untimed pass each
  // first. The file is made anew for the timed pass and lands on the same
  // clusters, so the file system's own work (clusters, table, entry) is timed.
  HANDLE on = OpenFile(file, CREATE_ALWAYS, "making the file");
  Pass(on, true, block, mib);
  CloseHandle(on);
  if (!DeleteFileW(file.c_str())) bench::Win32Fail("DeleteFileW");
  HANDLE dev = OpenFile(device, OPEN_EXISTING, "opening the bare volume's device");
  Pass(dev, true, block, mib);

  on = OpenFile(file, CREATE_NEW, "making the file anew");
  double fileWrite = Pass(on, true, block, mib);
  double fileRead = Pass(on, false, block, mib);
  CloseHandle(on);
  double devWrite = Pass(dev, true, block, mib);
  double devRead = Pass(dev, false, block, mib);
  CloseHandle(dev);

  Report("file-write", mib / fileWrite, mib / devWrite);
  Report("file-read", mib / fileRead, mib / devRead);
  fflush(stdout);

  DeleteFileW(file.c_str());
  engine.Link(fat, letter, false);
  engine.Unmount(fat);
  engine.Link(raw, bareLetter, false);
  engine.Unmount(raw);
  return 0;
}
