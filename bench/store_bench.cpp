// Speed of the volume store and image files, each figure against an anchor
// measured in the same run:
//   create   the zeroed memory of an 8 GiB store vs the fastest shareable memory of that size this
//            host gives: a memfd populated (and so zeroed) in one pass (target <= 1.1x the time)
//   seq      sequential 1 MiB reads and writes vs memcpy of 1 MiB blocks (target >= 0.8x the speed)
//   random   4 KiB random reads from two threads (target >= 1 M/s)
//   save     a 4 GiB volume saved whole vs dd bs=1M conv=fsync (target >= 0.8x the speed)
//   load     a volume made from its cached 4 GiB image vs cp of that image into /dev/shm
//            (target >= 0.8x the speed); load-mem: the load alone, into memory the store has already
//   changed  a changed-blocks save after 1 % of the volume changed in 64 KiB runs at random places
//            (target <= 5 % of the whole save), and after 1 % of its sectors changed one by one at
//            random vs as many 512-byte pwrite calls to the image file, then fdatasync, as the
//            save ends with a flush (target <= 1.5x the time)
// Usage: store_bench [--dir DIR] [--create-gib N] [--save-gib N] [names...]
#include "bench/bench_report.h"
#include "bw/host.h"
#include "engine/store/change_map.h"
#include "engine/image/cipher.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/image/image_file.h"
#include "engine/image/image_requests.h"
#include "kernel-support/ks_version.h"
#include "engine/store/volume_store.h"

#include "engine/image/image_header.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

using bench::Check;
using bench::Report;
using bench::Seconds;

namespace {

constexpr uint64_t MiB = 1 << 20;
constexpr uint64_t GiB = 1ull << 30;

struct Bench {
  std::string dir = "/dev/shm";
  uint64_t createBytes = 8 * GiB;
  uint64_t saveBytes = 4 * GiB;
  CipherBlock *cipher = nullptr;

  std::u16string NtPath(const std::string &host) {
    std::u16string path = u"\\??\\Z:";
    for (char c : host) path.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
    return path;
  }
  UNICODE_STRING View(std::u16string &text) {
    UNICODE_STRING s;
    s.Buffer = text.data();
    s.Length = s.MaximumLength = static_cast<USHORT>(text.size() * 2);
    return s;
  }
  VolumeStore *Memory(uint64_t bytes) {
    VolumeStore *store = nullptr;
    ULONG outcome = 0;
    Check(StoreCreateForVolume(ENGINE_MOUNT_MEMORY, 0, bytes, nullptr, cipher, &store, &outcome), "create");
    return store;
  }
  double Shell(const std::string &command) {
    return Seconds([&] {
      if (system(command.c_str()) != 0) {
        fprintf(stderr, "failed: %s\n", command.c_str());
        exit(1);
      }
    });
  }

  // Shareable memory as the host hands it out fastest: a memfd whose pages
  // are made resident, and so zeroed, in one pass; the quicker of the two
  // ways to do it.
  double MemfdFill() {
    auto once = [&](bool fallocateFirst) {
      return Seconds([&] {
        int fd = memfd_create("bench-anchor", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(createBytes)) != 0) exit(1);
        if (fallocateFirst) {
          if (fallocate(fd, 0, 0, static_cast<off_t>(createBytes)) != 0) exit(1);
        }
        void *p = mmap(nullptr, createBytes, PROT_READ | PROT_WRITE,
                       MAP_SHARED | (fallocateFirst ? 0 : MAP_POPULATE), fd, 0);
        if (p == MAP_FAILED) exit(1);
        if (fallocateFirst) madvise(p, createBytes, 23 /* MADV_POPULATE_WRITE */);
        munmap(p, createBytes);
        close(fd);
      });
    };
    return std::min(once(false), once(true));
  }

  void Create() {
    double anchor = 1e9, store = 1e9;
    for (int round = 0; round < 2; ++round) {
      anchor = std::min(anchor, MemfdFill());
      VolumeStore *created = nullptr;
      store = std::min(store, Seconds([&] { created = Memory(createBytes); }));
      StoreRelease(&created, FALSE);
    }
    double ratio = store / anchor;
    printf("create   %llu GiB\n", static_cast<unsigned long long>(createBytes / GiB));
    Report("create", "store s", store, "memfd fill s", anchor, ratio, "<= 1.1", ratio <= 1.1);
  }

  void Sequential() {
    const uint64_t bytes = 1 * GiB;
    VolumeStore *store = Memory(bytes);
    std::vector<uint8_t> block(MiB, 0x5A);
    uint8_t *area = static_cast<uint8_t *>(aligned_alloc(4096, bytes));
    memset(area, 1, bytes);
    double anchorWrite = 1e9, anchorRead = 1e9, write = 1e9, read = 1e9;
    for (int round = 0; round < 3; ++round) {
      anchorWrite = std::min(anchorWrite, Seconds([&] {
        for (uint64_t at = 0; at < bytes; at += MiB) memcpy(area + at, block.data(), MiB);
      }));
      anchorRead = std::min(anchorRead, Seconds([&] {
        for (uint64_t at = 0; at < bytes; at += MiB) memcpy(block.data(), area + at, MiB);
      }));
      write = std::min(write, Seconds([&] {
        for (uint64_t at = 0; at < bytes; at += MiB) {
          ULONG_PTR moved = 0;
          Check(StoreWrite(store, 0, block.data(), at, MiB, &moved), "write");
        }
      }));
      read = std::min(read, Seconds([&] {
        for (uint64_t at = 0; at < bytes; at += MiB) {
          ULONG_PTR moved = 0;
          Check(StoreRead(store, block.data(), at, MiB, &moved), "read");
        }
      }));
    }
    free(area);
    StoreRelease(&store, FALSE);
    double gib = static_cast<double>(bytes) / GiB;
    Report("seq-wr", "store GiB/s", gib / write, "memcpy GiB/s", gib / anchorWrite, anchorWrite / write, ">= 0.8",
           anchorWrite / write >= 0.8);
    Report("seq-rd", "store GiB/s", gib / read, "memcpy GiB/s", gib / anchorRead, anchorRead / read, ">= 0.8",
           anchorRead / read >= 0.8);
  }

  void Random() {
    const uint64_t bytes = 1 * GiB;
    const int perThread = 2000000;
    VolumeStore *store = Memory(bytes);
    uint8_t *area = static_cast<uint8_t *>(aligned_alloc(4096, bytes));
    memset(area, 1, bytes);
    auto run = [&](bool anchor) {
      std::atomic<bool> failed{false};
      double seconds = Seconds([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
          threads.emplace_back([&, t] {
            std::mt19937_64 random(t + 1);
            alignas(64) uint8_t buffer[4096];
            for (int i = 0; i < perThread; ++i) {
              uint64_t at = (random() % (bytes / 4096)) * 4096;
              if (anchor) {
                memcpy(buffer, area + at, 4096);
              } else {
                ULONG_PTR moved = 0;
                if (!NT_SUCCESS(StoreRead(store, buffer, at, 4096, &moved))) failed = true;
              }
            }
          });
        }
        for (auto &th : threads) th.join();
      });
      if (failed) exit(1);
      return 2.0 * perThread / seconds;
    };
    double anchor = run(true), rate = std::max(run(false), run(false));
    free(area);
    StoreRelease(&store, FALSE);
    Report("random", "store M reads/s", rate / 1e6, "memcpy M/s", anchor / 1e6, rate / 1e6, ">= 1.0 M/s",
           rate >= 1e6);
  }

  // The loaded volume holds the image's data: a block every 4 MiB and the
  // stretch where the second page list starts, compared with the file.
  void VerifyLoaded(VolumeStore *store, const std::string &image) {
    int fd = open(image.c_str(), O_RDONLY);
    if (fd < 0) exit(1);
    std::vector<uint8_t> want(MiB), got(MiB);
    auto compare = [&](uint64_t at, uint32_t length) {
      ULONG_PTR moved = 0;
      Check(StoreRead(store, got.data(), at, length, &moved), "verify read");
      if (pread(fd, want.data(), length, static_cast<off_t>(IMAGE_HEADER_BLOCK_SIZE + at)) != length ||
          moved != length || memcmp(want.data(), got.data(), length) != 0) {
        fprintf(stderr, "load: the volume differs from its image at %llu\n", static_cast<unsigned long long>(at));
        exit(1);
      }
    };
    for (uint64_t at = 0; at + 4096 <= saveBytes; at += 4 * MiB) compare(at, 4096);
    uint64_t second = STORE_MAX_CHUNK - IMAGE_HEADER_BLOCK_SIZE;  // volume offset of the second list
    if (saveBytes > second + MiB) compare(second - MiB / 2, MiB);
    compare(saveBytes - MiB, MiB);
    close(fd);
  }

  // Save, load and changed-blocks save share one volume and its image.
  void Images(bool save, bool load, bool changed) {
    std::string image = dir + "/bench-save.img";
    std::string copy = dir + "/bench-dd.img";
    std::u16string nt = NtPath(image);
    UNICODE_STRING path = View(nt);
    uint64_t mib = saveBytes / MiB;
    VolumeStore *store = Memory(saveBytes);
    {
      std::vector<uint8_t> block(MiB);
      std::mt19937_64 random(7);
      for (auto &b : block) b = static_cast<uint8_t>(random());
      for (uint64_t at = 0; at < saveBytes; at += MiB) {
        ULONG_PTR moved = 0;
        block[0]++;
        Check(StoreWrite(store, 0, block.data(), at, MiB, &moved), "fill");
      }
    }
    double whole = 1e9, dd = 1e9;
    for (int round = 0; round < 2; ++round) {
      std::filesystem::remove(image);
      whole = std::min(whole, Seconds([&] { Check(ImageSave(store, 0, &path), "save"); }));
      std::filesystem::remove(copy);
      dd = std::min(dd, Shell("dd if=/dev/zero of=" + copy + " bs=1M count=" + std::to_string(mib) +
                              " conv=fsync status=none"));
      std::filesystem::remove(copy);
    }
    StoreRelease(&store, FALSE);
    if (save) Report("save", "store s", whole, "dd s", dd, dd / whole, ">= 0.8", dd / whole >= 0.8);

    // The image is in the page cache (or on tmpfs) from the save above.
    std::string shmCopy = "/dev/shm/bench-cp.img";
    double loaded = 1e9, cp = 1e9;
    for (int round = 0; round < 2; ++round) {
      cp = std::min(cp, Shell("cp " + image + " " + shmCopy));
      std::filesystem::remove(shmCopy);
      ULONG outcome = 0;
      loaded = std::min(loaded, Seconds([&] {
        Check(StoreCreateForVolume(ENGINE_MOUNT_MEMORY, 0, 0, &path, cipher, &store, &outcome), "load");
      }));
      if (round == 0) StoreRelease(&store, FALSE);
    }
    VerifyLoaded(store, image);
    if (load) {
      Report("load", "store s", loaded, "cp to /dev/shm s", cp, cp / loaded, ">= 0.8", cp / loaded >= 0.8);
      // The load alone, into a store whose memory exists already.
      VolumeStore *target = Memory(saveBytes);
      HANDLE file = nullptr;
      Check(ImageOpenFile(&path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_NO_INTERMEDIATE_BUFFERING, &file),
            "open");
      target->ImageFile = file;
      double walk = Seconds([&] { Check(StoreLoadImage(target), "load walk"); });
      StoreRelease(&target, FALSE);
      Report("load-mem", "store s", walk, "cp to /dev/shm s", cp, cp / walk, ">= 0.8", cp / walk >= 0.8);
    }

    if (changed) {
      // The first pass of the host kernel over memory it has not touched
      // before is slow on some virtual machines: the ratio is taken against
      // the quickest whole save of the run.
      double again = 1e9;
      for (int round = 0; round < 2; ++round)
        again = std::min(again, Seconds([&] { Check(ImageSave(store, 0, nullptr), "whole save"); }));
      double best = std::min(whole, again);
      std::mt19937_64 random(11);

      // 1 % of the volume in 64 KiB runs at distinct random places.
      constexpr uint64_t kRun = 64 * 1024;
      std::vector<uint8_t> run(kRun, 0xA5);
      std::set<uint64_t> runs;
      while (runs.size() < saveBytes / 100 / kRun) runs.insert(random() % (saveBytes / kRun));
      for (uint64_t at : runs) {
        ULONG_PTR moved = 0;
        Check(StoreWrite(store, 0, run.data(), at * kRun, kRun, &moved), "change run");
      }
      uint64_t marked = ChangeMapCount(store->Changes);
      double part = Seconds([&] { Check(ImageSave(store, ENGINE_SAVE_CHANGED_ONLY, nullptr), "changed save"); });
      printf("changed  %zu runs of 64 KiB, %llu sectors marked, whole saves %.3f s and %.3f s\n", runs.size(),
             static_cast<unsigned long long>(marked), whole, again);
      Report("changed", "store s", part, "whole save s", best, part / best, "<= 0.05", part / best <= 0.05);

      // 1 % of the sectors, one by one at distinct random places.
      uint64_t sectors = saveBytes / 512;
      std::set<uint64_t> picked;
      while (picked.size() < sectors / 100) picked.insert(random() % sectors);
      uint8_t sector[512];
      memset(sector, 0xC3, sizeof(sector));
      for (uint64_t at : picked) {
        ULONG_PTR moved = 0;
        Check(StoreWrite(store, 0, sector, at * 512, 512, &moved), "change sector");
      }
      marked = ChangeMapCount(store->Changes);
      double scattered =
          Seconds([&] { Check(ImageSave(store, ENGINE_SAVE_CHANGED_ONLY, nullptr), "changed save"); });
      // The same writes straight to the image file, in the order the save
      // makes them, at the places they have behind its header block.
      int fd = open(image.c_str(), O_WRONLY);
      if (fd < 0) exit(1);
      double writes = Seconds([&] {
        for (uint64_t at : picked)
          if (pwrite(fd, sector, 512, static_cast<off_t>(IMAGE_HEADER_BLOCK_SIZE + at * 512)) != 512) exit(1);
        fdatasync(fd);
      });
      close(fd);
      printf("changed  %zu single sectors, %llu marked\n", picked.size(), static_cast<unsigned long long>(marked));
      Report("scatter", "store s", scattered, "pwrite s", writes, scattered / writes, "<= 1.5",
             scattered / writes <= 1.5);
    }
    StoreRelease(&store, FALSE);
    std::filesystem::remove(image);
  }
};

}  // namespace

int main(int argc, char **argv) {
  Bench bench;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--dir" && i + 1 < argc) {
      bench.dir = argv[++i];
    } else if (arg == "--create-gib" && i + 1 < argc) {
      bench.createBytes = std::stoull(argv[++i]) * GiB;
    } else if (arg == "--save-gib" && i + 1 < argc) {
      bench.saveBytes = std::stoull(argv[++i]) * GiB;
    } else {
      names.push_back(arg);
    }
  }
  auto wanted = [&](const char *name) {
    return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
  };
  char pattern[] = "/tmp/bwstorebench.XXXXXX";
  std::string root = mkdtemp(pattern);
  bw::BootOptions options;
  options.root = root;
  std::string error;
  Check(bw::KernelBoot(options, &error), "boot");
  KsRefreshSystemVersion();
  ULONG reason = 0;
  Check(CipherCreate(CIPHER_ALGORITHM_NULL, nullptr, 0, &bench.cipher, &reason), "cipher");

  if (wanted("create")) bench.Create();
  if (wanted("seq")) bench.Sequential();
  if (wanted("random")) bench.Random();
  if (wanted("save") || wanted("load") || wanted("changed")) bench.Images(wanted("save"), wanted("load"), wanted("changed"));

  CipherRelease(&bench.cipher);
  bw::KernelShutdown();
  std::filesystem::remove_all(root);
  return 0;
}
