// A RAM disk's life as a user's script reaches it: ramvold with the drivers,
// devio from separate processes. An image made by CreateImage is loaded into
// a 64 MiB FAT32 memory volume, which is saved to a second image, unmounted,
// and that image mounted again with the same bytes; the volume has no drive
// letter, so a user-mode open of its device is refused.
#include "engine/protocol/engine_protocol.h"
#include "engine/tests/devio_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>

namespace bw::test {
namespace {

constexpr uint64_t kVolumeSize = 64ull << 20;
constexpr size_t kHeaderBlock = 4096;
TEST(VolumeDevioSystemTest, AVolumeIsLoadedSavedUnmountedAndMountedAgainWithTheSameBytes) {
  Daemon daemon;
  ASSERT_TRUE(daemon.Start({"--load-drivers"})) << daemon.Output();
  std::string first = daemon.Root() + "/first.img";
  std::string second = daemon.Root() + "/second.img";

  // A 64 MiB FAT32 image, made by the engine.
  CreateImageRequest create = {};
  std::vector<uint8_t> firstPath = NtPath(first);
  create.AlgorithmId = ENGINE_ALGORITHM_NULL;
  create.ImageKind = 1;
  create.ImageSize = kVolumeSize;
  create.FileSystem = ENGINE_FS_FAT32;
  create.ImagePathLength = static_cast<uint16_t>(firstPath.size());
  EXPECT_EQ("status=0x00000000 information=0",
            Control(daemon, IOCTL_ENGINE_CREATE_IMAGE, Join(Bytes(create), firstPath, 0), 4).status);
  ASSERT_EQ(kVolumeSize + 2 * kHeaderBlock, FileBytes(first).size());

  // A memory volume loaded from it.
  CreateMemoryVolumeRequest memory = {};
  memory.MountFlags = ENGINE_MOUNT_MEMORY;
  memory.ImagePathLength = static_cast<uint16_t>(firstPath.size());
  uint64_t handle = MountedHandle(Control(daemon, IOCTL_ENGINE_CREATE_MEMORY_VOLUME,
                                          Join(Bytes(memory), firstPath, 2), sizeof(MountResult)));
  ASSERT_NE(0u, handle);

  // Its device has no drive letter: a user-mode open is refused.
  VolumeHandleRequest which = {handle};
  Reply name = Control(daemon, IOCTL_ENGINE_GET_DEVICE_NAME, Bytes(which), 512);
  ASSERT_GT(name.output.size(), 2u) << name.status;
  std::string device;
  for (size_t i = 2; i + 1 < name.output.size(); i += 2) device.push_back(static_cast<char>(name.output[i]));
  ASSERT_EQ(0u, device.find("\\Device\\")) << device;
  int exitCode = 0;
  std::string refused = Devio(daemon, "'\\\\.\\GLOBALROOT" + device + "' --read 0 512", &exitCode);
  EXPECT_NE(0, exitCode);
  EXPECT_NE(std::string::npos, refused.find("error 5")) << refused;

  // Saved whole to a second image, then taken down.
  std::vector<uint8_t> secondPath = NtPath(second);
  SaveImageRequest save = {};
  save.VolumeHandle = handle;
  save.TargetPathLength = static_cast<uint16_t>(secondPath.size());
  EXPECT_EQ("status=0x00000000 information=0",
            Control(daemon, IOCTL_ENGINE_SAVE_IMAGE, Join(Bytes(save), secondPath, 2), 0).status);
  UnmountRequest unmount = {};
  unmount.VolumeHandle = handle;
  EXPECT_EQ("status=0x00000000 information=0", Control(daemon, IOCTL_ENGINE_UNMOUNT, Bytes(unmount), 0).status);

  // The second image holds the first one's bytes and mounts again.
  std::vector<uint8_t> firstBytes = FileBytes(first);
  std::vector<uint8_t> secondBytes = FileBytes(second);
  ASSERT_GE(secondBytes.size(), kVolumeSize + kHeaderBlock);
  EXPECT_TRUE(std::equal(firstBytes.begin() + kHeaderBlock, firstBytes.begin() + kHeaderBlock + kVolumeSize,
                         secondBytes.begin() + kHeaderBlock))
      << "the saved volume differs from the image it was loaded from";
  MountImageRequest mount = {};
  mount.ImagePathLength = static_cast<uint16_t>(secondPath.size());
  uint64_t again = MountedHandle(Control(daemon, IOCTL_ENGINE_MOUNT_IMAGE, Join(Bytes(mount), secondPath, 2),
                                         sizeof(MountResult)));
  ASSERT_NE(0u, again);
  EXPECT_EQ(0u, FileBytes(second).size() - secondBytes.size()) << "mounting changes nothing";
  unmount.VolumeHandle = again;
  EXPECT_EQ("status=0x00000000 information=0", Control(daemon, IOCTL_ENGINE_UNMOUNT, Bytes(unmount), 0).status);
}

}  // namespace
}  // namespace bw::test
