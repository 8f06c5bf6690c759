// Files through Win32 on a running system: the creation dispositions and
// the last error each leaves, reading and writing at the position, size,
// sharing, deletion on close, and the forms of paths.
#include "platform/daemon/tests/files_win32_fixture.h"

namespace bw::test {
namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

TEST_F(FilesWin32, DispositionsAndTheLastErrorTheyLeave) {
  struct Case {
    DWORD disposition;
    DWORD errorWhenExists;  // after success, or the failure's
    bool opensExisting;
    std::string contentAfter;
    DWORD errorWhenMissing;
    bool createsMissing;
  } cases[] = {
      {CREATE_NEW, ERROR_FILE_EXISTS, false, "old", ERROR_SUCCESS, true},
      {CREATE_ALWAYS, ERROR_ALREADY_EXISTS, true, "", ERROR_SUCCESS, true},
      {OPEN_EXISTING, ERROR_SUCCESS, true, "old", ERROR_FILE_NOT_FOUND, false},
      {OPEN_ALWAYS, ERROR_ALREADY_EXISTS, true, "old", ERROR_SUCCESS, true},
      {TRUNCATE_EXISTING, ERROR_SUCCESS, true, "", ERROR_FILE_NOT_FOUND, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.disposition);
    MakeFile("there", "old");
    std::filesystem::remove(Host("missing"));
    SetLastError(12345);
    HANDLE h = Open("there", kReadWrite, 0, c.disposition);
    EXPECT_EQ(c.errorWhenExists, GetLastError());
    EXPECT_EQ(c.opensExisting, h != INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    EXPECT_EQ(c.contentAfter, HostContent("there"));
    SetLastError(12345);
    h = Open("missing", kReadWrite, 0, c.disposition);
    EXPECT_EQ(c.errorWhenMissing, GetLastError());
    EXPECT_EQ(c.createsMissing, h != INVALID_HANDLE_VALUE);
    EXPECT_EQ(c.createsMissing, HostExists("missing"));
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  // A missing folder on the way, a folder without backup semantics, a bad disposition.
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("nofolder/f", GENERIC_READ, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("nofolder/f", GENERIC_WRITE, 0, CREATE_NEW));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  std::filesystem::create_directory(Host("folder"));
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("folder", GENERIC_READ, kShareAll, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  HANDLE folder = Open("folder", GENERIC_READ, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  EXPECT_NE(INVALID_HANDLE_VALUE, folder);
  CloseHandle(folder);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("there", GENERIC_READ, 0, 9));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(FilesWin32, NewFilesTakeTheirAttributesAndReadOnlyFilesRefuseWriting) {
  HANDLE h = Open("ro", kReadWrite, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
  ASSERT_NE(INVALID_HANDLE_VALUE, h) << GetLastError();
  DWORD written = 0;
  // The open that created it still writes.
  EXPECT_TRUE(WriteFile(h, "abc", 3, &written, nullptr));
  CloseHandle(h);
  EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_READONLY),
            GetFileAttributesW(W("ro").c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("ro", GENERIC_WRITE, 0, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("ro", GENERIC_WRITE, 0, CREATE_ALWAYS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_EQ("abc", HostContent("ro"));
}

TEST_F(FilesWin32, ReadingAndWritingMoveThePositionAndSizeFollows) {
  HANDLE h = Open("data", kReadWrite, 0, CREATE_NEW, FILE_FLAG_WRITE_THROUGH);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(h, "0123456789", 10, &done, nullptr));
  EXPECT_EQ(10u, done);
  LARGE_INTEGER to, at;
  to.QuadPart = 2;
  ASSERT_TRUE(SetFilePointerEx(h, to, &at, FILE_BEGIN));
  EXPECT_EQ(2, at.QuadPart);
  char buffer[16] = {};
  ASSERT_TRUE(ReadFile(h, buffer, 3, &done, nullptr));
  EXPECT_EQ("234", std::string(buffer, done));
  to.QuadPart = 1;
  ASSERT_TRUE(SetFilePointerEx(h, to, &at, FILE_CURRENT));
  EXPECT_EQ(6, at.QuadPart);
  to.QuadPart = -2;
  ASSERT_TRUE(SetFilePointerEx(h, to, &at, FILE_END));
  EXPECT_EQ(8, at.QuadPart);
  ASSERT_TRUE(WriteFile(h, "XYZ", 3, &done, nullptr));
  EXPECT_EQ("01234567XYZ", HostContent("data"));
  // Reading at the end reads nothing and succeeds.
  ASSERT_TRUE(ReadFile(h, buffer, 4, &done, nullptr));
  EXPECT_EQ(0u, done);
  to.QuadPart = -100;
  EXPECT_FALSE(SetFilePointerEx(h, to, &at, FILE_CURRENT));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), GetLastError());
  EXPECT_FALSE(SetFilePointerEx(h, to, &at, 7));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // The end of file goes where the position is, shorter or longer.
  to.QuadPart = 4;
  ASSERT_TRUE(SetFilePointerEx(h, to, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  LARGE_INTEGER size;
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(4, size.QuadPart);
  to.QuadPart = 4096;
  ASSERT_TRUE(SetFilePointerEx(h, to, nullptr, FILE_BEGIN));
  ASSERT_TRUE(SetEndOfFile(h));
  ASSERT_TRUE(GetFileSizeEx(h, &size));
  EXPECT_EQ(4096, size.QuadPart);
  EXPECT_TRUE(FlushFileBuffers(h));
  CloseHandle(h);
  // A handle for reading only sets no end of file.
  h = Open("data", GENERIC_READ, kShareAll, OPEN_EXISTING);
  EXPECT_FALSE(SetEndOfFile(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  CloseHandle(h);
  EXPECT_FALSE(GetFileSizeEx(h, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(FilesWin32, SharingDecidesWhoElseMayOpen) {
  MakeFile("f", "x");
  HANDLE reader = Open("f", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader);
  HANDLE second = Open("f", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(INVALID_HANDLE_VALUE, second);
  CloseHandle(second);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("f", GENERIC_WRITE, kShareAll, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  EXPECT_FALSE(DeleteFileW(W("f").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), GetLastError());
  CloseHandle(reader);
  // A file being deleted is not opened again while a handle keeps it.
  HANDLE keeper = Open("f", GENERIC_READ, kShareAll, OPEN_EXISTING);
  ASSERT_TRUE(DeleteFileW(W("f").c_str())) << GetLastError();
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open("f", GENERIC_READ, kShareAll, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(HostExists("f"));
  CloseHandle(keeper);
  EXPECT_FALSE(HostExists("f"));
  // Delete on close.
  HANDLE temporary = Open("temp", kReadWrite, 0, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
  ASSERT_NE(INVALID_HANDLE_VALUE, temporary);
  EXPECT_TRUE(HostExists("temp"));
  CloseHandle(temporary);
  EXPECT_FALSE(HostExists("temp"));
}

TEST_F(FilesWin32, PathsInTheirWin32Forms) {
  MakeFile("f", "x");
  std::filesystem::create_directory(Host("sub"));
  std::u16string slashes = W("f");
  for (auto &c : slashes)
    if (c == u'\\') c = u'/';
  std::u16string forms[] = {
      W("f"), slashes, u"\\\\?\\" + W("f"), W("sub\\..\\.\\f"), u"\\??\\" + W("f"),
      // The last name's trailing dots and spaces are no part of it.
      W("f. ."), W("sub\\..\\f ..."),
  };
  for (const auto &form : forms) {
    HANDLE h = CreateFileW(form.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h) << std::string(form.begin(), form.end());
    CloseHandle(h);
  }
  // Relative to the current directory, which must be a folder.
  ASSERT_TRUE(SetCurrentDirectoryW(W("sub").c_str()));
  WCHAR current[512];
  DWORD length = GetCurrentDirectoryW(512, current);
  EXPECT_EQ(W("sub"), std::u16string(current, length));
  EXPECT_EQ(length + 1, GetCurrentDirectoryW(2, current));
  HANDLE h = CreateFileW(u"..\\f", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  h = CreateFileW(u"new", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_TRUE(HostExists("sub/new"));
  EXPECT_FALSE(SetCurrentDirectoryW(W("f").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DIRECTORY), GetLastError());
  EXPECT_FALSE(SetCurrentDirectoryW(W("none").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(u"", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            CreateFileW((W("bad") + u"<name").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
}

}  // namespace
}  // namespace bw::test
