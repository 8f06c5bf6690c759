// Makes a RAM disk with a drive letter for a benchmark script and prints
// its volume handle; it lasts until it is unmounted or ramvold stops.
//   bench_volume LETTER MIB fat32|ntfs|raw
#include "bench/win32_volumes.h"

#include <cinttypes>
#include <string>

int main(int argc, char **argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: bench_volume LETTER MIB fat32|ntfs|raw\n");
    return 2;
  }
  std::string fs = argv[3];
  uint32_t fileSystem = fs == "fat32" ? ENGINE_FS_FAT32 : fs == "ntfs" ? ENGINE_FS_NTFS : ENGINE_FS_RAW;
  bench::Engine engine;
  uint64_t volume = engine.Create(strtoull(argv[2], nullptr, 0) << 20, fileSystem);
  engine.Link(volume, argv[1][0]);
  printf("%016" PRIx64 "\n", volume);
  return 0;
}
