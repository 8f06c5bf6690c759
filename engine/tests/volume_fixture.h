// Live volumes driven as the control library and the storage stack drive
// them: requests on the control device, opens, reads, writes and storage
// requests on the volume device.
#pragma once

#include "engine/tests/engine_fixture.h"

#include <ntdddisk.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>

namespace enginetest {

using namespace std::chrono_literals;

inline constexpr uint32_t kMemory = ENGINE_MOUNT_MEMORY;
inline constexpr ULONGLONG kMiB = 1ull << 20;
inline constexpr uint32_t kNoReply = 0xFFFFFFFF;

inline std::u16string NtPath(const std::string &hostPath) {
  std::u16string path = u"\\??\\Z:";
  for (char c : hostPath) path.push_back(c == '/' ? u'\\' : static_cast<char16_t>(c));
  return path;
}

struct Reply {
  NTSTATUS status;
  uint64_t handle;
  uint32_t outcome;
};

class VolumeFixture : public KernelFixture {
 protected:
  void SetUp() override {
    KernelFixture::SetUp();
    ASSERT_NO_FATAL_FAILURE(StartEngineWithClient(100));
  }
  void TearDown() override {
    for (HANDLE h : handles_) ZwClose(h);
    KernelFixture::TearDown();
  }

  static Reply ReplyOf(const bw::IoResult &result) {
    // A request that failed as a whole (no pool for its buffer) has no reply.
    Reply reply{result.status, 0, kNoReply};
    if (!NT_SUCCESS(result.status)) return reply;
    EXPECT_EQ(16u, result.output.size());
    if (result.output.size() == 16) {
      MountResult r;
      std::memcpy(&r, result.output.data(), sizeof(r));
      reply = {r.Status, r.VolumeHandle, r.ImageStatus};
    }
    return reply;
  }

  Reply CreateMemory(uint32_t algorithm, uint32_t flags, ULONGLONG size, uint32_t fileSystem,
                     const std::u16string &path = u"", const std::u16string &key = u"", const std::string &label = "") {
    Record r(34);
    r.Put<uint32_t>(0, algorithm).Put<uint64_t>(4, size).Put<uint32_t>(12, flags).Put<uint32_t>(20, fileSystem);
    r.Put<uint16_t>(28, static_cast<uint16_t>(label.size())).Put<uint16_t>(30, static_cast<uint16_t>(key.size() * 2));
    r.Put<uint16_t>(32, static_cast<uint16_t>(path.size() * 2));
    size_t at = 34;
    for (char16_t c : path) r.Put<uint16_t>(at, c), at += 2;
    for (char16_t c : key) r.Put<uint16_t>(at, c), at += 2;
    for (char c : label) r.Put<uint8_t>(at, static_cast<uint8_t>(c)), at += 1;
    r.Resize(at + 2);
    return ReplyOf(Control(IOCTL_ENGINE_CREATE_MEMORY_VOLUME, r, 16));
  }

  Reply MountImage(uint32_t flags, const std::u16string &path, const std::u16string &key = u"") {
    Record r(8);
    r.Put<uint32_t>(0, flags).Put<uint16_t>(4, static_cast<uint16_t>(key.size() * 2));
    r.Put<uint16_t>(6, static_cast<uint16_t>(path.size() * 2));
    size_t at = 8;
    for (char16_t c : path) r.Put<uint16_t>(at, c), at += 2;
    for (char16_t c : key) r.Put<uint16_t>(at, c), at += 2;
    r.Resize(at + 2);
    return ReplyOf(Control(IOCTL_ENGINE_MOUNT_IMAGE, r, 16));
  }

  NTSTATUS CreateImageFile(const std::string &host, uint32_t algorithm, const std::u16string &key, ULONGLONG size,
                           uint32_t fileSystem) {
    std::u16string path = NtPath(host);
    Record r(24);
    r.Put<uint32_t>(0, algorithm).Put<uint8_t>(4, 1).Put<uint16_t>(5, static_cast<uint16_t>(key.size() * 2));
    r.Put<uint64_t>(7, size).Put<uint8_t>(15, 1).Put<uint32_t>(16, fileSystem);
    r.Put<uint16_t>(22, static_cast<uint16_t>(path.size() * 2));
    size_t at = 24;
    for (char16_t c : path) r.Put<uint16_t>(at, c), at += 2;
    for (char16_t c : key) r.Put<uint16_t>(at, c), at += 2;
    r.Resize(at);
    return Control(IOCTL_ENGINE_CREATE_IMAGE, r, 4).status;
  }

  NTSTATUS Unmount(uint64_t handle, uint8_t force, uint8_t wipe) {
    Record r(10);
    r.Put<uint64_t>(0, handle).Put<uint8_t>(8, force).Put<uint8_t>(9, wipe);
    return Control(IOCTL_ENGINE_UNMOUNT, r, 0).status;
  }

  NTSTATUS Save(uint64_t handle, uint32_t flags, const std::u16string &path = u"") {
    Record r(14);
    r.Put<uint64_t>(0, handle).Put<uint32_t>(8, flags).Put<uint16_t>(12, static_cast<uint16_t>(path.size() * 2));
    size_t at = 14;
    for (char16_t c : path) r.Put<uint16_t>(at, c), at += 2;
    r.Resize(at + 2);
    return Control(IOCTL_ENGINE_SAVE_IMAGE, r, 0).status;
  }

  NTSTATUS FlushState(uint64_t handle, uint32_t period, uint32_t flags) {
    return Control(IOCTL_ENGINE_SET_FLUSH_STATE,
                   Record(16).Put<uint64_t>(0, handle).Put<uint32_t>(8, period).Put<uint32_t>(12, flags), 0)
        .status;
  }

  size_t VolumeCount() { return Control(IOCTL_ENGINE_LIST_VOLUMES, nullptr, 0, 0).information / 8; }
  // A volume leaves the list before its teardown closes its image (event 5
  // tells when that is done): a request for the same image made right after
  // may find it still held, and is made again until it is let go.
  template <typename Request>
  static Reply OnceImageFree(Request request) {
    Reply reply = request();
    for (int i = 0; i < 250 && reply.status == STATUS_SHARING_VIOLATION; ++i) {
      std::this_thread::sleep_for(20ms);
      reply = request();
    }
    return reply;
  }

  // A volume leaves the table before its teardown releases its memory.
  static void WaitForPagesReleased() {
    for (int i = 0; i < 500 && bw::MdlPagesOutstanding() != 0; ++i) std::this_thread::sleep_for(10ms);
  }

  // The reaper removes volumes on its own time; a loaded machine may be slow.
  void WaitForVolumeCount(size_t count) {
    for (int i = 0; i < 500 && VolumeCount() > count; ++i) std::this_thread::sleep_for(20ms);
  }

  std::u16string DeviceName(uint64_t handle) {
    bw::IoResult result = Control(IOCTL_ENGINE_GET_DEVICE_NAME, Record(8).Put<uint64_t>(0, handle), 512);
    EXPECT_STATUS(STATUS_SUCCESS, result.status);
    if (result.output.size() < 2) return u"";
    uint16_t length;
    std::memcpy(&length, result.output.data(), 2);
    std::u16string name(length / 2, u'\0');
    std::memcpy(name.data(), result.output.data() + 2, length);
    return name;
  }

  // Opens the volume's device from kernel mode; the handle is closed at the end.
  NTSTATUS OpenDeviceFor(uint64_t volume, ACCESS_MASK access, HANDLE *handle) {
    *handle = nullptr;
    std::u16string name = DeviceName(volume);
    UNICODE_STRING us{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    NTSTATUS status = ZwCreateFile(handle, access | SYNCHRONIZE, &attributes, &iosb, nullptr, 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                   nullptr, 0);
    if (*handle) handles_.push_back(*handle);
    return status;
  }
  HANDLE OpenDevice(uint64_t volume, ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE) {
    HANDLE handle = nullptr;
    EXPECT_STATUS(STATUS_SUCCESS, OpenDeviceFor(volume, access, &handle));
    return handle;
  }
  void CloseDevice(HANDLE handle) {
    handles_.erase(std::find(handles_.begin(), handles_.end(), handle));
    ZwClose(handle);
  }

  // The device object behind an open handle, referenced.
  static PDEVICE_OBJECT ReferenceDeviceOf(HANDLE handle) {
    PFILE_OBJECT file = nullptr;
    EXPECT_STATUS(STATUS_SUCCESS, ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode,
                                                            reinterpret_cast<PVOID *>(&file), nullptr));
    if (!file) return nullptr;
    // The device's own stack, beneath any file system mounted on it.
    PDEVICE_OBJECT device = IoGetAttachedDevice(file->DeviceObject);
    ObReferenceObject(device);
    ObDereferenceObject(file);
    return device;
  }

  // A write sent straight to the device behind Handle, whatever access the
  // handle has: what a component below the file systems could send.
  static NTSTATUS WriteToDevice(HANDLE handle, void *buffer, ULONG length, LONGLONG offset) {
    PDEVICE_OBJECT device = ReferenceDeviceOf(handle);
    if (!device) return STATUS_INVALID_HANDLE;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_WRITE, device, buffer, length, &at, &event, &iosb);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (irp) {
      status = IoCallDriver(device, irp);
      if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = iosb.Status;
      }
    }
    ObDereferenceObject(device);
    return status;
  }

  static NTSTATUS Transfer(HANDLE device, bool write, void *buffer, ULONG length, LONGLONG offset,
                           ULONG_PTR *bytes = nullptr) {
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS status = write ? ZwWriteFile(device, nullptr, nullptr, nullptr, &iosb, buffer, length, &at, nullptr)
                            : ZwReadFile(device, nullptr, nullptr, nullptr, &iosb, buffer, length, &at, nullptr);
    if (bytes) *bytes = iosb.Information;
    return status;
  }

  static NTSTATUS Ioctl(HANDLE device, ULONG code, std::vector<uint8_t> input, ULONG outputLength,
                        std::vector<uint8_t> *output = nullptr, ULONG_PTR *information = nullptr) {
    std::vector<uint8_t> out(outputLength);
    IO_STATUS_BLOCK iosb{};
    NTSTATUS status = ZwDeviceIoControlFile(device, nullptr, nullptr, nullptr, &iosb, code,
                                            input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
                                            out.empty() ? nullptr : out.data(), outputLength);
    if (information) *information = iosb.Information;
    if (output) *output = out;
    return status;
  }

  std::vector<uint8_t> ReadAll(HANDLE device, ULONGLONG size) {
    std::vector<uint8_t> data(size);
    ULONG_PTR bytes = 0;
    EXPECT_STATUS(STATUS_SUCCESS, Transfer(device, false, data.data(), static_cast<ULONG>(size), 0, &bytes));
    EXPECT_EQ(size, bytes);
    return data;
  }

  static std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> data(size);
    for (auto &b : data) b = static_cast<uint8_t>(random());
    return data;
  }

  std::vector<HANDLE> handles_;
};

}  // namespace enginetest
