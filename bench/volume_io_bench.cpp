// Speed of a live volume's device inside the kernel stand-in, each figure
// against an anchor measured in the same run. The stand-in is booted in this
// process with the bus and the engine loaded; a memory volume is created
// through the control device like any manager does, and its device is read
// and written with ZwReadFile/ZwWriteFile on a kernel handle: an IRP with an
// MDL over the caller's buffer, mapped by the engine, completed by it.
//   seq      sequential 1 MiB reads and writes vs memcpy of 1 MiB blocks (target >= 0.8x the speed)
//   random   4 KiB random reads from two threads (target >= 1 M requests/s);
//            the memcpy of the same blocks is printed as the floor
// Usage: volume_io_bench [--gib N] [--random-reads N] [names...]
#include "bench/bench_report.h"
#include "bw/host.h"
#include "bw/user_session.h"
#include "engine/protocol/engine_protocol.h"

#include <ntddk.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

using bench::Check;
using bench::Report;
using bench::Seconds;

namespace {

constexpr uint64_t MiB = 1 << 20;
constexpr uint64_t GiB = 1ull << 30;
constexpr char16_t kEngineService[] = u"RamvolEngine";
constexpr char16_t kBusService[] = u"BWRDPort";

UNICODE_STRING View(std::u16string &text) {
  UNICODE_STRING s;
  s.Buffer = text.data();
  s.Length = s.MaximumLength = static_cast<USHORT>(text.size() * 2);
  return s;
}

NTSTATUS CreateServiceKey(std::u16string service) {
  std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
  UNICODE_STRING name = View(path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key = nullptr;
  NTSTATUS status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr);
  if (NT_SUCCESS(status)) ZwClose(key);
  return status;
}

template <typename T>
void Put(std::vector<uint8_t> &bytes, size_t offset, T value) {
  if (bytes.size() < offset + sizeof(T)) bytes.resize(offset + sizeof(T));
  memcpy(bytes.data() + offset, &value, sizeof(T));
}

// The engine loaded, one raw memory volume and a kernel handle to its device.
class Harness {
 public:
  Harness(const std::string &binDir, uint64_t bytes) {
    char pattern[] = "/tmp/bwvolumebench.XXXXXX";
    root_ = mkdtemp(pattern);
    bw::BootOptions options;
    options.root = root_;
    std::string error;
    Check(bw::KernelBoot(options, &error), "boot");
    Check(CreateServiceKey(kEngineService), "engine key");
    Check(CreateServiceKey(kBusService), "bus key");
    Check(bw::LoadDriver(binDir + "/ramenum.sys", kBusService, &error), "load ramenum");
    Check(bw::LoadDriver(binDir + "/ramvol.sys", kEngineService, &error), "load ramvol");
    bw::ProcessOptions process;
    process.uid = 1000;
    process.gid = 1000;
    process.imageName = "ramdeck.exe";
    process_ = bw::CreateUserProcess(process);
    thread_ = process_->CreateThread(100);
    Check(process_->CreateFile(*thread_, ENGINE_SYMBOLIC_LINK_NAME, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &control_),
          "open control");

    std::vector<uint8_t> create(34);
    Put<uint32_t>(create, 0, ENGINE_ALGORITHM_NULL);
    Put<uint64_t>(create, 4, bytes);
    Put<uint32_t>(create, 12, ENGINE_MOUNT_MEMORY);
    Put<uint32_t>(create, 20, ENGINE_FS_RAW);
    create.resize(36);
    bw::IoResult made = Control(IOCTL_ENGINE_CREATE_MEMORY_VOLUME, create, 16);
    Check(made.status, "create volume");
    MountResult result;
    memcpy(&result, made.output.data(), sizeof(result));
    Check(result.Status, "create volume");
    volume_ = result.VolumeHandle;

    std::vector<uint8_t> which(8);
    Put<uint64_t>(which, 0, volume_);
    bw::IoResult named = Control(IOCTL_ENGINE_GET_DEVICE_NAME, which, 512);
    Check(named.status, "device name");
    uint16_t length;
    memcpy(&length, named.output.data(), 2);
    std::u16string name(length / 2, u'\0');
    memcpy(name.data(), named.output.data() + 2, length);
    UNICODE_STRING us = View(name);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    Check(ZwCreateFile(&device_, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
          "open volume");
  }

  ~Harness() {
    ZwClose(device_);
    std::vector<uint8_t> unmount(10);
    Put<uint64_t>(unmount, 0, volume_);
    Put<uint8_t>(unmount, 8, 1);
    Check(Control(IOCTL_ENGINE_UNMOUNT, unmount, 0).status, "unmount");
    process_->Close(control_);
    thread_.reset();
    process_->Terminate();
    process_.reset();
    Check(bw::UnloadDriver(kEngineService), "unload ramvol");
    Check(bw::UnloadDriver(kBusService), "unload ramenum");
    bw::KernelShutdown();
    std::filesystem::remove_all(root_);
  }

  // One request on the volume's device; false unless all Length bytes moved.
  bool Transfer(bool write, void *buffer, ULONG length, uint64_t offset) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    NTSTATUS status = write ? ZwWriteFile(device_, nullptr, nullptr, nullptr, &iosb, buffer, length, &at, nullptr)
                            : ZwReadFile(device_, nullptr, nullptr, nullptr, &iosb, buffer, length, &at, nullptr);
    return NT_SUCCESS(status) && iosb.Information == length;
  }

 private:
  bw::IoResult Control(ULONG code, const std::vector<uint8_t> &input, ULONG outputLength) {
    return process_->DeviceIoControl(*thread_, control_, code, input.data(), static_cast<ULONG>(input.size()),
                                     outputLength);
  }

  std::string root_;
  std::shared_ptr<bw::UserProcess> process_;
  std::shared_ptr<bw::UserThread> thread_;
  HANDLE control_ = nullptr;
  uint64_t volume_ = 0;
  HANDLE device_ = nullptr;
};

struct Bench {
  Harness *volume = nullptr;
  uint64_t bytes = 1 * GiB;
  int randomReads = 2000000;

  // The requests' buffers are pool, as a driver's own requests are.
  static uint8_t *Pool(size_t bytes) {
    auto *p = static_cast<uint8_t *>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, 0x68636E42 /* "Bnch" */));
    if (!p) exit(1);
    return p;
  }

  void Sequential() {
    uint8_t *block = Pool(MiB);
    memset(block, 0x5A, MiB);
    uint8_t *area = static_cast<uint8_t *>(aligned_alloc(4096, bytes));
    memset(area, 1, bytes);
    double anchorWrite = 1e9, anchorRead = 1e9, write = 1e9, read = 1e9;
    bool ok = true;
    // The volume's memory is resident from its creation; the anchor's area
    // is touched above, so neither pays for first faults.
    for (int round = 0; round < 3; ++round) {
      anchorWrite = std::min(anchorWrite, Seconds([&] {
        for (uint64_t at = 0; at < bytes; at += MiB) memcpy(area + at, block, MiB);
      }));
      anchorRead = std::min(anchorRead, Seconds([&] {
        for (uint64_t at = 0; at < bytes; at += MiB) memcpy(block, area + at, MiB);
      }));
      write = std::min(write, Seconds([&] {
        for (uint64_t at = 0; at < bytes; at += MiB) ok &= volume->Transfer(true, block, MiB, at);
      }));
      read = std::min(read, Seconds([&] {
        for (uint64_t at = 0; at < bytes; at += MiB) ok &= volume->Transfer(false, block, MiB, at);
      }));
    }
    free(area);
    ExFreePool(block);
    if (!ok) {
      fprintf(stderr, "a sequential request failed\n");
      exit(1);
    }
    double gib = static_cast<double>(bytes) / GiB;
    Report("seq-wr", "volume GiB/s", gib / write, "memcpy GiB/s", gib / anchorWrite, anchorWrite / write, ">= 0.8",
           anchorWrite / write >= 0.8);
    Report("seq-rd", "volume GiB/s", gib / read, "memcpy GiB/s", gib / anchorRead, anchorRead / read, ">= 0.8",
           anchorRead / read >= 0.8);
  }

  void Random() {
    uint8_t *area = static_cast<uint8_t *>(aligned_alloc(4096, bytes));
    memset(area, 1, bytes);
    const int perThread = randomReads / 2;
    auto run = [&](bool anchor) {
      std::atomic<bool> failed{false};
      double seconds = Seconds([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
          threads.emplace_back([&, t] {
            // Named, so that a profile of this phase can pick its threads out.
            pthread_setname_np(pthread_self(), anchor ? "random-anchor" : "random-volume");
            std::mt19937_64 random(t + 1);
            uint8_t *buffer = Pool(4096);
            for (int i = 0; i < perThread; ++i) {
              uint64_t at = (random() % (bytes / 4096)) * 4096;
              if (anchor) {
                memcpy(buffer, area + at, 4096);
              } else if (!volume->Transfer(false, buffer, 4096, at)) {
                failed = true;
              }
            }
            ExFreePool(buffer);
          });
        }
        for (auto &th : threads) th.join();
      });
      if (failed) {
        fprintf(stderr, "a random read failed\n");
        exit(1);
      }
      return 2.0 * perThread / seconds;
    };
    double anchor = run(true);
    double rate = std::max(run(false), run(false));
    free(area);
    Report("random", "volume M reads/s", rate / 1e6, "memcpy M/s", anchor / 1e6, rate / 1e6, ">= 1.0 M/s",
           rate >= 1e6);
  }
};

}  // namespace

int main(int argc, char **argv) {
  Bench bench;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--gib" && i + 1 < argc) {
      bench.bytes = std::stoull(argv[++i]) * GiB;
    } else if (arg == "--random-reads" && i + 1 < argc) {
      bench.randomReads = std::stoi(argv[++i]);
    } else {
      names.push_back(arg);
    }
  }
  auto wanted = [&](const char *name) {
    return names.empty() || std::find(names.begin(), names.end(), name) != names.end();
  };
  std::string binDir = std::filesystem::canonical("/proc/self/exe").parent_path();
  {
    Harness volume(binDir, bench.bytes);
    bench.volume = &volume;
    printf("volume   %llu MiB raw memory volume, requests through ZwReadFile/ZwWriteFile\n",
           static_cast<unsigned long long>(bench.bytes / MiB));
    if (wanted("seq")) bench.Sequential();
    if (wanted("random")) bench.Random();
  }
  return 0;
}
