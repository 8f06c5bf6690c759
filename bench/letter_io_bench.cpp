// Reads and writes of a RAM disk from a separate user process, through
// ramvold, by its drive letter (ReadFile/WriteFile on \\.\R:): sequential
// 1 MiB transfers against memcpy of 1 MiB blocks in this process, and
// 4 KiB random reads, one thread, one request at a time, as requests per
// second for the script to set against another block server.
//   letter_io_bench [--mib N] [--seconds S] [--letter X]
#include "engine/protocol/engine_protocol.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr DWORD kMiB = 1 << 20;

[[noreturn]] void Fail(const char *what) {
  fprintf(stderr, "letter_io_bench: %s failed (error %u)\n", what, GetLastError());
  exit(1);
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <typename T>
void Control(HANDLE control, DWORD code, const T &input, void *output, DWORD outputLength, const char *what) {
  DWORD returned = 0;
  if (!DeviceIoControl(control, code, const_cast<T *>(&input), sizeof(input), output, outputLength, &returned,
                       nullptr))
    Fail(what);
}

void Transfer(HANDLE volume, bool write, void *buffer, DWORD length, uint64_t offset) {
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(offset);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD done = 0;
  BOOL ok = write ? WriteFile(volume, buffer, length, &done, &at) : ReadFile(volume, buffer, length, &done, &at);
  if (!ok || done != length) Fail(write ? "WriteFile" : "ReadFile");
}

}  // namespace

int main(int argc, char **argv) {
  uint64_t mib = 512;
  double seconds = 3;
  char letter = 'R';
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--mib") mib = strtoull(argv[i + 1], nullptr, 0);
    else if (option == "--seconds") seconds = atof(argv[i + 1]);
    else if (option == "--letter") letter = argv[i + 1][0];
  }
  uint64_t size = mib * kMiB;

  HANDLE control = CreateFileW(u"\\\\.\\BrimwellVolume", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (control == INVALID_HANDLE_VALUE) Fail("opening the engine");
  CreateMemoryVolumeRequest create = {};
  create.AlgorithmId = ENGINE_ALGORITHM_NULL;
  create.VolumeSize = size;
  create.MountFlags = ENGINE_MOUNT_MEMORY;
  // The record, then the (empty) path's terminating zero.
  struct {
    CreateMemoryVolumeRequest head;
    uint16_t terminator;
  } __attribute__((packed)) input = {create, 0};
  MountResult mounted = {};
  Control(control, IOCTL_ENGINE_CREATE_MEMORY_VOLUME, input, &mounted, sizeof(mounted), "CreateMemoryVolume");
  if (mounted.Status != 0) {
    fprintf(stderr, "letter_io_bench: CreateMemoryVolume ended with 0x%08X\n", static_cast<unsigned>(mounted.Status));
    return 1;
  }
  LinkRequest link = {};
  link.DriveLetter = static_cast<uint16_t>(letter);
  link.Operation = ENGINE_LINK_CREATE;
  link.VolumeHandle = mounted.VolumeHandle;
  link.PartitionSelector = ENGINE_ALL_PARTITIONS;
  Control(control, IOCTL_ENGINE_LINK, link, nullptr, 0, "Link");

  char16_t path[] = u"\\\\.\\R:";
  path[4] = static_cast<char16_t>(letter);
  HANDLE volume = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (volume == INVALID_HANDLE_VALUE) Fail("opening the drive letter");

  // Sequential 1 MiB: every block written, then read back, against memcpy
  // of 1 MiB blocks through an area of the same size.
  std::vector<char> block(kMiB, 'x');
  // The volume's memory is taken when it is first written, as a fresh
  // anchor area's is when first touched: one pass first, untimed, for both.
  for (uint64_t at = 0; at < size; at += kMiB) Transfer(volume, true, block.data(), kMiB, at);
  double start = Now();
  for (uint64_t at = 0; at < size; at += kMiB) Transfer(volume, true, block.data(), kMiB, at);
  double writeSeconds = Now() - start;
  start = Now();
  for (uint64_t at = 0; at < size; at += kMiB) Transfer(volume, false, block.data(), kMiB, at);
  double readSeconds = Now() - start;
  std::vector<char> area(size, 1);
  start = Now();
  for (uint64_t at = 0; at < size; at += kMiB) memcpy(area.data() + at, block.data(), kMiB);
  for (uint64_t at = 0; at < size; at += kMiB) memcpy(block.data(), area.data() + at, kMiB);
  double memcpySeconds = (Now() - start) / 2;
  double anchor = size / memcpySeconds / kMiB;
  double writeRate = size / writeSeconds / kMiB, readRate = size / readSeconds / kMiB;
  printf("seq-write MiB/s %.1f | anchor memcpy MiB/s %.1f | ratio %.3f (target >= 0.5) %s\n", writeRate, anchor,
         writeRate / anchor, writeRate / anchor >= 0.5 ? "PASS" : "MISS");
  printf("seq-read  MiB/s %.1f | anchor memcpy MiB/s %.1f | ratio %.3f (target >= 0.5) %s\n", readRate, anchor,
         readRate / anchor, readRate / anchor >= 0.5 ? "PASS" : "MISS");

  // 4 KiB random reads, one at a time.
  std::mt19937_64 random(42);
  uint64_t pages = size / 4096, count = 0;
  start = Now();
  double end = start + seconds;
  while (Now() < end) {
    for (int i = 0; i < 256; ++i) Transfer(volume, false, block.data(), 4096, (random() % pages) * 4096);
    count += 256;
  }
  printf("rand-read-4k-qd1 IOPS %.0f\n", count / (Now() - start));
  fflush(stdout);

  CloseHandle(volume);
  link.Operation = ENGINE_LINK_DELETE;
  Control(control, IOCTL_ENGINE_LINK, link, nullptr, 0, "Link removal");
  UnmountRequest unmount = {};
  unmount.VolumeHandle = mounted.VolumeHandle;
  unmount.Force = 1;
  Control(control, IOCTL_ENGINE_UNMOUNT, unmount, nullptr, 0, "Unmount");
  CloseHandle(control);
  return 0;
}
