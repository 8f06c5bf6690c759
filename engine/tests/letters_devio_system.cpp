// A drive letter as a user's script gives one: ramvold with the drivers,
// devio from separate processes. A volume gets R: with the Link request, is
// read and written through \\.\R:, loses the letter again, and the mount
// manager's database is left as it was.
#include "engine/tests/devio_client.h"

#include "bw/host.h"

#include <ntddk.h>

namespace bw::test {
namespace {

std::vector<uint8_t> LinkInput(uint64_t handle, uint32_t operation, char16_t letter) {
  LinkRequest link = {};
  link.DriveLetter = letter;
  link.Operation = operation;
  link.VolumeHandle = handle;
  link.PartitionSelector = ENGINE_ALL_PARTITIONS;
  return Bytes(link);
}

// The values of MountedDevices in the registry ramvold left in Root.
size_t DatabaseValueCount(const std::string &root) {
  BootOptions options;
  options.root = root;
  std::string error;
  if (!NT_SUCCESS(KernelBoot(options, &error))) {
    ADD_FAILURE() << error;
    return 0;
  }
  size_t count = 0;
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, u"\\Registry\\Machine\\System\\MountedDevices");
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE key;
  if (NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) {
    alignas(8) UCHAR buffer[1024];
    ULONG length;
    while (NT_SUCCESS(ZwEnumerateValueKey(key, static_cast<ULONG>(count), KeyValueBasicInformation, buffer,
                                          sizeof(buffer), &length)))
      ++count;
    ZwClose(key);
  }
  KernelShutdown();
  return count;
}

TEST(LettersDevioSystemTest, AVolumeIsReachedByItsLetterUntilTheLetterGoes) {
  Daemon daemon;
  ASSERT_TRUE(daemon.Start({"--load-drivers"})) << daemon.Output();

  CreateMemoryVolumeRequest memory = {};
  memory.AlgorithmId = ENGINE_ALGORITHM_NULL;
  memory.VolumeSize = 16ull << 20;
  memory.MountFlags = ENGINE_MOUNT_MEMORY;
  memory.FileSystem = ENGINE_FS_FAT;
  uint64_t handle = MountedHandle(
      Control(daemon, IOCTL_ENGINE_CREATE_MEMORY_VOLUME, Join(Bytes(memory), {}, 2), sizeof(MountResult)));
  ASSERT_NE(0u, handle);
  EXPECT_EQ("status=0x00000000 information=0",
            Control(daemon, IOCTL_ENGINE_LINK, LinkInput(handle, ENGINE_LINK_CREATE, u'R'), 0).status);

  const std::string letter = "'\\\\.\\R:' ";
  std::string geometry = Devio(daemon, letter + "0x70000 '' --out 24");
  EXPECT_EQ(0u, geometry.find("status=0x00000000 information=24")) << geometry;
  std::string written = Devio(daemon, letter + "--write 4096 deadbeef");
  EXPECT_EQ(0u, written.find("status=0x00000000 information=4")) << written;
  std::string read = Devio(daemon, letter + "--read 4096 4");
  EXPECT_NE(std::string::npos, read.find("DE AD BE EF")) << read;

  EXPECT_EQ("status=0x00000000 information=0",
            Control(daemon, IOCTL_ENGINE_LINK, LinkInput(handle, ENGINE_LINK_DELETE, 0), 0).status);
  int exitCode = 0;
  std::string gone = Devio(daemon, letter + "--read 0 512", &exitCode);
  EXPECT_NE(0, exitCode) << gone;
  UnmountRequest unmount = {};
  unmount.VolumeHandle = handle;
  EXPECT_EQ("status=0x00000000 information=0", Control(daemon, IOCTL_ENGINE_UNMOUNT, Bytes(unmount), 0).status);
  ASSERT_EQ(0, daemon.Stop());
  EXPECT_EQ(0u, DatabaseValueCount(daemon.Root()));
}

}  // namespace
}  // namespace bw::test
