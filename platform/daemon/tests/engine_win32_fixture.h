// A Win32 client of ramvold with the drivers loaded: this process holds the
// engine's control device and makes memory volumes, letters and unmounts
// through it, as a program built on the control requests does.
#pragma once

#include "engine/protocol/engine_protocol.h"
#include "platform/daemon/tests/daemon_harness.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

namespace bw::test {

class EngineWin32 : public ::testing::Test {
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
  // A memory volume of Bytes with FileSystem and the mount flags Flags
  // besides the memory flag; its handle, 0 when it failed.
  uint64_t CreateVolume(uint32_t flags, uint64_t bytes, uint32_t fileSystem) {
    CreateMemoryVolumeRequest create = {};
    create.AlgorithmId = ENGINE_ALGORITHM_NULL;
    create.VolumeSize = bytes;
    create.MountFlags = ENGINE_MOUNT_MEMORY | flags;
    create.FileSystem = fileSystem;
    // The record, then the (empty) path's terminating zero.
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

}  // namespace bw::test
