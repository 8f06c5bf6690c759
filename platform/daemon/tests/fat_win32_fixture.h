// A Win32 client of ramvold that works a FAT RAM disk end to end: besides
// creating and lettering volumes it re-formats, saves, mounts images and
// sets the autoflush through the control device, opens the volume itself
// (\\.\R:) for file-system controls, and writes files through R:\.
#pragma once

#include "platform/daemon/tests/engine_win32_fixture.h"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace bw::test {

// The file-system controls a program sends to a volume handle.
inline constexpr DWORD kFsctlLockVolume = 0x90018;
inline constexpr DWORD kFsctlUnlockVolume = 0x9001C;
inline constexpr DWORD kFsctlDismountVolume = 0x90020;
inline constexpr DWORD kFsctlSetCompression = 0x9C040;

class FatWin32 : public EngineWin32 {
 protected:
  using EngineWin32::Unmount;

  // The engine's NT form of a host path: the daemon's Z: is the host root.
  static std::u16string EnginePath(const std::string &hostPath) {
    std::u16string path = u"\\??\\Z:";
    for (char c : hostPath) path += c == '/' ? u'\\' : static_cast<char16_t>(c);
    return path;
  }
  static std::vector<uint8_t> Tail(const void *record, size_t size, const std::u16string &path,
                                   size_t zeros) {
    std::vector<uint8_t> input(static_cast<const uint8_t *>(record),
                               static_cast<const uint8_t *>(record) + size);
    const auto *bytes = reinterpret_cast<const uint8_t *>(path.data());
    input.insert(input.end(), bytes, bytes + path.size() * 2);
    input.insert(input.end(), zeros, 0);
    return input;
  }
  // A control request without output; false with the last error set.
  bool Control(DWORD code, const std::vector<uint8_t> &input) {
    DWORD returned = 0;
    return DeviceIoControl(control_, code, const_cast<uint8_t *>(input.data()),
                           static_cast<DWORD>(input.size()), nullptr, 0, &returned, nullptr);
  }

  uint64_t CreateLettered(uint32_t fileSystem, uint64_t bytes, uint32_t flags = 0) {
    uint64_t volume = CreateVolume(flags, bytes, fileSystem);
    EXPECT_NE(0u, volume);
    EXPECT_TRUE(Link(volume, ENGINE_LINK_CREATE, u'R')) << GetLastError();
    return volume;
  }
  bool Format(uint64_t volume, uint32_t fileSystem, uint32_t options = 0) {
    FormatRequest format = {};
    format.FormatFlags = options;
    format.VolumeHandle = volume;
    format.FileSystem = fileSystem;
    format.PartitionSelector = ENGINE_ALL_PARTITIONS;
    return Control(IOCTL_ENGINE_FORMAT_VOLUME, Tail(&format, sizeof format, u"", 0));
  }
  // Saves the whole volume into the host file Path (a fresh image with a
  // header), flushing the file system first with FlushFirst.
  bool Save(uint64_t volume, const std::string &path, bool flushFirst) {
    SaveImageRequest save = {};
    save.VolumeHandle = volume;
    save.SaveFlags = flushFirst ? ENGINE_SAVE_FLUSH_FIRST : 0;
    std::u16string target = EnginePath(path);
    save.TargetPathLength = static_cast<uint16_t>(target.size() * 2);
    return Control(IOCTL_ENGINE_SAVE_IMAGE, Tail(&save, sizeof save, target, 2));
  }
  // Mounts the host file Path as it is (no header: a raw image); 0 when it
  // failed.
  uint64_t MountRawImage(const std::string &path) {
    MountImageRequest mount = {};
    mount.MountFlags = ENGINE_MOUNT_RAW_IMAGE;
    std::u16string image = EnginePath(path);
    mount.ImagePathLength = static_cast<uint16_t>(image.size() * 2);
    std::vector<uint8_t> input = Tail(&mount, sizeof mount, image, 2);
    MountResult result = {};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(control_, IOCTL_ENGINE_MOUNT_IMAGE, input.data(),
                                static_cast<DWORD>(input.size()), &result, sizeof result, &returned,
                                nullptr))
        << GetLastError();
    EXPECT_EQ(0, result.Status);
    return result.VolumeHandle;
  }
  // A memory volume loaded from the raw image at Path, which it saves back to.
  uint64_t LoadRawImage(const std::string &path) {
    CreateMemoryVolumeRequest create = {};
    create.MountFlags = ENGINE_MOUNT_MEMORY | ENGINE_MOUNT_RAW_IMAGE;
    std::u16string image = EnginePath(path);
    create.ImagePathLength = static_cast<uint16_t>(image.size() * 2);
    std::vector<uint8_t> input = Tail(&create, sizeof create, image, 2);
    MountResult result = {};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(control_, IOCTL_ENGINE_CREATE_MEMORY_VOLUME, input.data(),
                                static_cast<DWORD>(input.size()), &result, sizeof result, &returned,
                                nullptr))
        << GetLastError();
    EXPECT_EQ(0, result.Status);
    return result.VolumeHandle;
  }
  bool SetFlushState(uint64_t volume, uint32_t period, uint32_t flags) {
    FlushStateRequest state = {volume, period, flags};
    return Control(IOCTL_ENGINE_SET_FLUSH_STATE, Tail(&state, sizeof state, u"", 0));
  }
  bool Unmount(uint64_t volume, bool force) {
    UnmountRequest unmount = {};
    unmount.VolumeHandle = volume;
    unmount.Force = force ? 1 : 0;
    DWORD returned = 0;
    return DeviceIoControl(control_, IOCTL_ENGINE_UNMOUNT, &unmount, sizeof unmount, nullptr, 0,
                           &returned, nullptr);
  }
  bool Listed(uint64_t volume) {
    uint64_t handles[64] = {};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(control_, IOCTL_ENGINE_LIST_VOLUMES, nullptr, 0, handles,
                                sizeof handles, &returned, nullptr))
        << GetLastError();
    for (DWORD i = 0; i < returned / 8; ++i)
      if (handles[i] == volume) return true;
    return false;
  }
  // The engine removes a volume in its reaper, a moment after the request.
  bool WaitUntilGone(uint64_t volume) {
    for (int i = 0; i < 300 && Listed(volume); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return !Listed(volume);
  }

  // \\.\R: for file-system controls, as a program opens a volume.
  static HANDLE OpenVolumeR() {
    return CreateFileW(u"\\\\.\\R:", GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }
  static bool FsControl(HANDLE handle, DWORD code, const void *input = nullptr,
                        DWORD inputLength = 0) {
    DWORD returned = 0;
    return DeviceIoControl(handle, code, const_cast<void *>(input), inputLength, nullptr, 0,
                           &returned, nullptr);
  }

  static HANDLE Create(const char16_t *path, DWORD access = GENERIC_READ | GENERIC_WRITE,
                       DWORD share = 0, DWORD disposition = CREATE_ALWAYS, DWORD flags = 0) {
    return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
  }
  static bool Write(HANDLE file, const std::vector<uint8_t> &bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
  }
  static bool PutFile(const char16_t *path, const std::vector<uint8_t> &bytes) {
    HANDLE file = Create(path, GENERIC_WRITE);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool written = Write(file, bytes);
    return CloseHandle(file) && written;
  }
  // The whole file; false when it cannot be opened or read.
  static bool GetFile(const char16_t *path, std::vector<uint8_t> *bytes) {
    HANDLE file =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bytes->clear();
    std::vector<uint8_t> chunk(1 << 20);
    DWORD read = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) &&
           read)
      bytes->insert(bytes->end(), chunk.begin(), chunk.begin() + read);
    CloseHandle(file);
    return ok;
  }
  static std::vector<uint8_t> Pattern(size_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : bytes) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      b = static_cast<uint8_t>(x);
    }
    return bytes;
  }
};

}  // namespace bw::test
