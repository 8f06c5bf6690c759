// Files and folders on a RAM disk's letter, as a Win32 program works with
// them: ramvold with the drivers, a FAT32 memory volume given R:, and the
// file calls of this process going through the FAT file system onto it.
#include "platform/daemon/tests/engine_win32_fixture.h"

#include <cstring>
#include <string>
#include <vector>

namespace bw::test {
namespace {

class FatLetterWin32 : public EngineWin32 {
 protected:
  uint64_t CreateFat32(uint64_t bytes) { return CreateVolume(0, bytes, ENGINE_FS_FAT32); }
};

TEST_F(FatLetterWin32, FoldersAndFilesLiveOnTheLettersFileSystem) {
  uint64_t volume = CreateFat32(64ull << 20);
  ASSERT_NE(0u, volume);
  ASSERT_TRUE(Link(volume, ENGINE_LINK_CREATE, u'R')) << GetLastError();

  WCHAR name[32] = {}, fileSystem[16] = {};
  DWORD serial = 0, longest = 0, flags = 0;
  ASSERT_TRUE(GetVolumeInformationW(u"R:\\", name, 32, &serial, &longest, &flags, fileSystem, 16)) << GetLastError();
  EXPECT_EQ(std::u16string(u"FAT32"), std::u16string(fileSystem));
  ULARGE_INTEGER available, total, free;
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"R:\\", &available, &total, &free)) << GetLastError();
  EXPECT_GT(total.QuadPart, 60ull << 20);
  EXPECT_LE(total.QuadPart, 64ull << 20);

  ASSERT_TRUE(CreateDirectoryW(u"R:\\Reports", nullptr)) << GetLastError();
  EXPECT_FALSE(CreateDirectoryW(u"R:\\reports", nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());

  std::vector<uint8_t> data(300 * 1024);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  HANDLE file = CreateFileW(u"R:\\Reports\\A rather long file name.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0,
                            nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) << GetLastError();
  EXPECT_EQ(data.size(), written);
  CloseHandle(file);

  WIN32_FIND_DATAW found = {};
  HANDLE find = FindFirstFileW(u"R:\\Reports\\*.txt", &found);
  ASSERT_NE(INVALID_HANDLE_VALUE, find) << GetLastError();
  EXPECT_EQ(std::u16string(u"A rather long file name.txt"), std::u16string(found.cFileName));
  EXPECT_EQ(data.size(), found.nFileSizeLow);
  EXPECT_FALSE(FindNextFileW(find, &found));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
  FindClose(find);

  ASSERT_TRUE(MoveFileExW(u"R:\\Reports\\A rather long file name.txt", u"R:\\Reports\\renamed.txt", 0))
      << GetLastError();
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\Reports\\A rather long file name.txt"));
  file = CreateFileW(u"R:\\Reports\\renamed.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  std::vector<uint8_t> back(data.size());
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(file, back.data(), static_cast<DWORD>(back.size()), &read, nullptr)) << GetLastError();
  EXPECT_EQ(data, back);
  CloseHandle(file);

  // A folder with a file in it stays; emptied, it goes.
  EXPECT_FALSE(RemoveDirectoryW(u"R:\\Reports"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIR_NOT_EMPTY), GetLastError());
  EXPECT_TRUE(DeleteFileW(u"R:\\Reports\\renamed.txt")) << GetLastError();
  EXPECT_TRUE(RemoveDirectoryW(u"R:\\Reports")) << GetLastError();
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\Reports"));

  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0)) << GetLastError();
  EXPECT_TRUE(Unmount(volume)) << GetLastError();
}

}  // namespace
}  // namespace bw::test
