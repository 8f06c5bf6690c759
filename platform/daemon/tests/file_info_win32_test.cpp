// What a file says of itself through the Win32 calls, on a FAT32 RAM disk's
// letter: GetFileAttributesExW by name, GetFileInformationByHandle, and the
// times of an open file.
#include "platform/daemon/tests/engine_win32_fixture.h"

#include <vector>

namespace bw::test {
namespace {

class FileInfoWin32 : public EngineWin32 {
 protected:
  void SetUp() override {
    EngineWin32::SetUp();
    if (HasFatalFailure()) return;
    volume_ = CreateVolume(0, 64ull << 20, ENGINE_FS_FAT32);
    ASSERT_NE(0u, volume_);
    ASSERT_TRUE(Link(volume_, ENGINE_LINK_CREATE, u'R')) << GetLastError();
  }
  void TearDown() override {
    if (volume_) {
      EXPECT_TRUE(Link(volume_, ENGINE_LINK_DELETE, 0)) << GetLastError();
      EXPECT_TRUE(Unmount(volume_)) << GetLastError();
    }
    EngineWin32::TearDown();
  }
  static HANDLE Make(const char16_t *path, DWORD bytes) {
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    std::vector<uint8_t> data(bytes, 0x42);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE && bytes) WriteFile(file, data.data(), bytes, &written, nullptr);
    return file;
  }
  uint64_t volume_ = 0;
};

TEST_F(FileInfoWin32, AttributesByNameTellSizeAndKindEvenOfAFileOpenWithoutSharing) {
  ASSERT_TRUE(CreateDirectoryW(u"R:\\folder", nullptr)) << GetLastError();
  HANDLE file = Make(u"R:\\folder\\data.bin", 70000);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();

  WIN32_FILE_ATTRIBUTE_DATA data = {};
  ASSERT_TRUE(GetFileAttributesExW(u"R:\\folder\\data.bin", GetFileExInfoStandard, &data)) << GetLastError();
  EXPECT_EQ(0u, data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(70000u, data.nFileSizeLow);
  EXPECT_EQ(0u, data.nFileSizeHigh);
  EXPECT_NE(0u, data.ftLastWriteTime.dwHighDateTime);
  CloseHandle(file);

  ASSERT_TRUE(GetFileAttributesExW(u"R:\\folder", GetFileExInfoStandard, &data)) << GetLastError();
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(0u, data.nFileSizeLow);
  ASSERT_TRUE(GetFileAttributesExW(u"R:\\", GetFileExInfoStandard, &data)) << GetLastError();
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);

  EXPECT_FALSE(GetFileAttributesExW(u"R:\\folder\\missing", GetFileExInfoStandard, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_FALSE(GetFileAttributesExW(u"R:\\nowhere\\missing", GetFileExInfoStandard, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_FALSE(GetFileAttributesExW(u"R:\\folder", GetFileExMaxInfoLevel, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(FileInfoWin32, InformationByHandleTellsOneFileFromAnother) {
  HANDLE first = Make(u"R:\\first", 5000);
  HANDLE second = Make(u"R:\\second", 0);
  ASSERT_NE(INVALID_HANDLE_VALUE, first) << GetLastError();
  ASSERT_NE(INVALID_HANDLE_VALUE, second) << GetLastError();
  HANDLE again = CreateFileW(u"R:\\FIRST", FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, again) << GetLastError();

  BY_HANDLE_FILE_INFORMATION a = {}, b = {}, c = {};
  ASSERT_TRUE(GetFileInformationByHandle(first, &a)) << GetLastError();
  ASSERT_TRUE(GetFileInformationByHandle(second, &b)) << GetLastError();
  ASSERT_TRUE(GetFileInformationByHandle(again, &c)) << GetLastError();
  EXPECT_EQ(5000u, a.nFileSizeLow);
  EXPECT_EQ(0u, b.nFileSizeLow);
  EXPECT_EQ(1u, a.nNumberOfLinks);
  // Another name of the same file is the same file; another file is not.
  EXPECT_EQ(a.nFileIndexLow, c.nFileIndexLow);
  EXPECT_EQ(a.nFileIndexHigh, c.nFileIndexHigh);
  EXPECT_FALSE(a.nFileIndexLow == b.nFileIndexLow && a.nFileIndexHigh == b.nFileIndexHigh);
  DWORD serial = 0;
  ASSERT_TRUE(GetVolumeInformationW(u"R:\\", nullptr, 0, &serial, nullptr, nullptr, nullptr, 0)) << GetLastError();
  EXPECT_EQ(serial, a.dwVolumeSerialNumber);
  EXPECT_EQ(serial, b.dwVolumeSerialNumber);
  CloseHandle(again);
  CloseHandle(second);
  CloseHandle(first);

  EXPECT_FALSE(GetFileInformationByHandle(first, &a));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(FileInfoWin32, TimesSetThroughAHandleStayAndUngivenOnesAreLeft) {
  HANDLE file = Make(u"R:\\stamped", 10);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  FILETIME creation = {}, access = {}, write = {};
  ASSERT_TRUE(GetFileTime(file, &creation, &access, &write)) << GetLastError();

  // 2020-01-02 03:04:06 UTC: whole even seconds, which FAT keeps exactly.
  const uint64_t when = 132224078460000000ull;
  const FILETIME stamp = {static_cast<DWORD>(when), static_cast<DWORD>(when >> 32)};
  ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &stamp)) << GetLastError();
  FILETIME creation2 = {}, write2 = {};
  ASSERT_TRUE(GetFileTime(file, &creation2, nullptr, &write2)) << GetLastError();
  EXPECT_EQ(stamp.dwLowDateTime, write2.dwLowDateTime);
  EXPECT_EQ(stamp.dwHighDateTime, write2.dwHighDateTime);
  EXPECT_EQ(creation.dwLowDateTime, creation2.dwLowDateTime);
  EXPECT_EQ(creation.dwHighDateTime, creation2.dwHighDateTime);
  CloseHandle(file);

  // Seen by name too, after the handle is gone.
  WIN32_FILE_ATTRIBUTE_DATA data = {};
  ASSERT_TRUE(GetFileAttributesExW(u"R:\\stamped", GetFileExInfoStandard, &data)) << GetLastError();
  EXPECT_EQ(stamp.dwLowDateTime, data.ftLastWriteTime.dwLowDateTime);
  EXPECT_EQ(stamp.dwHighDateTime, data.ftLastWriteTime.dwHighDateTime);

  // A handle that may only read attributes may not change them.
  HANDLE reader = CreateFileW(u"R:\\stamped", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader) << GetLastError();
  EXPECT_FALSE(SetFileTime(reader, nullptr, nullptr, &creation));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  CloseHandle(reader);
}

}  // namespace
}  // namespace bw::test
