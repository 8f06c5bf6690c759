// What hard-disk emulation costs, each figure against an own-device volume
// measured in the same run. The stand-in is booted in this process with
// Windows' own drivers (mount manager, file systems, disk class), the bus
// on its root device and the engine; volumes are created through the
// control device as the manager creates them.
//   seq      sequential 1 MiB reads and writes through the partition volume of
//            an emulated disk vs the same through an own-device volume (target >= 0.8x)
//   create   a FAT32 volume created and given its letter: emulated disk vs own
//            device (target <= 1.5x the time)
// Usage: disk_io_bench [--gib N] [names...]
#include "bench/bench_report.h"
#include "bw/host.h"
#include "bw/pnp.h"
#include "bw/user_session.h"
#include "engine/protocol/engine_protocol.h"

#include <ntddk.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using bench::Check;
using bench::Report;
using bench::Seconds;

namespace {

constexpr uint64_t MiB = 1 << 20;
constexpr uint64_t GiB = 1ull << 30;
constexpr char16_t kEngineService[] = u"RamvolEngine";
constexpr char16_t kBusService[] = u"BWRDPort";
constexpr uint32_t kDiskFlags =
    ENGINE_MOUNT_MEMORY | ENGINE_MOUNT_DISK_EMULATION | ENGINE_MOUNT_BUS_NEW_PARTITION_TABLE;

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

class Harness {
 public:
  explicit Harness(const std::string &binDir) {
    char pattern[] = "/tmp/bwdiskbench.XXXXXX";
    root_ = mkdtemp(pattern);
    bw::BootOptions options;
    options.root = root_;
    std::string error;
    Check(bw::KernelBoot(options, &error), "boot");
    Check(bw::LoadSystemDrivers(binDir, &error), "system drivers");
    Check(CreateServiceKey(kEngineService), "engine key");
    Check(CreateServiceKey(kBusService), "bus key");
    Check(bw::LoadDriver(binDir + "/ramenum.sys", kBusService, &error), "load ramenum");
    Check(bw::CreateRootDevice(u"Root\\BWRD", kBusService, nullptr), "bus root device");
    if (!bw::WaitForPnpIdle()) Check(STATUS_TIMEOUT, "bus start");
    Check(bw::LoadDriver(binDir + "/ramvol.sys", kEngineService, &error), "load ramvol");
    bw::ProcessOptions process;
    process.uid = 0;
    process.gid = 0;
    process.imageName = "ramdeck.exe";
    process_ = bw::CreateUserProcess(process);
    thread_ = process_->CreateThread(100);
    Check(process_->CreateFile(*thread_, ENGINE_SYMBOLIC_LINK_NAME, GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &control_),
          "open control");
  }

  ~Harness() {
    process_->Close(control_);
    thread_.reset();
    process_->Terminate();
    process_.reset();
    Check(bw::UnloadDriver(kEngineService), "unload ramvol");
    Check(bw::UnloadDriver(kBusService), "unload ramenum");
    bw::KernelShutdown();
    std::filesystem::remove_all(root_);
  }

  // A FAT32 memory volume with letter Letter: created, lettered, and its
  // letter opened for I/O (*Device).
  uint64_t Create(uint32_t flags, uint64_t bytes, char16_t letter) {
    std::vector<uint8_t> create(34);
    Put<uint32_t>(create, 0, ENGINE_ALGORITHM_NULL);
    Put<uint64_t>(create, 4, bytes);
    Put<uint32_t>(create, 12, flags);
    Put<uint32_t>(create, 20, ENGINE_FS_FAT32);
    create.resize(36);
    bw::IoResult made = Control(IOCTL_ENGINE_CREATE_MEMORY_VOLUME, create, 16);
    Check(made.status, "create volume");
    MountResult result;
    memcpy(&result, made.output.data(), sizeof(result));
    Check(result.Status, "create volume");
    std::vector<uint8_t> link(80);
    Put<uint16_t>(link, 0, letter);
    Put<uint32_t>(link, 11, ENGINE_LINK_CREATE);
    Put<uint64_t>(link, 15, result.VolumeHandle);
    Put<int32_t>(link, 23, ENGINE_ALL_PARTITIONS);
    Check(Control(IOCTL_ENGINE_LINK, link, 0).status, "letter");
    return result.VolumeHandle;
  }

  void Remove(uint64_t volume) {
    std::vector<uint8_t> link(80);
    Put<uint32_t>(link, 11, ENGINE_LINK_DELETE);
    Put<uint64_t>(link, 15, volume);
    Put<int32_t>(link, 23, ENGINE_ALL_PARTITIONS);
    Check(Control(IOCTL_ENGINE_LINK, link, 0).status, "remove letter");
    std::vector<uint8_t> unmount(10);
    Put<uint64_t>(unmount, 0, volume);
    Put<uint8_t>(unmount, 8, 1);
    Check(Control(IOCTL_ENGINE_UNMOUNT, unmount, 0).status, "unmount");
    bw::WaitForPnpIdle();
  }

  HANDLE OpenLetter(char16_t letter) {
    std::u16string path = u"\\??\\X:";
    path[4] = letter;
    UNICODE_STRING name = View(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    HANDLE handle = nullptr;
    Check(ZwCreateFile(&handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0),
          "open letter");
    return handle;
  }

  static bool Transfer(HANDLE device, bool write, void *buffer, ULONG length, uint64_t offset) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    NTSTATUS status = write ? ZwWriteFile(device, nullptr, nullptr, nullptr, &iosb, buffer, length, &at, nullptr)
                            : ZwReadFile(device, nullptr, nullptr, nullptr, &iosb, buffer, length, &at, nullptr);
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
};

struct Bench {
  Harness *system = nullptr;
  uint64_t bytes = 1 * GiB;

  // Seconds for the best of three passes of 1 MiB requests over the first
  // Span bytes of Device.
  static void Pass(HANDLE device, uint64_t span, double *write, double *read) {
    auto *block = static_cast<uint8_t *>(ExAllocatePoolWithTag(NonPagedPoolNx, MiB, 0x68636E42 /* "Bnch" */));
    memset(block, 0x5A, MiB);
    bool ok = true;
    *write = *read = 1e9;
    for (int round = 0; round < 3; ++round) {
      *write = std::min(*write, Seconds([&] {
        for (uint64_t at = 0; at < span; at += MiB) ok &= Harness::Transfer(device, true, block, MiB, at);
      }));
      *read = std::min(*read, Seconds([&] {
        for (uint64_t at = 0; at < span; at += MiB) ok &= Harness::Transfer(device, false, block, MiB, at);
      }));
    }
    ExFreePool(block);
    if (!ok) {
      fprintf(stderr, "a sequential request failed\n");
      exit(1);
    }
  }

  void Sequential() {
    uint64_t own = system->Create(ENGINE_MOUNT_MEMORY, bytes, u'R');
    uint64_t disk = system->Create(kDiskFlags, bytes + MiB, u'S');
    HANDLE ownDevice = system->OpenLetter(u'R'), partition = system->OpenLetter(u'S');
    double ownWrite, ownRead, diskWrite, diskRead;
    Pass(ownDevice, bytes - MiB, &ownWrite, &ownRead);
    Pass(partition, bytes - MiB, &diskWrite, &diskRead);
    ZwClose(ownDevice);
    ZwClose(partition);
    system->Remove(own);
    system->Remove(disk);
    double gib = static_cast<double>(bytes - MiB) / GiB;
    Report("seq-wr", "partition GiB/s", gib / diskWrite, "own device GiB/s", gib / ownWrite, ownWrite / diskWrite,
           ">= 0.8", ownWrite / diskWrite >= 0.8);
    Report("seq-rd", "partition GiB/s", gib / diskRead, "own device GiB/s", gib / ownRead, ownRead / diskRead,
           ">= 0.8", ownRead / diskRead >= 0.8);
  }

  void Create() {
    double own = 1e9, disk = 1e9;
    for (int round = 0; round < 3; ++round) {
      uint64_t volume = 0;
      own = std::min(own, Seconds([&] { volume = system->Create(ENGINE_MOUNT_MEMORY, bytes, u'R'); }));
      system->Remove(volume);
      disk = std::min(disk, Seconds([&] { volume = system->Create(kDiskFlags, bytes, u'S'); }));
      system->Remove(volume);
    }
    Report("create", "emulated disk s", disk, "own device s", own, disk / own, "<= 1.5", disk / own <= 1.5);
  }
};

}  // namespace

int main(int argc, char **argv) {
  Bench bench;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--gib" && i + 1 < argc)
      bench.bytes = std::stoull(argv[++i]) * GiB;
    else
      names.push_back(arg);
  }
  if (names.empty()) names = {"seq", "create"};
  std::string binDir = std::filesystem::path(argv[0]).parent_path().string();
  Harness harness(binDir);
  bench.system = &harness;
  for (const std::string &name : names) {
    if (name == "seq") bench.Sequential();
    else if (name == "create") bench.Create();
    else fprintf(stderr, "unknown benchmark %s\n", name.c_str());
  }
  return 0;
}
