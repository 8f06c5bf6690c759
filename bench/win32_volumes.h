// RAM disks for the user-process benchmarks: made, lettered, named and
// removed through the engine's control device, as a program of the
// control requests does. Any failure ends the benchmark with its error.
#pragma once

#include "engine/protocol/engine_protocol.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench {

[[noreturn]] inline void Win32Fail(const char *what) {
  fprintf(stderr, "bench: %s failed (error %u)\n", what, GetLastError());
  exit(1);
}

class Engine {
 public:
  Engine() {
    control_ = CreateFileW(u"\\\\.\\BrimwellVolume", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (control_ == INVALID_HANDLE_VALUE) Win32Fail("opening the engine");
  }
  ~Engine() { CloseHandle(control_); }

  // A memory volume of `bytes` with `fileSystem` (ENGINE_FS_...); its handle.
  uint64_t Create(uint64_t bytes, uint32_t fileSystem) {
    CreateMemoryVolumeRequest create = {};
    create.AlgorithmId = ENGINE_ALGORITHM_NULL;
    create.VolumeSize = bytes;
    create.MountFlags = ENGINE_MOUNT_MEMORY;
    create.FileSystem = fileSystem;
    // The record, then the (empty) path's terminating zero.
    uint8_t input[sizeof(create) + 2] = {};
    memcpy(input, &create, sizeof(create));
    MountResult result = {};
    Control(IOCTL_ENGINE_CREATE_MEMORY_VOLUME, input, sizeof input, &result, sizeof result, "CreateMemoryVolume");
    if (result.Status != 0) {
      fprintf(stderr, "bench: CreateMemoryVolume ended with 0x%08X\n", static_cast<unsigned>(result.Status));
      exit(1);
    }
    return result.VolumeHandle;
  }

  void Link(uint64_t volume, char letter, bool create = true) {
    LinkRequest link = {};
    link.DriveLetter = create ? static_cast<uint16_t>(letter) : 0;
    link.Operation = create ? ENGINE_LINK_CREATE : ENGINE_LINK_DELETE;
    link.VolumeHandle = volume;
    link.PartitionSelector = ENGINE_ALL_PARTITIONS;
    Control(IOCTL_ENGINE_LINK, &link, sizeof link, nullptr, 0, "Link");
  }

  // "\\.\GLOBALROOT\Device\..." of the volume's own device.
  std::u16string DevicePath(uint64_t volume) {
    VolumeHandleRequest request = {volume};
    uint8_t reply[600] = {};
    Control(IOCTL_ENGINE_GET_DEVICE_NAME, &request, sizeof request, reply, sizeof reply, "GetDeviceName");
    CountedNameReply head;
    memcpy(&head, reply, sizeof head);
    std::u16string name(head.NameLength / 2, u'\0');
    memcpy(name.data(), reply + sizeof head, head.NameLength);
    return u"\\\\.\\GLOBALROOT" + name;
  }

  void Unmount(uint64_t volume) {
    UnmountRequest unmount = {};
    unmount.VolumeHandle = volume;
    unmount.Force = 1;
    Control(IOCTL_ENGINE_UNMOUNT, &unmount, sizeof unmount, nullptr, 0, "Unmount");
  }

 private:
  void Control(DWORD code, void *input, DWORD inputLength, void *output, DWORD outputLength, const char *what) {
    DWORD returned = 0;
    if (!DeviceIoControl(control_, code, input, inputLength, output, outputLength, &returned, nullptr))
      Win32Fail(what);
  }
  HANDLE control_;
};

}  // namespace bench
