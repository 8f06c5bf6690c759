// Searching folders, volume information and file security through Win32
// on a running system.
#include "platform/daemon/tests/files_win32_fixture.h"

#include <sys/statvfs.h>

#include <vector>

namespace bw::test {
namespace {

std::set<std::u16string> Find(const std::u16string &pattern, DWORD *error) {
  std::set<std::u16string> names;
  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(pattern.c_str(), &data);
  if (search == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return names;
  }
  do names.insert(data.cFileName);
  while (FindNextFileW(search, &data));
  *error = GetLastError();
  EXPECT_TRUE(FindClose(search));
  return names;
}

using Names = std::set<std::u16string>;

TEST_F(FilesWin32, FindListsWhatPatternsMatch) {
  for (const char *name : {"a.txt", "B.TXT", "c.log", "README", "a.txt.bak"}) MakeFile(name, "12345");
  std::filesystem::create_directory(Host("sub"));
  DWORD error = 0;
  EXPECT_EQ((Names{u".", u"..", u"a.txt", u"B.TXT", u"c.log", u"README", u"a.txt.bak", u"sub"}),
            Find(W("*"), &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), error);
  EXPECT_EQ(Find(W("*"), &error), Find(W("*.*"), &error));
  EXPECT_EQ((Names{u"a.txt", u"B.TXT"}), Find(W("*.txt"), &error));
  EXPECT_EQ((Names{u"c.log"}), Find(W("?.LOG"), &error));
  EXPECT_EQ((Names{u".", u"..", u"README", u"sub"}), Find(W("*."), &error));
  EXPECT_EQ((Names{u"README"}), Find(W("readme"), &error));
  EXPECT_TRUE(Find(W("*.none"), &error).empty());
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
  EXPECT_TRUE(Find(W("none/*"), &error).empty());
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), error);

  WIN32_FIND_DATAW data;
  HANDLE search = FindFirstFileW(W("c.log").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  EXPECT_EQ(5u, data.nFileSizeLow);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), data.dwFileAttributes);
  EXPECT_NE(0u, data.ftLastWriteTime.dwHighDateTime);
  EXPECT_FALSE(FindNextFileW(search, &data));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
  EXPECT_TRUE(FindClose(search));
  EXPECT_FALSE(FindClose(search));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  search = FindFirstFileW(W("sub").c_str(), &data);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), data.dwFileAttributes);
  FindClose(search);
}

TEST_F(FilesWin32, FindGoesThroughFoldersLargerThanOneQuery) {
  std::filesystem::create_directory(Host("many"));
  Names expected{u".", u".."};
  for (int i = 0; i < 400; ++i) {
    std::string name = "file-with-a-longish-name-" + std::to_string(i);
    MakeFile("many/" + name, "");
    expected.insert(Widen(name));
  }
  DWORD error = 0;
  EXPECT_EQ(expected, Find(W("many/*"), &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), error);
}

TEST_F(FilesWin32, VolumeSizeNameAndLabel) {
  ULARGE_INTEGER caller, total, free;
  ASSERT_TRUE(GetDiskFreeSpaceExW(W().c_str(), &caller, &total, &free)) << GetLastError();
  struct statvfs vfs;
  ASSERT_EQ(0, statvfs(host_.c_str(), &vfs));
  EXPECT_EQ(static_cast<ULONGLONG>(vfs.f_blocks) * vfs.f_frsize, total.QuadPart);
  EXPECT_LE(caller.QuadPart, free.QuadPart);
  EXPECT_LE(free.QuadPart, total.QuadPart);
  EXPECT_FALSE(GetDiskFreeSpaceExW(W("none").c_str(), &caller, &total, &free));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  WCHAR label[64] = {1}, fsName[64] = {};
  DWORD serial = 0, component = 0, flags = 0;
  ASSERT_TRUE(GetVolumeInformationW(u"Z:\\", label, 64, &serial, &component, &flags, fsName, 64))
      << GetLastError();
  EXPECT_EQ(u"", std::u16string(label));
  EXPECT_EQ(u"HOSTFS", std::u16string(fsName));
  EXPECT_EQ(static_cast<DWORD>(vfs.f_namemax), component);
  EXPECT_TRUE(flags & FILE_UNICODE_ON_DISK);
  EXPECT_FALSE(GetVolumeInformationW(u"Z:\\", nullptr, 0, nullptr, nullptr, nullptr, fsName, 3));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_LENGTH), GetLastError());
  EXPECT_FALSE(GetVolumeInformationW(u"Z:", label, 64, &serial, nullptr, nullptr, nullptr, 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
  // The host keeps no label.
  EXPECT_FALSE(SetVolumeLabelW(u"Z:\\", u"DATA"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST_F(FilesWin32, SecurityOfFilesAndFileSystemRequests) {
  MakeFile("f", "x");
  DWORD needed = 0;
  EXPECT_FALSE(GetFileSecurityW(W("f").c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                nullptr, 0, &needed));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  ASSERT_GT(needed, 20u);
  std::vector<uint8_t> sd(needed);
  ASSERT_TRUE(GetFileSecurityW(W("f").c_str(), OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                               sd.data(), needed, &needed))
      << GetLastError();
  EXPECT_EQ(sd.size(), needed);
  EXPECT_EQ(1, sd[0]);  // revision
  uint16_t control;
  memcpy(&control, sd.data() + 2, 2);
  EXPECT_TRUE(control & SE_SELF_RELATIVE);
  // The host file system keeps no Windows security: a change fails.
  EXPECT_FALSE(SetFileSecurityW(W("f").c_str(), DACL_SECURITY_INFORMATION, sd.data()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
  EXPECT_FALSE(GetFileSecurityW(W("none").c_str(), DACL_SECURITY_INFORMATION, sd.data(), needed, &needed));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());

  // A file-system control code goes to the file system, which has none to answer.
  HANDLE h = Open("f", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  DWORD returned = 0;
  const DWORD kFsctlIsVolumeMounted = (9u << 16) | (10u << 2);
  EXPECT_FALSE(DeviceIoControl(h, kFsctlIsVolumeMounted, nullptr, 0, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
  CloseHandle(h);
}

}  // namespace
}  // namespace bw::test
