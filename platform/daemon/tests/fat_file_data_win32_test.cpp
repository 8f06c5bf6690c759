// File contents on a FAT RAM disk as a Win32 program shapes them: room that
// a file gains by a write past its end or by a longer end of file reads as
// zeros, never as what a deleted file left in those clusters, and room it
// gives back by truncation is free again.
#include "platform/daemon/tests/fat_win32_fixture.h"

namespace bw::test {
namespace {

class FatFileData : public FatWin32 {
 protected:
  void SetUp() override {
    FatWin32::SetUp();
    volume_ = CreateLettered(ENGINE_FS_FAT, 16ull << 20);
  }
  void TearDown() override {
    EXPECT_TRUE(Link(volume_, ENGINE_LINK_DELETE, 0));
    EXPECT_TRUE(Unmount(volume_, false)) << GetLastError();
    FatWin32::TearDown();
  }
  static uint64_t FreeBytes() {
    ULARGE_INTEGER available, total, free;
    EXPECT_TRUE(GetDiskFreeSpaceExW(u"R:\\", &available, &total, &free)) << GetLastError();
    return free.QuadPart;
  }
  static bool MoveTo(HANDLE file, int64_t offset) {
    LARGE_INTEGER to;
    to.QuadPart = offset;
    return SetFilePointerEx(file, to, nullptr, FILE_BEGIN);
  }
  uint64_t volume_ = 0;
};

TEST_F(FatFileData, RoomAFileGainsReadsAsZerosNotAsOldData) {
  // Clusters full of a deleted file's bytes, free for the next file.
  const uint64_t empty = FreeBytes();
  ASSERT_TRUE(PutFile(u"R:\\secret.bin", std::vector<uint8_t>(1 << 20, 0xA5)));
  ASSERT_TRUE(DeleteFileW(u"R:\\secret.bin"));
  ASSERT_EQ(empty, FreeBytes());

  // A write far past the end, and an end of file set past it again.
  HANDLE file = Create(u"R:\\gaps.bin");
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  ASSERT_TRUE(Write(file, std::vector<uint8_t>(100, 0x11)));
  ASSERT_TRUE(MoveTo(file, 300000));
  ASSERT_TRUE(Write(file, std::vector<uint8_t>(10, 0x22)));
  ASSERT_TRUE(MoveTo(file, 700000));
  ASSERT_TRUE(SetEndOfFile(file)) << GetLastError();
  EXPECT_TRUE(CloseHandle(file));

  std::vector<uint8_t> back;
  ASSERT_TRUE(GetFile(u"R:\\gaps.bin", &back)) << GetLastError();
  ASSERT_EQ(700000u, back.size());
  std::vector<uint8_t> expected(700000, 0);
  std::fill(expected.begin(), expected.begin() + 100, 0x11);
  std::fill(expected.begin() + 300000, expected.begin() + 300010, 0x22);
  size_t firstWrong = 0;
  while (firstWrong < back.size() && back[firstWrong] == expected[firstWrong]) ++firstWrong;
  EXPECT_EQ(back.size(), firstWrong) << "byte " << firstWrong << " is " << int(back[firstWrong]);

  // Cut short, then long again: what was cut off does not come back.
  file = Create(u"R:\\gaps.bin", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  ASSERT_TRUE(MoveTo(file, 50));
  ASSERT_TRUE(SetEndOfFile(file)) << GetLastError();
  EXPECT_EQ(empty - 512, FreeBytes()) << "a 50-byte file holds one cluster";
  ASSERT_TRUE(MoveTo(file, 200));
  ASSERT_TRUE(SetEndOfFile(file)) << GetLastError();
  EXPECT_TRUE(CloseHandle(file));
  ASSERT_TRUE(GetFile(u"R:\\gaps.bin", &back));
  expected.assign(200, 0);
  std::fill(expected.begin(), expected.begin() + 50, 0x11);
  EXPECT_EQ(expected, back);

  // Truncated by its opening, the file gives all its room back.
  file = Create(u"R:\\gaps.bin", GENERIC_WRITE, 0, TRUNCATE_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(empty, FreeBytes());
  EXPECT_TRUE(DeleteFileW(u"R:\\gaps.bin"));
}

}  // namespace
}  // namespace bw::test
