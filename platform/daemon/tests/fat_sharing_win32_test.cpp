// Sharing and deletion on a FAT RAM disk as a Win32 program meets them:
// opens that the sharing of earlier opens refuses, a file deleted while
// open that nobody may open again until it is gone, and temporary files
// that go with their last handle.
#include "platform/daemon/tests/fat_win32_fixture.h"

namespace bw::test {
namespace {

constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class FatSharing : public FatWin32 {
 protected:
  void SetUp() override {
    FatWin32::SetUp();
    volume_ = CreateLettered(ENGINE_FS_FAT32, 64ull << 20);
  }
  void TearDown() override {
    EXPECT_TRUE(Link(volume_, ENGINE_LINK_DELETE, 0));
    EXPECT_TRUE(Unmount(volume_, false)) << "a handle was left open: " << GetLastError();
    FatWin32::TearDown();
  }
  static void ExpectError(DWORD error, const char *what) {
    EXPECT_EQ(error, GetLastError()) << what;
  }
  uint64_t volume_ = 0;
};

TEST_F(FatSharing, EarlierOpensDecideWhoElseMayOpen) {
  ASSERT_TRUE(PutFile(u"R:\\shared.txt", Pattern(100, 1)));
  HANDLE reader = Create(u"R:\\shared.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader) << GetLastError();
  // A writer is refused by the reader's sharing, and a reader that will
  // not share with the reader's reading is refused too.
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            Create(u"R:\\shared.txt", GENERIC_WRITE, kShareAll, OPEN_EXISTING));
  ExpectError(ERROR_SHARING_VIOLATION, "writer");
  EXPECT_EQ(INVALID_HANDLE_VALUE, Create(u"R:\\SHARED.TXT", GENERIC_READ, 0, OPEN_EXISTING));
  ExpectError(ERROR_SHARING_VIOLATION, "exclusive reader, other case");
  // Another reader sharing reading is let in; deleting and renaming need
  // delete sharing, which nobody gave.
  HANDLE second = Create(u"R:\\shared.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_NE(INVALID_HANDLE_VALUE, second) << GetLastError();
  EXPECT_FALSE(DeleteFileW(u"R:\\shared.txt"));
  ExpectError(ERROR_SHARING_VIOLATION, "delete");
  EXPECT_FALSE(MoveFileExW(u"R:\\shared.txt", u"R:\\moved.txt", 0));
  ExpectError(ERROR_SHARING_VIOLATION, "rename");
  CloseHandle(second);
  CloseHandle(reader);

  // The folder a file is open in cannot go, and a file open for writing
  // without sharing keeps every other open out.
  ASSERT_TRUE(CreateDirectoryW(u"R:\\Dir", nullptr));
  HANDLE inner = Create(u"R:\\Dir\\inner.bin", kReadWrite, 0, CREATE_NEW);
  ASSERT_NE(INVALID_HANDLE_VALUE, inner) << GetLastError();
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            Create(u"R:\\Dir\\inner.bin", GENERIC_READ, kShareAll, OPEN_EXISTING));
  ExpectError(ERROR_SHARING_VIOLATION, "exclusive writer");
  EXPECT_FALSE(RemoveDirectoryW(u"R:\\Dir"));
  ExpectError(ERROR_DIR_NOT_EMPTY, "folder in use");
  CloseHandle(inner);
  EXPECT_TRUE(DeleteFileW(u"R:\\Dir\\inner.bin")) << GetLastError();
  EXPECT_TRUE(RemoveDirectoryW(u"R:\\Dir")) << GetLastError();
  EXPECT_TRUE(DeleteFileW(u"R:\\shared.txt")) << GetLastError();
}

TEST_F(FatSharing, ADeletedFileStaysUntilItsLastHandleButOpensNoMore) {
  ASSERT_TRUE(PutFile(u"R:\\doomed.txt", Pattern(3000, 2)));
  ULARGE_INTEGER available, total, freeBefore, freeAfter;
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"R:\\", &available, &total, &freeBefore));
  HANDLE open = Create(u"R:\\doomed.txt", GENERIC_READ, kShareAll, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, open) << GetLastError();
  ASSERT_TRUE(DeleteFileW(u"R:\\doomed.txt")) << GetLastError();

  // Delete pending: new opens are refused with access denied, and the name
  // cannot be taken by a new file either; the open handle still reads.
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            Create(u"R:\\doomed.txt", GENERIC_READ, kShareAll, OPEN_EXISTING));
  ExpectError(ERROR_ACCESS_DENIED, "open of a file with delete pending");
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            Create(u"R:\\doomed.txt", GENERIC_WRITE, kShareAll, CREATE_ALWAYS));
  ExpectError(ERROR_ACCESS_DENIED, "re-creation while delete pending");
  uint8_t buffer[3000];
  DWORD read = 0;
  EXPECT_TRUE(ReadFile(open, buffer, sizeof buffer, &read, nullptr)) << GetLastError();
  EXPECT_EQ(3000u, read);
  EXPECT_TRUE(CloseHandle(open));

  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\doomed.txt"));
  ExpectError(ERROR_FILE_NOT_FOUND, "gone with its last handle");
  ASSERT_TRUE(GetDiskFreeSpaceExW(u"R:\\", &available, &total, &freeAfter));
  EXPECT_EQ(freeBefore.QuadPart + 3072, freeAfter.QuadPart) << "its clusters are free again";
  ASSERT_TRUE(PutFile(u"R:\\doomed.txt", Pattern(10, 3))) << "the name is free again";
  EXPECT_TRUE(DeleteFileW(u"R:\\doomed.txt"));
}

TEST_F(FatSharing, DeleteOnCloseFilesGoWithTheirLastHandle) {
  HANDLE temporary = Create(u"R:\\scratch.tmp", kReadWrite, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
  ASSERT_NE(INVALID_HANDLE_VALUE, temporary) << GetLastError();
  ASSERT_TRUE(Write(temporary, Pattern(5000, 4)));
  // Another opener must share deletion, and may read what was written.
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            Create(u"R:\\scratch.tmp", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
  ExpectError(ERROR_SHARING_VIOLATION, "open without delete sharing");
  HANDLE reader = Create(u"R:\\scratch.tmp", GENERIC_READ, kShareAll, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, reader) << GetLastError();
  EXPECT_TRUE(CloseHandle(temporary));
  // The first handle's close made the deletion pending: the file is still
  // there for its reader but opens no more.
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            Create(u"R:\\scratch.tmp", GENERIC_READ, kShareAll, OPEN_EXISTING));
  ExpectError(ERROR_ACCESS_DENIED, "open after the delete-on-close handle closed");
  EXPECT_TRUE(CloseHandle(reader));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\scratch.tmp"));
}

}  // namespace
}  // namespace bw::test
