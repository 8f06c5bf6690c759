// Folders, names and attributes through Win32 on a running system:
// creating and removing folders, deleting, moving (renames, case-only
// renames, replacing, across host file systems), copying, and attributes.
#include "platform/daemon/tests/files_win32_fixture.h"

namespace bw::test {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

TEST_F(FilesWin32, FoldersAreCreatedAndRemovedWithTheirErrors) {
  ASSERT_TRUE(CreateDirectoryW(W("d").c_str(), nullptr)) << GetLastError();
  EXPECT_TRUE(std::filesystem::is_directory(Host("d")));
  EXPECT_FALSE(CreateDirectoryW(W("d").c_str(), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  EXPECT_FALSE(CreateDirectoryW(W("none/d").c_str(), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  MakeFile("d/f", "x");
  EXPECT_FALSE(RemoveDirectoryW(W("d").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIR_NOT_EMPTY), GetLastError());
  EXPECT_FALSE(RemoveDirectoryW(W("d/f").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), GetLastError());
  EXPECT_FALSE(DeleteFileW(W("d").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(DeleteFileW(W("d/none").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  ASSERT_TRUE(SetFileAttributesW(W("d/f").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_FALSE(DeleteFileW(W("d/f").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  ASSERT_TRUE(SetFileAttributesW(W("d/f").c_str(), FILE_ATTRIBUTE_NORMAL));
  ASSERT_TRUE(DeleteFileW(W("d/f").c_str()));
  ASSERT_TRUE(RemoveDirectoryW(W("d").c_str()));
  EXPECT_FALSE(HostExists("d"));
  EXPECT_FALSE(RemoveDirectoryW(W("d").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_F(FilesWin32, AttributesByName) {
  MakeFile("f", "x");
  std::filesystem::create_directory(Host("d"));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW(W("f").c_str()));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY), GetFileAttributesW(W("d").c_str()));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("none").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(W("none/f").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  ASSERT_TRUE(SetFileAttributesW(W("f").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE),
            GetFileAttributesW(W("f").c_str()));
  struct stat st;
  ASSERT_EQ(0, stat(Host("f").c_str(), &st));
  EXPECT_EQ(0u, st.st_mode & 0222);
  ASSERT_TRUE(SetFileAttributesW(W("f").c_str(), 0));
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE), GetFileAttributesW(W("f").c_str()));
  EXPECT_FALSE(SetFileAttributesW(W("none").c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_F(FilesWin32, MovesRenameAndReplaceOnlyWhenAsked) {
  MakeFile("a", "A");
  MakeFile("b", "B");
  std::filesystem::create_directory(Host("d"));
  MakeFile("d/inner", "I");
  EXPECT_FALSE(MoveFileExW(W("a").c_str(), W("b").c_str(), 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
  ASSERT_TRUE(MoveFileExW(W("a").c_str(), W("b").c_str(), MOVEFILE_REPLACE_EXISTING))
      << GetLastError();
  EXPECT_EQ("A", HostContent("b"));
  EXPECT_FALSE(HostExists("a"));
  // Into a folder, then a case-only rename there.
  ASSERT_TRUE(MoveFileExW(W("b").c_str(), W("d/moved").c_str(), 0)) << GetLastError();
  ASSERT_TRUE(MoveFileExW(W("d/moved").c_str(), W("d/MOVED").c_str(), 0)) << GetLastError();
  EXPECT_EQ("A", HostContent("d/MOVED"));
  // Folders move with what they hold; a folder is never replaced.
  ASSERT_TRUE(MoveFileExW(W("d").c_str(), W("e").c_str(), 0)) << GetLastError();
  EXPECT_EQ("I", HostContent("e/inner"));
  MakeFile("f", "F");
  EXPECT_FALSE(MoveFileExW(W("f").c_str(), W("e").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  // A target held open is not replaced; a source held without sharing
  // deletion does not move.
  HANDLE holder = Open("e/inner", GENERIC_READ, kShareAll, OPEN_EXISTING);
  EXPECT_FALSE(MoveFileExW(W("f").c_str(), W("e/inner").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  CloseHandle(holder);
  holder = Open("f", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_FALSE(MoveFileExW(W("f").c_str(), W("g").c_str(), 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  CloseHandle(holder);
  EXPECT_FALSE(MoveFileExW(W("none").c_str(), W("g").c_str(), 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_FALSE(MoveFileExW(W("f").c_str(), W("none/g").c_str(), 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  // A move at the next start is only noted now.
  EXPECT_TRUE(MoveFileExW(W("f").c_str(), W("g").c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
  EXPECT_TRUE(HostExists("f"));
  EXPECT_FALSE(HostExists("g"));
}

TEST_F(FilesWin32, MovesAcrossHostFileSystemsCopyWhenAllowed) {
  struct stat here, shm;
  if (stat(host_.c_str(), &here) != 0 || stat("/dev/shm", &shm) != 0 || here.st_dev == shm.st_dev)
    GTEST_SKIP() << "needs /dev/shm on another host file system than /tmp";
  char pattern[] = "/dev/shm/bwfiles.XXXXXX";
  std::string other = mkdtemp(pattern);
  std::u16string target = u"Z:" + Widen(other) + u"\\moved";
  for (auto &c : target)
    if (c == u'/') c = u'\\';
  MakeFile("f", "content");
  EXPECT_FALSE(MoveFileExW(W("f").c_str(), target.c_str(), 0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SAME_DEVICE), GetLastError());
  ASSERT_TRUE(MoveFileExW(W("f").c_str(), target.c_str(), MOVEFILE_COPY_ALLOWED)) << GetLastError();
  EXPECT_FALSE(HostExists("f"));
  std::ifstream in(other + "/moved");
  EXPECT_EQ("content", std::string(std::istreambuf_iterator<char>(in), {}));
  std::filesystem::create_directory(Host("d"));
  EXPECT_FALSE(MoveFileExW(W("d").c_str(), (target + u"2").c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SAME_DEVICE), GetLastError());
  std::filesystem::remove_all(other);
}

TEST_F(FilesWin32, CopiesTakeContentAndAttributes) {
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  MakeFile("big", big);
  ASSERT_TRUE(CopyFileW(W("big").c_str(), W("copy").c_str(), TRUE)) << GetLastError();
  EXPECT_EQ(big, HostContent("copy"));
  MakeFile("small", "s");
  EXPECT_FALSE(CopyFileW(W("small").c_str(), W("copy").c_str(), TRUE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), GetLastError());
  ASSERT_TRUE(CopyFileW(W("small").c_str(), W("copy").c_str(), FALSE));
  EXPECT_EQ("s", HostContent("copy"));
  ASSERT_TRUE(SetFileAttributesW(W("small").c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(CopyFileW(W("small").c_str(), W("ro-copy").c_str(), TRUE));
  EXPECT_TRUE(GetFileAttributesW(W("ro-copy").c_str()) & FILE_ATTRIBUTE_READONLY);
  // A read-only target is not overwritten.
  EXPECT_FALSE(CopyFileW(W("big").c_str(), W("ro-copy").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(CopyFileW(W("none").c_str(), W("x").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_FALSE(HostExists("x"));
  std::filesystem::create_directory(Host("d"));
  EXPECT_FALSE(CopyFileW(W("d").c_str(), W("x").c_str(), FALSE));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

}  // namespace
}  // namespace bw::test
