// Round trip of IOCTL_ENGINE_LIST_VOLUMES from a user process through
// ramvold and back: prints the median and the 99th percentile.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char **argv) {
  int rounds = argc > 1 ? atoi(argv[1]) : 20000;
  HANDLE device = CreateFileW(u"\\\\.\\BrimwellVolume", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "cannot open the engine (error %u)\n", GetLastError());
    return 1;
  }
  std::vector<double> micros;
  micros.reserve(rounds);
  for (int i = 0; i < rounds + 1000; ++i) {
    DWORD returned = 0;
    auto start = std::chrono::steady_clock::now();
    BOOL ok = DeviceIoControl(device, 0x222024, nullptr, 0, nullptr, 0, &returned, nullptr);
    auto end = std::chrono::steady_clock::now();
    if (!ok) {
      fprintf(stderr, "ListVolumes failed (error %u)\n", GetLastError());
      return 1;
    }
    if (i >= 1000)  // the first thousand warm up
      micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
  }
  std::sort(micros.begin(), micros.end());
  printf("ListVolumes round trip over %d requests: median %.1f us, p99 %.1f us\n", rounds,
         micros[micros.size() / 2], micros[micros.size() * 99 / 100]);
  CloseHandle(device);
  return 0;
}
