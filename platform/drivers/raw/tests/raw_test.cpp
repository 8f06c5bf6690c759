// The raw file system on the test driver's disks: the mount at the first
// open that is not a direct device open, transfers through the volume,
// the volume lock, dismount and the next mount, and share access.
#include "platform/drivers/tests/system_drivers_fixture.h"

namespace bw::test {
namespace {

const std::u16string kDisk = u"\\Device\\BwTestDisk";
constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

class RawFileSystemTest : public SystemDriversTest {
 protected:
  // The disk's device object, and its current VPB's state.
  static PDEVICE_OBJECT Disk() {
    UNICODE_STRING name = View(kDisk);
    PFILE_OBJECT file = nullptr;
    PDEVICE_OBJECT device = nullptr;
    EXPECT_STATUS(STATUS_SUCCESS, IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &device));
    ObDereferenceObject(file);  // the driver keeps its disk
    return device;
  }
  static bool Mounted() { return (Disk()->Vpb->Flags & VPB_MOUNTED) != 0; }
  static NTSTATUS Fsctl(HANDLE handle, ULONG code) {
    IO_STATUS_BLOCK iosb;
    return ZwFsControlFile(handle, nullptr, nullptr, nullptr, &iosb, code, nullptr, 0, nullptr, 0);
  }
  static NTSTATUS Transfer(HANDLE handle, bool write, uint8_t *buffer, ULONG length, LONGLONG offset) {
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER at;
    at.QuadPart = offset;
    return write ? ZwWriteFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, length, &at, nullptr)
                 : ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, length, &at, nullptr);
  }
};

TEST_F(RawFileSystemTest, TheFirstOpenMountsAndADirectOpenDoesNot) {
  HANDLE direct = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(kDisk, FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll, &direct));
  EXPECT_FALSE(Mounted());

  HANDLE volume = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(kDisk, GENERIC_READ | GENERIC_WRITE, kShareAll, &volume));
  PVPB vpb = Disk()->Vpb;
  ASSERT_TRUE(vpb->Flags & VPB_MOUNTED);
  ASSERT_NE(nullptr, vpb->DeviceObject);
  EXPECT_EQ(u"\\Driver\\RAW", std::u16string(vpb->DeviceObject->DriverObject->DriverName.Buffer,
                                              vpb->DeviceObject->DriverObject->DriverName.Length / 2));
  EXPECT_EQ(Disk(), vpb->RealDevice);

  // The volume passes transfers to the disk as they are.
  uint8_t out[512], in[512] = {};
  for (int i = 0; i < 512; ++i) out[i] = static_cast<uint8_t>(i * 7);
  EXPECT_STATUS(STATUS_SUCCESS, Transfer(volume, true, out, 512, 4096));
  EXPECT_STATUS(STATUS_SUCCESS, Transfer(volume, false, in, 512, 4096));
  EXPECT_EQ(0, memcmp(out, in, 512));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Transfer(volume, false, in, 100, 4096));  // the disk's own rules
  EXPECT_STATUS(STATUS_SUCCESS, Fsctl(volume, FSCTL_IS_VOLUME_MOUNTED));
  IO_STATUS_BLOCK iosb;
  EXPECT_STATUS(STATUS_SUCCESS, ZwFlushBuffersFile(volume, &iosb));

  // The last close takes the raw volume away again.
  ZwClose(volume);
  EXPECT_FALSE(Mounted());
  ZwClose(direct);
}

TEST_F(RawFileSystemTest, TheLockNeedsTheOnlyHandleAndKeepsOthersOut) {
  HANDLE first = nullptr, second = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(kDisk, GENERIC_READ | GENERIC_WRITE, kShareAll, &first));
  ASSERT_STATUS(STATUS_SUCCESS, Open(kDisk, GENERIC_READ, kShareAll, &second));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Fsctl(first, FSCTL_LOCK_VOLUME));
  ZwClose(second);
  ASSERT_STATUS(STATUS_SUCCESS, Fsctl(first, FSCTL_LOCK_VOLUME));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Open(kDisk, GENERIC_READ, kShareAll, &second));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Fsctl(first, FSCTL_LOCK_VOLUME));
  ASSERT_STATUS(STATUS_SUCCESS, Fsctl(first, FSCTL_UNLOCK_VOLUME));
  EXPECT_STATUS(STATUS_NOT_LOCKED, Fsctl(first, FSCTL_UNLOCK_VOLUME));

  // Closing the locking handle unlocks.
  ASSERT_STATUS(STATUS_SUCCESS, Fsctl(first, FSCTL_LOCK_VOLUME));
  HANDLE keep = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(kDisk, FILE_READ_ATTRIBUTES, kShareAll, &keep));  // direct: not refused
  ZwClose(first);
  ASSERT_STATUS(STATUS_SUCCESS, Open(kDisk, GENERIC_READ, kShareAll, &second));
  ZwClose(second);
  ZwClose(keep);
  EXPECT_FALSE(Mounted());
}

TEST_F(RawFileSystemTest, ADismountedVolumeEndsItsRequestsAndTheNextOpenMountsAfresh) {
  HANDLE old = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(kDisk, GENERIC_READ | GENERIC_WRITE, kShareAll, &old));
  PDEVICE_OBJECT oldVolume = Disk()->Vpb->DeviceObject;
  ASSERT_STATUS(STATUS_SUCCESS, Fsctl(old, FSCTL_LOCK_VOLUME));
  ASSERT_STATUS(STATUS_SUCCESS, Fsctl(old, FSCTL_DISMOUNT_VOLUME));
  EXPECT_STATUS(STATUS_SUCCESS, Fsctl(old, FSCTL_UNLOCK_VOLUME));
  EXPECT_FALSE(Mounted());

  uint8_t buffer[512];
  EXPECT_STATUS(STATUS_VOLUME_DISMOUNTED, Transfer(old, false, buffer, 512, 0));
  EXPECT_STATUS(STATUS_VOLUME_DISMOUNTED, Fsctl(old, FSCTL_IS_VOLUME_MOUNTED));

  HANDLE fresh = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(kDisk, GENERIC_READ, kShareAll, &fresh));
  EXPECT_TRUE(Mounted());
  EXPECT_NE(oldVolume, Disk()->Vpb->DeviceObject);
  EXPECT_STATUS(STATUS_SUCCESS, Transfer(fresh, false, buffer, 512, 0));
  ZwClose(old);
  EXPECT_TRUE(Mounted());
  ZwClose(fresh);
  EXPECT_FALSE(Mounted());
}

TEST_F(RawFileSystemTest, OpensHonourEachOthersSharing) {
  HANDLE reader = nullptr, other = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, Open(kDisk, GENERIC_READ, FILE_SHARE_READ, &reader));
  EXPECT_STATUS(STATUS_SHARING_VIOLATION, Open(kDisk, GENERIC_WRITE, kShareAll, &other));
  EXPECT_STATUS(STATUS_SHARING_VIOLATION, Open(kDisk, GENERIC_READ, FILE_SHARE_WRITE, &other));
  ASSERT_STATUS(STATUS_SUCCESS, Open(kDisk, GENERIC_READ, kShareAll, &other));
  ZwClose(other);
  ZwClose(reader);
  // Nothing of the refused opens is left behind.
  ASSERT_STATUS(STATUS_SUCCESS, Open(kDisk, GENERIC_READ | GENERIC_WRITE, 0, &reader));
  ZwClose(reader);
  EXPECT_FALSE(Mounted());
}

}  // namespace
}  // namespace bw::test
