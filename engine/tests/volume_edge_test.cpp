// Edge cases of live volumes: paging files on the volume, what a raw image
// does with a key, the flush state's quieter settings and a timer that sets
// itself again after each flush.
#include "engine/tests/apc_log.h"
#include "engine/tests/volume_fixture.h"

#include <filesystem>
#include <fstream>

namespace enginetest {
namespace {

class VolumeEdges : public VolumeFixture {
 protected:
  const char *EngineModule() const override { return "ramvol_hooks.sys"; }

  // A PnP request as the storage stack sends it.
  static NTSTATUS Pnp(PDEVICE_OBJECT device, UCHAR minor, BOOLEAN inPath, DEVICE_USAGE_NOTIFICATION_TYPE type) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MinorFunction = minor;
    stack->Parameters.UsageNotification.InPath = inPath;
    stack->Parameters.UsageNotification.Type = type;
    NTSTATUS status = IoCallDriver(device, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    return status;
  }
  static NTSTATUS Paging(PDEVICE_OBJECT device, BOOLEAN inPath) {
    return Pnp(device, IRP_MN_DEVICE_USAGE_NOTIFICATION, inPath, DeviceUsageTypePaging);
  }

  VolumeInfoReply Query(uint64_t handle) {
    bw::IoResult result = Control(IOCTL_ENGINE_QUERY_VOLUME, Record(8).Put<uint64_t>(0, handle), 100);
    EXPECT_STATUS(STATUS_SUCCESS, result.status);
    VolumeInfoReply reply{};
    if (result.output.size() == sizeof(reply)) std::memcpy(&reply, result.output.data(), sizeof(reply));
    return reply;
  }

  uint32_t PagingCount(uint64_t handle) { return Query(handle).PagingUseCount; }
  uint32_t StateFlags(uint64_t handle) { return Query(handle).StateFlags; }

  static std::vector<uint8_t> FileRange(const std::string &path, size_t offset, size_t length) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::vector<uint8_t> bytes(length);
    in.read(reinterpret_cast<char *>(bytes.data()), static_cast<std::streamsize>(length));
    return bytes;
  }
};

TEST_F(VolumeEdges, PagingFilesKeepTheVolumeInServiceAndFollowTheDeviceFlag) {
  Reply readOnly = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory | ENGINE_MOUNT_READ_ONLY, kMiB, ENGINE_FS_RAW);
  Reply removable = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory | ENGINE_MOUNT_REMOVABLE, kMiB, ENGINE_FS_RAW);
  Reply fixed = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, kMiB, ENGINE_FS_RAW);
  ASSERT_STATUS(STATUS_SUCCESS, readOnly.status);
  ASSERT_STATUS(STATUS_SUCCESS, removable.status);
  ASSERT_STATUS(STATUS_SUCCESS, fixed.status);

  PDEVICE_OBJECT readOnlyDevice = ReferenceDeviceOf(OpenDevice(readOnly.handle, GENERIC_READ));
  PDEVICE_OBJECT removableDevice = ReferenceDeviceOf(OpenDevice(removable.handle));
  HANDLE fixedHandle = OpenDevice(fixed.handle);
  PDEVICE_OBJECT device = ReferenceDeviceOf(fixedHandle);
  ASSERT_TRUE(readOnlyDevice && removableDevice && device);
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED, Paging(readOnlyDevice, TRUE));
  EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE, Paging(removableDevice, TRUE));
  EXPECT_EQ(0u, PagingCount(readOnly.handle));

  // Leaving before anything entered is refused; two files enter.
  EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE, Paging(device, FALSE));
  EXPECT_STATUS(STATUS_SUCCESS, Paging(device, TRUE));
  EXPECT_STATUS(STATUS_SUCCESS, Paging(device, TRUE));
  EXPECT_EQ(2u, PagingCount(fixed.handle));
  EXPECT_EQ(0u, device->Flags & DO_POWER_PAGABLE);
  // Other PnP requests, and usage types other than paging, are not ours.
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, Pnp(device, 0x07, TRUE, DeviceUsageTypePaging));
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST,
                Pnp(device, IRP_MN_DEVICE_USAGE_NOTIFICATION, TRUE, DeviceUsageTypeHibernation));
  EXPECT_EQ(2u, PagingCount(fixed.handle));

  // A volume holding a paging file stays, forced or not.
  for (uint8_t force : {0, 1}) {
    EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE, Unmount(fixed.handle, force, 0));
    EXPECT_NE(0u, StateFlags(fixed.handle) & 0x40000u);
  }
  EXPECT_STATUS(STATUS_SUCCESS, Paging(device, FALSE));
  EXPECT_EQ(0u, device->Flags & DO_POWER_PAGABLE);
  EXPECT_STATUS(STATUS_SUCCESS, Paging(device, FALSE));
  EXPECT_EQ(static_cast<ULONG>(DO_POWER_PAGABLE), device->Flags & DO_POWER_PAGABLE);
  EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE, Paging(device, FALSE));

  // Out of service (unmounted while still open, which takes force while
  // the open handle holds its file system): no paging file may enter.
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(fixed.handle, 1, 0));
  EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE, Paging(device, TRUE));
  for (PDEVICE_OBJECT d : {readOnlyDevice, removableDevice, device}) ObDereferenceObject(d);
  CloseDevice(fixedHandle);
  WaitForVolumeCount(2);
  EXPECT_EQ(2u, VolumeCount());
}

TEST_F(VolumeEdges, ARawImageTakesAlgorithmOneWhateverKeyComesWithIt) {
  std::vector<uint8_t> bytes = Pattern(kMiB, 4);
  // The memory volume keeps its image open: each volume has a file of its own.
  std::string loaded = root_ + "/loaded.img", mounted = root_ + "/mounted.img";
  for (const std::string &raw : {loaded, mounted})
    std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()), kMiB);
  Reply memory = CreateMemory(ENGINE_ALGORITHM_XOR, kMemory | ENGINE_MOUNT_RAW_IMAGE, 0, 0, NtPath(loaded), u"key");
  Reply direct = MountImage(ENGINE_MOUNT_RAW_IMAGE | ENGINE_MOUNT_READ_ONLY, NtPath(mounted), u"key");
  for (const Reply &reply : {memory, direct}) {
    ASSERT_STATUS(STATUS_SUCCESS, reply.status);
    EXPECT_EQ(0u, reply.outcome);
    VolumeInfoReply info = Query(reply.handle);
    uint32_t algorithm = info.AlgorithmId;
    uint64_t size = info.VolumeSize;
    EXPECT_EQ(ENGINE_ALGORITHM_NULL, algorithm);
    EXPECT_EQ(kMiB, size);
    // The bytes are the file's, not decoded with the key.
    HANDLE device = OpenDevice(reply.handle, GENERIC_READ);
    EXPECT_TRUE(bytes == ReadAll(device, kMiB));
    CloseDevice(device);
  }
}

TEST_F(VolumeEdges, FlushStateWithoutAPeriodChangesOnlyTheFlagsAndAPeriodRepeats) {
  std::string image = root_ + "/repeat.img";
  ASSERT_STATUS(STATUS_SUCCESS, CreateImageFile(image, ENGINE_ALGORITHM_NULL, u"", 2 * kMiB, ENGINE_FS_RAW));
  Reply volume = CreateMemory(0, kMemory, 0, 0, NtPath(image));
  ASSERT_STATUS(STATUS_SUCCESS, volume.status);
  EXPECT_STATUS(STATUS_INVALID_HANDLE, FlushState(volume.handle + 8, 1, 0));
  EXPECT_STATUS(STATUS_INVALID_BUFFER_SIZE, Control(IOCTL_ENGINE_SET_FLUSH_STATE, Record(17), 0).status);

  auto listener = process_->CreateThread(300);
  ApcLog log;
  log.Attach(*listener);
  HANDLE listenerHandle = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, process_->OpenThreadHandle(*listener, &listenerHandle));
  ASSERT_STATUS(STATUS_SUCCESS,
                Control(IOCTL_ENGINE_REGISTER_NOTIFY,
                        Record(16).Put<uint64_t>(0, reinterpret_cast<uint64_t>(listenerHandle)).Put<uint64_t>(8, 0x1000),
                        0)
                    .status);

  HANDLE device = OpenDevice(volume.handle);
  std::vector<uint8_t> first = Pattern(4096, 1), second = Pattern(4096, 2);
  ASSERT_STATUS(STATUS_SUCCESS, Transfer(device, true, first.data(), 4096, 65536));
  // Period 0 on an idle timer: nothing is flushed, however long one waits.
  EXPECT_STATUS(STATUS_SUCCESS, FlushState(volume.handle, 0, ENGINE_SAVE_FLUSH_FIRST));
  std::this_thread::sleep_for(1300ms);
  EXPECT_EQ(0u, log.Count());
  EXPECT_EQ(2 * kMiB + 8192, std::filesystem::file_size(image));
  EXPECT_EQ(std::vector<uint8_t>(4096, 0), FileRange(image, 4096 + 65536, 4096));

  // A period: the first flush, then, with the timer set again after it, a second.
  EXPECT_STATUS(STATUS_SUCCESS, FlushState(volume.handle, 1, 0));
  ASSERT_TRUE(log.WaitForEvent(ENGINE_EVENT_AUTOFLUSH_FINISHED));
  EXPECT_EQ(first, FileRange(image, 4096 + 65536, 4096));
  ASSERT_STATUS(STATUS_SUCCESS, Transfer(device, true, second.data(), 4096, kMiB));
  ASSERT_EQ(4u, log.WaitFor(4, 10s).size());
  EXPECT_EQ(second, FileRange(image, 4096 + kMiB, 4096));
  EXPECT_EQ(2 * kMiB + 4096, std::filesystem::file_size(image));
  EXPECT_STATUS(STATUS_SUCCESS, FlushState(volume.handle, 0, 0));
  std::this_thread::sleep_for(200ms);
  size_t settled = log.Count();
  std::this_thread::sleep_for(1300ms);
  EXPECT_EQ(settled, log.Count());
  std::vector<uint64_t> codes;
  for (const bw::UserApc &apc : log.All()) codes.push_back(apc.systemArgument1);
  for (size_t i = 0; i < codes.size(); ++i)
    EXPECT_EQ(i % 2 ? ENGINE_EVENT_AUTOFLUSH_FINISHED : ENGINE_EVENT_AUTOFLUSH_STARTED, codes[i]) << i;
  CloseDevice(device);
  listener->SetApcSink(nullptr);
}

}  // namespace
}  // namespace enginetest
