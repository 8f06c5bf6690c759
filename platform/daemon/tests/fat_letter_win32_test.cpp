// Files and folders on a RAM disk's letter, as a Win32 program works with
// them: ramvold with the drivers, a FAT32 memory volume given R:, and the
// file calls of this process going through the FAT file system onto it.
#include "engine/protocol/engine_protocol.h"
#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace bw::test {
namespace {

class FatLetterWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(daemon_.Start({"--load-drivers"})) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
    control_ = CreateFileW(u"\\\\.\\BrimwellVolume", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, control_) << GetLastError();
  }
  void TearDown() override {
    if (control_ != INVALID_HANDLE_VALUE) CloseHandle(control_);
    EXPECT_EQ(0, daemon_.Stop());
  }
  uint64_t CreateFat32(uint64_t bytes) {
    CreateMemoryVolumeRequest create = {};
    create.AlgorithmId = ENGINE_ALGORITHM_NULL;
    create.VolumeSize = bytes;
    create.MountFlags = ENGINE_MOUNT_MEMORY;
    create.FileSystem = ENGINE_FS_FAT32;
    uint8_t input[sizeof(create) + 2] = {};
    memcpy(input, &create, sizeof(create));
    MountResult result = {};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(control_, IOCTL_ENGINE_CREATE_MEMORY_VOLUME, input, sizeof(input), &result,
                                sizeof(result), &returned, nullptr))
        << GetLastError();
    EXPECT_EQ(0, result.Status);
    return result.VolumeHandle;
  }
  bool Link(uint64_t handle, uint32_t operation, char16_t letter) {
    LinkRequest link = {};
    link.DriveLetter = letter;
    link.Operation = operation;
    link.VolumeHandle = handle;
    link.PartitionSelector = ENGINE_ALL_PARTITIONS;
    DWORD returned = 0;
    return DeviceIoControl(control_, IOCTL_ENGINE_LINK, &link, sizeof(link), nullptr, 0, &returned, nullptr);
  }
  bool Unmount(uint64_t handle) {
    UnmountRequest unmount = {};
    unmount.VolumeHandle = handle;
    DWORD returned = 0;
    return DeviceIoControl(control_, IOCTL_ENGINE_UNMOUNT, &unmount, sizeof(unmount), nullptr, 0, &returned, nullptr);
  }

  Daemon daemon_;
  HANDLE control_ = INVALID_HANDLE_VALUE;
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
