// A RAM disk's drive letter as a Win32 program sees it come and go:
// ramvold with the drivers, this process a client of it.
#include "platform/daemon/tests/engine_win32_fixture.h"

#include <cstring>
#include <string>

namespace bw::test {
namespace {

class DriveLetterWin32 : public EngineWin32 {
 protected:
  uint64_t Create(uint32_t flags) { return CreateVolume(flags, 8u << 20, ENGINE_FS_FAT); }
};

TEST_F(DriveLetterWin32, ALetterComesAndGoesForEveryCall) {
  uint64_t fixed = Create(0), removable = Create(ENGINE_MOUNT_REMOVABLE);
  ASSERT_TRUE(fixed && removable);
  DWORD before = GetLogicalDrives();
  ASSERT_TRUE(Link(fixed, ENGINE_LINK_CREATE, u'R')) << GetLastError();
  ASSERT_TRUE(Link(removable, ENGINE_LINK_CREATE, u'S')) << GetLastError();

  EXPECT_EQ(before | 1u << ('R' - 'A') | 1u << ('S' - 'A'), GetLogicalDrives());
  EXPECT_EQ(static_cast<UINT>(DRIVE_FIXED), GetDriveTypeW(u"R:\\"));
  EXPECT_EQ(static_cast<UINT>(DRIVE_REMOVABLE), GetDriveTypeW(u"S:"));
  char16_t target[256] = {};
  ASSERT_NE(0u, QueryDosDeviceW(u"R:", target, 256)) << GetLastError();
  EXPECT_EQ(0u, std::u16string(target).find(u"\\Device\\"));

  char16_t volumeName[64] = {};
  ASSERT_TRUE(GetVolumeNameForVolumeMountPointW(u"R:\\", volumeName, 64)) << GetLastError();
  std::u16string name = volumeName;
  EXPECT_EQ(0u, name.find(u"\\\\?\\Volume{"));
  EXPECT_EQ(u'\\', name.back());
  char16_t small[8];
  EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(u"R:\\", small, 8));

  HANDLE volume = CreateFileW(u"\\\\.\\R:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, volume) << GetLastError();
  uint8_t sector[512];
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(volume, sector, sizeof(sector), &read, nullptr));
  EXPECT_EQ(512u, read);
  EXPECT_EQ(0xAA55, sector[510] | sector[511] << 8);
  CloseHandle(volume);

  ASSERT_TRUE(Link(fixed, ENGINE_LINK_DELETE, 0));
  ASSERT_TRUE(Link(removable, ENGINE_LINK_DELETE, 0));
  EXPECT_EQ(before, GetLogicalDrives());
  EXPECT_EQ(static_cast<UINT>(DRIVE_NO_ROOT_DIR), GetDriveTypeW(u"R:\\"));
  EXPECT_EQ(0u, QueryDosDeviceW(u"R:", target, 256));
  EXPECT_FALSE(GetVolumeNameForVolumeMountPointW(u"R:\\", volumeName, 64));
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(u"\\\\.\\R:", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                              nullptr));
  EXPECT_TRUE(Unmount(fixed));
  EXPECT_TRUE(Unmount(removable));
}

}  // namespace
}  // namespace bw::test
