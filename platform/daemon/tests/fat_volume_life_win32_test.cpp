// What the engine does to a FAT file system mounted on its volume, seen by a
// Win32 program with files open on R:\: taking the volume offline locks the
// file system first unless forced, a dismount leaves open handles failing
// with ERROR_NOT_READY, a re-format never pulls a volume away from under an
// open file and shows a fresh file system to the next open, and the root
// compression that FAT cannot do leaves the volume as it was.
#include "platform/daemon/tests/fat_win32_fixture.h"

namespace bw::test {
namespace {

constexpr DWORD kFileAttributeCompressed = 0x800;

class FatVolumeLife : public FatWin32 {};

TEST_F(FatVolumeLife, TakingOfflineWaitsForOpenFilesUnlessForced) {
  uint64_t volume = CreateLettered(ENGINE_FS_FAT32, 64ull << 20);
  HANDLE file = Create(u"R:\\open.txt");
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  ASSERT_TRUE(Write(file, Pattern(5000, 1)));

  // A program's lock and the engine's unforced unmount are both refused
  // while the file is open; nothing changes for the file.
  HANDLE volumeHandle = OpenVolumeR();
  ASSERT_NE(INVALID_HANDLE_VALUE, volumeHandle) << GetLastError();
  EXPECT_FALSE(FsControl(volumeHandle, kFsctlLockVolume));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  CloseHandle(volumeHandle);
  EXPECT_FALSE(Unmount(volume, false));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_COMMAND), GetLastError());
  EXPECT_TRUE(Listed(volume));
  EXPECT_TRUE(Write(file, Pattern(100, 2))) << GetLastError();

  // Forced, the volume goes with its letter; the file system is dismounted
  // under the open file, whose requests fail from then on but whose handle
  // still closes.
  EXPECT_TRUE(Unmount(volume, true)) << GetLastError();
  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0)) << GetLastError();
  DWORD written = 0;
  uint8_t byte = 1;
  EXPECT_FALSE(WriteFile(file, &byte, 1, &written, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(WaitUntilGone(volume));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\"));
}

TEST_F(FatVolumeLife, TakingOfflineWithNothingOpenLocksDismountsAndRemoves) {
  uint64_t volume = CreateLettered(ENGINE_FS_FAT, 16ull << 20);
  ASSERT_TRUE(PutFile(u"R:\\closed.bin", Pattern(70000, 3)));

  // Nothing is open: a program may lock the volume, and while it holds the
  // lock no file opens.
  HANDLE volumeHandle = OpenVolumeR();
  ASSERT_NE(INVALID_HANDLE_VALUE, volumeHandle) << GetLastError();
  ASSERT_TRUE(FsControl(volumeHandle, kFsctlLockVolume)) << GetLastError();
  EXPECT_EQ(INVALID_HANDLE_VALUE,
            Create(u"R:\\closed.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(FsControl(volumeHandle, kFsctlUnlockVolume)) << GetLastError();
  CloseHandle(volumeHandle);

  EXPECT_TRUE(Unmount(volume, false)) << GetLastError();
  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0)) << GetLastError();
  EXPECT_TRUE(WaitUntilGone(volume));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\closed.bin"));
}

TEST_F(FatVolumeLife, ADismountInvalidatesOpenHandlesAndTheNextOpenMountsAfresh) {
  uint64_t volume = CreateLettered(ENGINE_FS_FAT32, 64ull << 20);
  std::vector<uint8_t> data = Pattern(40000, 4);
  HANDLE file = Create(u"R:\\kept.bin");
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  ASSERT_TRUE(Write(file, data));
  WIN32_FIND_DATAW found = {};
  HANDLE find = FindFirstFileW(u"R:\\*", &found);
  ASSERT_NE(INVALID_HANDLE_VALUE, find) << GetLastError();

  HANDLE volumeHandle = OpenVolumeR();
  ASSERT_NE(INVALID_HANDLE_VALUE, volumeHandle) << GetLastError();
  ASSERT_TRUE(FsControl(volumeHandle, kFsctlDismountVolume)) << GetLastError();

  DWORD done = 0;
  uint8_t buffer[16];
  EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  EXPECT_FALSE(FlushFileBuffers(file));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  EXPECT_FALSE(FindNextFileW(find, &found));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  EXPECT_TRUE(FindClose(find));
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(CloseHandle(volumeHandle));

  // What was written before the dismount is on the volume.
  std::vector<uint8_t> back;
  EXPECT_TRUE(GetFile(u"R:\\kept.bin", &back)) << GetLastError();
  EXPECT_EQ(data, back);
  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0));
  EXPECT_TRUE(Unmount(volume, false)) << GetLastError();
}

TEST_F(FatVolumeLife, AReformatShowsAFreshFileSystemAndSparesOpenFiles) {
  uint64_t volume = CreateLettered(ENGINE_FS_FAT, 40ull << 20);
  WCHAR fileSystem[16] = {};
  ASSERT_TRUE(
      GetVolumeInformationW(u"R:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 16));
  EXPECT_EQ(std::u16string(u"FAT"), std::u16string(fileSystem)) << "FAT16 is named FAT";
  ASSERT_TRUE(CreateDirectoryW(u"R:\\old", nullptr)) << GetLastError();
  ASSERT_TRUE(PutFile(u"R:\\old\\a.txt", Pattern(3000, 5)));

  // An open file keeps the file system locked against the format, which
  // gives up after its retries and leaves the file and its volume alone.
  HANDLE file = Create(u"R:\\old\\a.txt", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  EXPECT_FALSE(Format(volume, ENGINE_FS_FAT32));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_TRUE(Write(file, Pattern(10, 6))) << GetLastError();
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\old\\a.txt"));

  // Closed, the volume is re-formatted as FAT32 and the next open sees it
  // empty, with all its room free again.
  ASSERT_TRUE(Format(volume, ENGINE_FS_FAT32)) << GetLastError();
  ASSERT_TRUE(GetVolumeInformationW(u"R:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 16))
      << GetLastError();
  EXPECT_EQ(std::u16string(u"FAT32"), std::u16string(fileSystem));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\old"));
  WIN32_FIND_DATAW found = {};
  HANDLE find = FindFirstFileW(u"R:\\*", &found);
  if (find != INVALID_HANDLE_VALUE) {
    do EXPECT_EQ(u'.', found.cFileName[0]) << "left over";
    while (FindNextFileW(find, &found));
    FindClose(find);
  }
  ASSERT_TRUE(PutFile(u"R:\\new.txt", Pattern(100, 7)));

  // And back from FAT32 to FAT16.
  ASSERT_TRUE(Format(volume, ENGINE_FS_FAT)) << GetLastError();
  ASSERT_TRUE(
      GetVolumeInformationW(u"R:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 16));
  EXPECT_EQ(std::u16string(u"FAT"), std::u16string(fileSystem)) << "FAT16 is named FAT";
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\new.txt"));

  // Without a file system the volume is raw: no folders, and FAT again
  // once formatted so.
  ASSERT_TRUE(Format(volume, ENGINE_FS_RAW)) << GetLastError();
  EXPECT_FALSE(
      GetVolumeInformationW(u"R:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 16));
  EXPECT_FALSE(PutFile(u"R:\\raw.txt", Pattern(10, 8)));
  ASSERT_TRUE(Format(volume, ENGINE_FS_FAT)) << GetLastError();
  EXPECT_TRUE(PutFile(u"R:\\again.txt", Pattern(10, 9))) << GetLastError();

  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0));
  EXPECT_TRUE(Unmount(volume, false)) << GetLastError();
}

TEST_F(FatVolumeLife, AnEmulatedDisksPartitionIsReformattedAndTakenOfflineTheSameWay) {
  // A hard disk with one FAT32 partition; the letter goes to the partition.
  uint64_t volume = CreateVolume(ENGINE_MOUNT_DISK_EMULATION | ENGINE_MOUNT_BUS_NEW_PARTITION_TABLE,
                                 64ull << 20, ENGINE_FS_FAT32);
  ASSERT_NE(0u, volume);
  ASSERT_TRUE(Link(volume, ENGINE_LINK_CREATE, u'R')) << GetLastError();
  WCHAR fileSystem[16] = {};
  ASSERT_TRUE(GetVolumeInformationW(u"R:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 16))
      << GetLastError();
  EXPECT_EQ(std::u16string(u"FAT32"), std::u16string(fileSystem));
  ASSERT_TRUE(PutFile(u"R:\\before.txt", Pattern(1000, 9)));

  // The partition is formatted afresh, as FAT16 this time.
  ASSERT_TRUE(Format(volume, ENGINE_FS_FAT)) << GetLastError();
  ASSERT_TRUE(GetVolumeInformationW(u"R:\\", nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 16))
      << GetLastError();
  EXPECT_EQ(std::u16string(u"FAT"), std::u16string(fileSystem));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\before.txt"));

  // A file open on the partition refuses the unforced unmount; forced, the
  // partition's file system goes from under the file.
  HANDLE file = Create(u"R:\\open.txt");
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  EXPECT_FALSE(Unmount(volume, false));
  EXPECT_EQ(static_cast<DWORD>(ERROR_BAD_COMMAND), GetLastError());
  EXPECT_TRUE(Write(file, Pattern(10, 10))) << GetLastError();
  EXPECT_TRUE(Unmount(volume, true)) << GetLastError();
  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0)) << GetLastError();
  EXPECT_FALSE(Write(file, Pattern(10, 11)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_TRUE(WaitUntilGone(volume));
}

TEST_F(FatVolumeLife, RootCompressionThatFatRefusesLeavesTheVolumeUsable) {
  // Mount flag 0x40 asks for the root folder to be compressed; FAT refuses
  // as Windows' FAT does, and the volume is created all the same.
  uint64_t volume = CreateLettered(ENGINE_FS_FAT32, 64ull << 20, ENGINE_MOUNT_COMPRESS);
  ASSERT_NE(0u, volume);
  DWORD attributes = GetFileAttributesW(u"R:\\");
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes) << GetLastError();
  EXPECT_EQ(0u, attributes & kFileAttributeCompressed);
  HANDLE root =
      CreateFileW(u"R:\\", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, root) << GetLastError();
  USHORT format = 1;
  EXPECT_FALSE(FsControl(root, kFsctlSetCompression, &format, sizeof format));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_FUNCTION), GetLastError());
  CloseHandle(root);
  EXPECT_TRUE(PutFile(u"R:\\plain.txt", Pattern(10, 8)));

  // A re-format that asks for compression on FAT formats all the same.
  EXPECT_TRUE(Format(volume, ENGINE_FS_FAT32, ENGINE_FORMAT_COMPRESS_ROOT)) << GetLastError();
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(u"R:\\plain.txt"));
  EXPECT_TRUE(Link(volume, ENGINE_LINK_DELETE, 0));
  EXPECT_TRUE(Unmount(volume, false)) << GetLastError();
}

}  // namespace
}  // namespace bw::test
