// Live volumes: creation and mount outcomes, the volume device's reads,
// writes and storage requests, unmounting, saving, autoflush and the save
// at shutdown.
#include "engine/tests/volume_fixture.h"

#include <filesystem>
#include <fstream>

namespace enginetest {
namespace {

class Volumes : public VolumeFixture {};

TEST_F(Volumes, CreatesAFormattedVolumeWithItsDeviceAndRemovesItAgain) {
  Reply reply = CreateMemory(ENGINE_ALGORITHM_XOR, kMemory, 64 * kMiB, ENGINE_FS_FAT32, u"", u"key", "DATA");
  ASSERT_STATUS(STATUS_SUCCESS, reply.status);
  EXPECT_EQ(0u, reply.outcome);
  ASSERT_NE(0u, reply.handle);
  EXPECT_EQ(1u, VolumeCount());
  std::u16string name = DeviceName(reply.handle);
  EXPECT_EQ(u"\\Device\\", name.substr(0, 8));
  EXPECT_TRUE(bw::ObjectExists(name));

  bw::IoResult info = Control(IOCTL_ENGINE_QUERY_VOLUME, Record(8).Put<uint64_t>(0, reply.handle), 100);
  ASSERT_STATUS(STATUS_SUCCESS, info.status);
  VolumeInfoReply volume;
  std::memcpy(&volume, info.output.data(), sizeof(volume));
  uint32_t state = volume.StateFlags, algorithm = volume.AlgorithmId;
  uint64_t size = volume.VolumeSize;
  EXPECT_EQ(0x800u | 0x20000u | 0x40000u, state);
  EXPECT_EQ(64 * kMiB, size);
  EXPECT_EQ(2u, algorithm);

  // The boot sector decodes through the cipher: a FAT32 volume labelled DATA.
  HANDLE device = OpenDevice(reply.handle);
  std::vector<uint8_t> boot(512);
  ASSERT_STATUS(STATUS_SUCCESS, Transfer(device, false, boot.data(), 512, 0));
  EXPECT_EQ(0x55, boot[510]);
  EXPECT_EQ(0xAA, boot[511]);
  EXPECT_EQ(0, std::memcmp(boot.data() + 82, "FAT32   ", 8));
  EXPECT_EQ(0, std::memcmp(boot.data() + 71, "DATA", 4));
  CloseDevice(device);

  EXPECT_STATUS(STATUS_SUCCESS, Unmount(reply.handle, 0, 1));
  WaitForVolumeCount(0);
  EXPECT_EQ(0u, VolumeCount());
  EXPECT_FALSE(bw::ObjectExists(name));
  EXPECT_STATUS(STATUS_INVALID_HANDLE, Unmount(reply.handle, 1, 0));
}

TEST_F(Volumes, ReadsAndWritesFromTwoThreadsMatchAReferenceCopy) {
  for (uint32_t algorithm : {ENGINE_ALGORITHM_NULL, ENGINE_ALGORITHM_XOR}) {
    SCOPED_TRACE(algorithm);
    constexpr ULONGLONG size = 4 * kMiB;
    Reply reply = CreateMemory(algorithm, kMemory, size, ENGINE_FS_RAW, u"", u"secret");
    ASSERT_STATUS(STATUS_SUCCESS, reply.status);
    HANDLE device = OpenDevice(reply.handle);
    std::vector<uint8_t> reference(size, 0);
    EXPECT_EQ(reference, ReadAll(device, size));

    // Each thread owns one half, so the reference needs no lock.
    auto writer = [&](ULONGLONG base, uint32_t seed) {
      std::mt19937 random(seed);
      for (int i = 0; i < 300; ++i) {
        ULONG length = 1 + random() % 70000;
        ULONGLONG offset = base + random() % (size / 2 - length);
        std::vector<uint8_t> data = Pattern(length, random());
        ULONG_PTR bytes = 0;
        EXPECT_STATUS(STATUS_SUCCESS, Transfer(device, true, data.data(), length, offset, &bytes));
        EXPECT_EQ(length, bytes);
        std::memcpy(reference.data() + offset, data.data(), length);
        std::vector<uint8_t> back(length);
        EXPECT_STATUS(STATUS_SUCCESS, Transfer(device, false, back.data(), length, offset));
        EXPECT_EQ(0, std::memcmp(back.data(), reference.data() + offset, length));
      }
    };
    std::thread first(writer, 0, 1), second(writer, size / 2, 2);
    first.join();
    second.join();
    EXPECT_EQ(reference, ReadAll(device, size));

    // The last sector, and the end.
    std::vector<uint8_t> tail = Pattern(512, 9);
    EXPECT_STATUS(STATUS_SUCCESS, Transfer(device, true, tail.data(), 512, size - 512));
    std::vector<uint8_t> crossing(1024);
    ULONG_PTR bytes = 0;
    EXPECT_STATUS(STATUS_SUCCESS, Transfer(device, false, crossing.data(), 1024, size - 512, &bytes));
    EXPECT_EQ(512u, bytes);
    EXPECT_EQ(0, std::memcmp(crossing.data(), tail.data(), 512));
    EXPECT_STATUS(STATUS_END_OF_FILE, Transfer(device, false, crossing.data(), 512, size));
    EXPECT_STATUS(STATUS_END_OF_FILE, Transfer(device, true, crossing.data(), 1024, size - 512));
    EXPECT_STATUS(STATUS_END_OF_FILE, Transfer(device, true, crossing.data(), 1, size));
    CloseDevice(device);
    EXPECT_STATUS(STATUS_SUCCESS, Unmount(reply.handle, 1, 0));
  }
}

TEST_F(Volumes, ReadOnlyVolumesRefuseWrites) {
  Reply reply = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory | ENGINE_MOUNT_READ_ONLY, kMiB, ENGINE_FS_RAW);
  ASSERT_STATUS(STATUS_SUCCESS, reply.status);
  // Nobody opens a write-protected device for writing; a write that reaches
  // the volume anyway is refused by it.
  HANDLE writer = nullptr;
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED, OpenDeviceFor(reply.handle, GENERIC_READ | GENERIC_WRITE, &writer));
  HANDLE device = OpenDevice(reply.handle, GENERIC_READ);
  std::vector<uint8_t> data(512, 0x5A);
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED, WriteToDevice(device, data.data(), 512, 0));
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED, Ioctl(device, IOCTL_DISK_IS_WRITABLE, {}, 0));
  EXPECT_STATUS(STATUS_SUCCESS, Transfer(device, false, data.data(), 512, 0));
  EXPECT_EQ(0, data[0]);
}

TEST_F(Volumes, StorageRequestsAnswerAndRefuseShortOutputs) {
  Reply reply = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory | ENGINE_MOUNT_REMOVABLE, 16 * kMiB, ENGINE_FS_RAW);
  ASSERT_STATUS(STATUS_SUCCESS, reply.status);
  HANDLE device = OpenDevice(reply.handle);
  struct Minimum {
    ULONG code;
    ULONG length;
    NTSTATUS tooShort;
  };
  const Minimum minimums[] = {
      {IOCTL_DISK_GET_DRIVE_GEOMETRY, 24, STATUS_BUFFER_TOO_SMALL},
      {IOCTL_DISK_GET_MEDIA_TYPES, 24, STATUS_BUFFER_TOO_SMALL},
      {IOCTL_STORAGE_GET_MEDIA_TYPES, 24, STATUS_BUFFER_TOO_SMALL},
      {IOCTL_DISK_GET_PARTITION_INFO_EX, 144, STATUS_BUFFER_TOO_SMALL},
      {IOCTL_DISK_GET_PARTITION_INFO, 32, STATUS_BUFFER_TOO_SMALL},
      {IOCTL_DISK_GET_DRIVE_LAYOUT, 40, STATUS_BUFFER_TOO_SMALL},
      {IOCTL_DISK_GET_LENGTH_INFO, 8, STATUS_BUFFER_TOO_SMALL},
      {IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, 32, STATUS_INVALID_PARAMETER},
  };
  for (const Minimum &m : minimums) {
    SCOPED_TRACE(m.code);
    ULONG_PTR information = 99;
    EXPECT_STATUS(m.tooShort, Ioctl(device, m.code, {}, m.length - 1, nullptr, &information));
    EXPECT_EQ(0u, information);
    std::vector<uint8_t> out;
    EXPECT_STATUS(STATUS_SUCCESS, Ioctl(device, m.code, {}, m.length, &out, &information));
    EXPECT_EQ(m.length, information);
  }
  std::vector<uint8_t> out;
  ULONG_PTR information = 0;
  ASSERT_STATUS(STATUS_SUCCESS, Ioctl(device, IOCTL_DISK_GET_DRIVE_GEOMETRY, {}, 24, &out));
  DISK_GEOMETRY geometry;
  std::memcpy(&geometry, out.data(), sizeof(geometry));
  EXPECT_EQ(RemovableMedia, geometry.MediaType);
  EXPECT_EQ(512u, geometry.BytesPerSector);
  EXPECT_EQ(63u, geometry.SectorsPerTrack);
  EXPECT_EQ(255u, geometry.TracksPerCylinder);
  EXPECT_EQ(static_cast<LONGLONG>(16 * kMiB / 512 / 16065), geometry.Cylinders.QuadPart);
  ASSERT_STATUS(STATUS_SUCCESS, Ioctl(device, IOCTL_DISK_GET_LENGTH_INFO, {}, 8, &out));
  uint64_t length;
  std::memcpy(&length, out.data(), 8);
  EXPECT_EQ(16 * kMiB, length);

  // Unique id: 67 bytes; 2 to 66 give its length only.
  EXPECT_STATUS(STATUS_BUFFER_TOO_SMALL, Ioctl(device, IOCTL_MOUNTDEV_QUERY_UNIQUE_ID, {}, 1));
  EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, Ioctl(device, IOCTL_MOUNTDEV_QUERY_UNIQUE_ID, {}, 66, &out, &information));
  EXPECT_EQ(2u, information);
  EXPECT_EQ(64, out[0] | out[1] << 8);
  EXPECT_STATUS(STATUS_SUCCESS, Ioctl(device, IOCTL_MOUNTDEV_QUERY_UNIQUE_ID, {}, 67, &out, &information));
  EXPECT_EQ(67u, information);
  // The id is SHA-512 over SHA-512 of the device name and the control name digest: not zero, not the name's.
  EXPECT_NE(std::vector<uint8_t>(64, 0), std::vector<uint8_t>(out.begin() + 2, out.begin() + 66));

  std::u16string name = DeviceName(reply.handle);
  ULONG full = static_cast<ULONG>(2 + name.size() * 2);
  EXPECT_STATUS(STATUS_BUFFER_OVERFLOW,
                Ioctl(device, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, {}, full - 1, &out, &information));
  EXPECT_EQ(2u, information);
  EXPECT_STATUS(STATUS_SUCCESS, Ioctl(device, IOCTL_MOUNTDEV_QUERY_DEVICE_NAME, {}, full, &out, &information));
  EXPECT_EQ(full, information);
  EXPECT_EQ(0, std::memcmp(out.data() + 2, name.data(), name.size() * 2));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Ioctl(device, IOCTL_MOUNTDEV_QUERY_SUGGESTED_LINK_NAME, {}, 100));
  EXPECT_STATUS(STATUS_NOT_SUPPORTED, Ioctl(device, IOCTL_MOUNTDEV_QUERY_STABLE_GUID, {}, 16));
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, Ioctl(device, CTL_CODE(7, 0x7FF, 0, 0), {}, 0));

  // Check verify: 4 bytes of change count, or nothing.
  EXPECT_STATUS(STATUS_SUCCESS, Ioctl(device, IOCTL_DISK_CHECK_VERIFY, {}, 4, &out, &information));
  EXPECT_EQ(4u, information);
  EXPECT_STATUS(STATUS_SUCCESS, Ioctl(device, IOCTL_STORAGE_CHECK_VERIFY, {}, 0, &out, &information));
  EXPECT_EQ(0u, information);
  // Verify: 16 bytes of input, the length back.
  std::vector<uint8_t> verify(16, 0);
  verify[8] = 0x00;
  verify[9] = 0x10;
  EXPECT_STATUS(STATUS_SUCCESS, Ioctl(device, IOCTL_DISK_VERIFY, verify, 0, &out, &information));
  EXPECT_EQ(0x1000u, information);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Ioctl(device, IOCTL_DISK_VERIFY, std::vector<uint8_t>(15), 0));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Ioctl(device, IOCTL_DISK_SET_PARTITION_INFO, {}, 0));
  EXPECT_STATUS(STATUS_SUCCESS, Ioctl(device, IOCTL_DISK_IS_WRITABLE, {}, 0));

  // Eject marks the volume.
  EXPECT_STATUS(STATUS_SUCCESS, Ioctl(device, IOCTL_STORAGE_EJECT_MEDIA, {}, 0));
  bw::IoResult info = Control(IOCTL_ENGINE_QUERY_VOLUME, Record(8).Put<uint64_t>(0, reply.handle), 100);
  uint32_t state;
  std::memcpy(&state, info.output.data(), 4);
  EXPECT_EQ(0x200u, state & 0x200u);
}

TEST_F(Volumes, SetReadOnlyFromUserModeIsRefused) {
  Reply reply = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, kMiB, ENGINE_FS_RAW);
  ASSERT_STATUS(STATUS_SUCCESS, reply.status);
  HANDLE device = OpenDevice(reply.handle);
  PFILE_OBJECT file = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, ObReferenceObjectByHandle(device, 0, *IoFileObjectType, KernelMode,
                                                          reinterpret_cast<PVOID *>(&file), nullptr));
  PDEVICE_OBJECT target = IoGetRelatedDeviceObject(file);
  for (KPROCESSOR_MODE mode : {UserMode, KernelMode}) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(7, 0x100, METHOD_NEITHER, 0), target, nullptr, 0, nullptr, 0,
                                             FALSE, &event, &iosb);
    ASSERT_NE(nullptr, irp);
    irp->RequestorMode = mode;
    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      status = iosb.Status;
    }
    EXPECT_STATUS(mode == UserMode ? STATUS_PRIVILEGE_NOT_HELD : STATUS_SUCCESS, status);
  }
  ObDereferenceObject(file);
  std::vector<uint8_t> data(512, 1);
  EXPECT_STATUS(STATUS_MEDIA_WRITE_PROTECTED, Transfer(device, true, data.data(), 512, 0));
}

TEST_F(Volumes, UserModeOpenOfALetterlessVolumeIsRefused) {
  Reply reply = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory | ENGINE_MOUNT_NO_SECURITY, kMiB, ENGINE_FS_RAW);
  ASSERT_STATUS(STATUS_SUCCESS, reply.status);
  HANDLE handle = nullptr;
  // No letter yet: nobody's session and logon match the volume's.
  EXPECT_STATUS(STATUS_ACCESS_DENIED,
                process_->CreateFile(*thread_, DeviceName(reply.handle), GENERIC_READ, FILE_SHARE_READ, FILE_OPEN,
                                     FILE_SYNCHRONOUS_IO_NONALERT, &handle));
}

TEST_F(Volumes, UnmountWaitsForOpenHandlesUnlessTheyCloseAndWipes) {
  for (uint8_t force : {0, 1}) {
    SCOPED_TRACE(force);
    Reply reply = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, kMiB, ENGINE_FS_FAT);
    ASSERT_STATUS(STATUS_SUCCESS, reply.status);
    HANDLE device = OpenDevice(reply.handle);
    // The open mounted the raw file system on the volume.
    PDEVICE_OBJECT volumeDevice = ReferenceDeviceOf(device);
    ASSERT_NE(nullptr, volumeDevice);
    EXPECT_TRUE(volumeDevice->Vpb && (volumeDevice->Vpb->Flags & VPB_MOUNTED));
    ObDereferenceObject(volumeDevice);
    if (!force) {
      // The open handle keeps the file system mounted on the volume, which
      // cannot be locked while it is open: the volume stays.
      EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE, Unmount(reply.handle, 0, 1));
      EXPECT_TRUE(bw::ObjectExists(DeviceName(reply.handle)));
      CloseDevice(device);
      device = OpenDevice(reply.handle, FILE_READ_ATTRIBUTES);  // a direct open mounts nothing
    }
    EXPECT_STATUS(STATUS_SUCCESS, Unmount(reply.handle, force, 1));
    std::this_thread::sleep_for(300ms);
    // Still open: still listed, but out of service and without device.
    EXPECT_EQ(1u, VolumeCount());
    EXPECT_FALSE(bw::ObjectExists(DeviceName(reply.handle)));
    // Requests through the open handle of a forced-off volume fail: its
    // file system was dismounted under it.
    if (force) {
      EXPECT_STATUS(STATUS_VOLUME_DISMOUNTED, Ioctl(device, IOCTL_DISK_GET_LENGTH_INFO, {}, 8));
    }
    CloseDevice(device);
    WaitForVolumeCount(0);
    EXPECT_EQ(0u, VolumeCount());
  }
}

TEST_F(Volumes, FailuresPartWayLeaveNothingBehind) {
  // Each allocation of a creation fails once in turn, until one succeeds.
  bool created = false;
  for (uint32_t skip = 0; skip < 400 && !created; ++skip) {
    bw::InjectFault(bw::Fault::PoolAllocation, skip, 1);
    Reply reply = CreateMemory(ENGINE_ALGORITHM_XOR, kMemory, 2 * kMiB, ENGINE_FS_FAT, u"", u"k");
    bw::ClearFaults();
    if (reply.status == STATUS_SUCCESS) {
      created = true;
      EXPECT_STATUS(STATUS_SUCCESS, Unmount(reply.handle, 1, 0));
      WaitForVolumeCount(0);
      WaitForPagesReleased();
    } else {
      EXPECT_EQ(0u, reply.handle);
      EXPECT_TRUE(reply.outcome == 0 || reply.outcome == 2 || reply.outcome == 8 || reply.outcome == 10 ||
                  reply.outcome == kNoReply)
          << reply.outcome;
    }
    ASSERT_EQ(0u, VolumeCount()) << "after failing allocation " << skip;
  }
  EXPECT_TRUE(created);
  // Pages and mappings too.
  bw::InjectFault(bw::Fault::PageAllocation, 0, 1);
  Reply pages = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, 2 * kMiB, ENGINE_FS_RAW);
  bw::ClearFaults();
  EXPECT_STATUS(STATUS_INSUFFICIENT_RESOURCES, pages.status);
  EXPECT_EQ(0u, VolumeCount());
  EXPECT_EQ(0u, bw::MdlPagesOutstanding());
}

TEST_F(Volumes, CreateAndMountReportEveryOutcome) {
  std::string good = root_ + "/good.img";
  ASSERT_STATUS(STATUS_SUCCESS, CreateImageFile(good, ENGINE_ALGORITHM_XOR, u"right", 4 * kMiB, ENGINE_FS_FAT));
  Reply wrongKey = CreateMemory(0, kMemory, 0, 0, NtPath(good), u"wrong");
  EXPECT_STATUS(STATUS_ACCESS_DENIED, wrongKey.status);
  EXPECT_EQ(5u, wrongKey.outcome);
  Reply mountWrong = MountImage(0, NtPath(good), u"wrong");
  EXPECT_STATUS(STATUS_ACCESS_DENIED, mountWrong.status);
  EXPECT_EQ(5u, mountWrong.outcome);

  std::string bad = root_ + "/bad.img";
  std::ofstream(bad) << std::string(3 * 4096, 'x');
  Reply badImage = MountImage(0, NtPath(bad));
  EXPECT_STATUS(STATUS_FILE_CORRUPT_ERROR, badImage.status);
  EXPECT_EQ(1u, badImage.outcome);
  Reply missing = CreateMemory(0, kMemory, 0, 0, NtPath(root_ + "/missing.img"));
  EXPECT_EQ(10u, missing.outcome);
  EXPECT_FALSE(NT_SUCCESS(missing.status));
  Reply syntax = MountImage(0, u"\\");
  EXPECT_EQ(0u, syntax.handle);
  Reply noAlgorithm = CreateMemory(0, kMemory, kMiB, 0);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, noAlgorithm.status);
  EXPECT_EQ(10u, noAlgorithm.outcome);
  Reply unknownAlgorithm = CreateMemory(7, kMemory, kMiB, 0);
  EXPECT_EQ(6u, unknownAlgorithm.outcome);
  // A raw image takes algorithm 1 whatever key comes with it.
  std::string raw = root_ + "/raw.img";
  std::ofstream(raw) << std::string(kMiB, '\0');
  Reply rawKeyed = CreateMemory(0, kMemory | ENGINE_MOUNT_RAW_IMAGE, 0, 0, NtPath(raw), u"ignored");
  EXPECT_STATUS(STATUS_SUCCESS, rawKeyed.status);
  // Hard-disk emulation: the bus presents the volume as a disk.
  Reply disk = CreateMemory(1, kMemory | ENGINE_MOUNT_DISK_EMULATION, 8 * kMiB, ENGINE_FS_FAT);
  EXPECT_STATUS(STATUS_SUCCESS, disk.status);
  EXPECT_EQ(0u, disk.outcome);
  EXPECT_EQ(2u, VolumeCount());
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(disk.handle, 1, 0));
  WaitForVolumeCount(1);

  Reply right = MountImage(0, NtPath(good), u"right");
  EXPECT_STATUS(STATUS_SUCCESS, right.status);
  EXPECT_EQ(0u, right.outcome);
  EXPECT_EQ(2u, VolumeCount());
}

TEST_F(Volumes, SavedImagesMountWithTheSameBytes) {
  for (uint32_t algorithm : {ENGINE_ALGORITHM_NULL, ENGINE_ALGORITHM_XOR}) {
    SCOPED_TRACE(algorithm);
    std::string own = root_ + "/own" + std::to_string(algorithm) + ".img";
    std::string copy = root_ + "/copy" + std::to_string(algorithm) + ".img";
    ASSERT_STATUS(STATUS_SUCCESS, CreateImageFile(own, algorithm, u"pw", 8 * kMiB, ENGINE_FS_FAT));
    Reply volume = CreateMemory(0, kMemory, 0, 0, NtPath(own), u"pw");
    ASSERT_STATUS(STATUS_SUCCESS, volume.status);
    HANDLE device = OpenDevice(volume.handle);
    std::vector<uint8_t> data = Pattern(300000, algorithm);
    ASSERT_STATUS(STATUS_SUCCESS, Transfer(device, true, data.data(), 300000, 1234567));
    std::vector<uint8_t> contents = ReadAll(device, 8 * kMiB);

    // Whole into another file, changed blocks into its own.
    EXPECT_STATUS(STATUS_SUCCESS, Save(volume.handle, ENGINE_SAVE_FLUSH_FIRST, NtPath(copy)));
    EXPECT_STATUS(STATUS_SUCCESS, Save(volume.handle, ENGINE_SAVE_FLUSH_FIRST | ENGINE_SAVE_CHANGED_ONLY));
    CloseDevice(device);
    EXPECT_STATUS(STATUS_SUCCESS, Unmount(volume.handle, 1, 1));
    WaitForVolumeCount(0);

    for (const std::string &image : {own, copy}) {
      SCOPED_TRACE(image);
      EXPECT_EQ(8 * kMiB + 8192, std::filesystem::file_size(image));
      Reply mounted = OnceImageFree([&] { return MountImage(0, NtPath(image), u"pw"); });
      ASSERT_STATUS(STATUS_SUCCESS, mounted.status);
      HANDLE again = OpenDevice(mounted.handle);
      EXPECT_EQ(contents, ReadAll(again, 8 * kMiB));
      CloseDevice(again);
      EXPECT_STATUS(STATUS_SUCCESS, Unmount(mounted.handle, 1, 0));
      WaitForVolumeCount(0);
    }
  }
}

TEST_F(Volumes, FlushStateAndAutoflush) {
  Reply fresh = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, kMiB, ENGINE_FS_RAW);
  ASSERT_STATUS(STATUS_SUCCESS, fresh.status);
  EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE, FlushState(fresh.handle, 1, 3));
  EXPECT_STATUS(STATUS_INVALID_BUFFER_SIZE, Control(IOCTL_ENGINE_SET_FLUSH_STATE, Record(15), 0).status);

  std::string image = root_ + "/flushed.img";
  ASSERT_STATUS(STATUS_SUCCESS, CreateImageFile(image, ENGINE_ALGORITHM_XOR, u"pw", 4 * kMiB, ENGINE_FS_FAT));
  Reply direct = MountImage(0, NtPath(image), u"pw");
  ASSERT_STATUS(STATUS_SUCCESS, direct.status);
  EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE, FlushState(direct.handle, 1, 3));
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(direct.handle, 1, 0));
  WaitForVolumeCount(1);

  Reply volume = OnceImageFree([&] { return CreateMemory(0, kMemory, 0, 0, NtPath(image), u"pw"); });
  ASSERT_STATUS(STATUS_SUCCESS, volume.status);
  EXPECT_STATUS(STATUS_SUCCESS, FlushState(volume.handle, 0, 3));
  // Kept, but never fires: too long for the timer.
  EXPECT_STATUS(STATUS_SUCCESS, FlushState(volume.handle, 2147484, 2));
  HANDLE device = OpenDevice(volume.handle);
  std::vector<uint8_t> data = Pattern(5000, 3);
  ASSERT_STATUS(STATUS_SUCCESS, Transfer(device, true, data.data(), 5000, 70000));
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(4 * kMiB + 8192, std::filesystem::file_size(image));

  EXPECT_STATUS(STATUS_SUCCESS, FlushState(volume.handle, 1, 0));
  for (int i = 0; i < 150 && std::filesystem::file_size(image) != 4 * kMiB + 4096; ++i)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(4 * kMiB + 4096, std::filesystem::file_size(image));
  std::vector<uint8_t> contents = ReadAll(device, 4 * kMiB);
  EXPECT_STATUS(STATUS_SUCCESS, FlushState(volume.handle, 0, 0));
  std::this_thread::sleep_for(200ms);  // a flush under way ends
  CloseDevice(device);
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(volume.handle, 1, 0));
  WaitForVolumeCount(1);

  Reply flushed = OnceImageFree([&] { return MountImage(0, NtPath(image), u"pw"); });
  ASSERT_STATUS(STATUS_SUCCESS, flushed.status);
  EXPECT_EQ(0u, flushed.outcome);
  HANDLE again = OpenDevice(flushed.handle);
  EXPECT_EQ(contents, ReadAll(again, 4 * kMiB));
}

TEST_F(Volumes, ShutdownSavesOnlyVolumesThatAskForIt) {
  std::string saved = root_ + "/saved.img", kept = root_ + "/kept.img";
  ASSERT_STATUS(STATUS_SUCCESS, CreateImageFile(saved, ENGINE_ALGORITHM_NULL, u"", 2 * kMiB, ENGINE_FS_RAW));
  ASSERT_STATUS(STATUS_SUCCESS, CreateImageFile(kept, ENGINE_ALGORITHM_NULL, u"", 2 * kMiB, ENGINE_FS_RAW));
  Reply a = CreateMemory(0, kMemory, 0, 0, NtPath(saved));
  Reply b = CreateMemory(0, kMemory, 0, 0, NtPath(kept));
  ASSERT_STATUS(STATUS_SUCCESS, a.status);
  ASSERT_STATUS(STATUS_SUCCESS, b.status);
  EXPECT_STATUS(STATUS_SUCCESS,
                Control(IOCTL_ENGINE_SET_PROPERTIES, Record(16).Put<uint64_t>(0, a.handle).Put<uint32_t>(8, 1), 0)
                    .status);
  std::vector<uint8_t> data(4096, 0xC3);
  for (uint64_t handle : {a.handle, b.handle}) {
    HANDLE device = OpenDevice(handle);
    ASSERT_STATUS(STATUS_SUCCESS, Transfer(device, true, data.data(), 4096, 8192));
    CloseDevice(device);
  }
  bw::NotifyShutdown();
  auto at = [](const std::string &file, size_t offset) {
    std::ifstream in(file, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    return in.get();
  };
  EXPECT_EQ(0xC3, at(saved, 4096 + 8192));
  EXPECT_EQ(0, at(kept, 4096 + 8192));
}

}  // namespace
}  // namespace enginetest
