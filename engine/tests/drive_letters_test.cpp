// Drive letters of live volumes: global letters through the mount manager
// and MountedDevices, collisions, removal, and the re-format of a volume
// that a file system has mounted.
#include "engine/tests/volume_fixture.h"

#include "kernel-support/ks_registry.h"

#include <map>

namespace enginetest {
namespace {

using Values = std::map<std::u16string, std::vector<uint8_t>>;

std::u16string Text(PCUNICODE_STRING s) { return std::u16string(s->Buffer, s->Length / 2); }

UNICODE_STRING View(const std::u16string &text) {
  return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                        const_cast<char16_t *>(text.data())};
}

// MountedDevices as name -> data.
Values Database() {
  Values values;
  UNICODE_STRING path = View(u"\\Registry\\Machine\\System\\MountedDevices");
  HANDLE key;
  if (!NT_SUCCESS(KsOpenKey(&key, nullptr, &path, KEY_READ))) return values;
  KsEnumerateValues(
      key, nullptr,
      [](PVOID context, PCUNICODE_STRING name, ULONG, const VOID *data, ULONG length) -> ULONG {
        auto *bytes = static_cast<const uint8_t *>(data);
        (*static_cast<Values *>(context))[Text(name)] = std::vector<uint8_t>(bytes, bytes + length);
        return KS_ENUM_SKIP;
      },
      &values);
  ZwClose(key);
  return values;
}

bool HoldsData(const Values &values, const std::vector<uint8_t> &data) {
  for (auto &[name, bytes] : values)
    if (bytes == data) return true;
  return false;
}

// The target of a symbolic link, or empty.
std::u16string LinkTarget(const std::u16string &link) {
  UNICODE_STRING name = View(link);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE handle;
  if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&handle, SYMBOLIC_LINK_QUERY, &attributes))) return u"";
  char16_t buffer[256];
  UNICODE_STRING target{0, sizeof(buffer), buffer};
  ULONG needed = 0;
  NTSTATUS status = ZwQuerySymbolicLinkObject(handle, &target, &needed);
  ZwClose(handle);
  return NT_SUCCESS(status) ? Text(&target) : u"";
}

class DriveLetters : public VolumeFixture {
 protected:
  NTSTATUS Link(uint64_t handle, uint32_t operation, char16_t letter, uint8_t sessionLocal = 0) {
    Record r(80);
    r.Put<uint16_t>(0, letter).Put<uint8_t>(10, sessionLocal).Put<uint32_t>(11, operation);
    r.Put<uint64_t>(15, handle).Put<int32_t>(23, ENGINE_ALL_PARTITIONS);
    return Control(IOCTL_ENGINE_LINK, r, 0).status;
  }
  VolumeInfoReply Query(uint64_t handle) {
    bw::IoResult info = Control(IOCTL_ENGINE_QUERY_VOLUME, Record(8).Put<uint64_t>(0, handle), 100);
    VolumeInfoReply reply = {};
    EXPECT_STATUS(STATUS_SUCCESS, info.status);
    if (info.output.size() == sizeof(reply)) std::memcpy(&reply, info.output.data(), sizeof(reply));
    return reply;
  }
  // The 64 bytes the volume gives the mount manager as its unique id.
  std::vector<uint8_t> UniqueId(uint64_t handle) {
    HANDLE device = OpenDevice(handle, FILE_READ_ATTRIBUTES);
    std::vector<uint8_t> reply;
    EXPECT_STATUS(STATUS_SUCCESS, Ioctl(device, IOCTL_MOUNTDEV_QUERY_UNIQUE_ID, {}, 67, &reply));
    CloseDevice(device);
    return std::vector<uint8_t>(reply.begin() + 2, reply.end() - 1);
  }
  NTSTATUS Format(uint64_t handle, uint32_t fileSystem, const std::string &label) {
    Record r(22);
    r.Put<uint64_t>(4, handle).Put<uint32_t>(12, fileSystem).Put<uint16_t>(16, static_cast<uint16_t>(label.size()));
    r.Put<int32_t>(18, ENGINE_ALL_PARTITIONS);
    for (size_t i = 0; i < label.size(); ++i) r.Put<uint8_t>(22 + i, static_cast<uint8_t>(label[i]));
    return Control(IOCTL_ENGINE_FORMAT_VOLUME, r, 0).status;
  }
  std::shared_ptr<bw::UserProcess> OtherUser(uint32_t uid) {
    bw::ProcessOptions options;
    options.uid = uid;
    options.gid = uid;
    options.imageName = "other.exe";
    return bw::CreateUserProcess(options);
  }
};

TEST_F(DriveLetters, AGlobalLetterServesEveryUserAndLeavesNothingBehind) {
  Reply created = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, 8 * kMiB, ENGINE_FS_FAT);
  ASSERT_STATUS(STATUS_SUCCESS, created.status);
  std::vector<uint8_t> unlettered = UniqueId(created.handle);

  ASSERT_STATUS(STATUS_SUCCESS, Link(created.handle, ENGINE_LINK_CREATE, u'r'));
  EXPECT_STATUS(STATUS_TOO_MANY_LINKS, Link(created.handle, ENGINE_LINK_CREATE, u'Q'));
  VolumeInfoReply info = Query(created.handle);
  EXPECT_EQ(u'R', info.DriveLetter);
  EXPECT_EQ(0x400u, info.StateFlags & 0x400u);
  EXPECT_EQ(0, info.SessionLocal);
  EXPECT_EQ(DeviceName(created.handle), LinkTarget(u"\\GLOBAL??\\R:"));

  // The id follows the letter, and the database records the letter under it.
  std::vector<uint8_t> lettered = UniqueId(created.handle);
  EXPECT_NE(unlettered, lettered);
  Values values = Database();
  ASSERT_TRUE(values.count(u"\\DosDevices\\R:"));
  EXPECT_EQ(lettered, values[u"\\DosDevices\\R:"]);

  // Another user's process reaches the volume through the letter.
  auto other = OtherUser(1001);
  auto thread = other->CreateThread(7);
  HANDLE volume = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, other->CreateFile(*thread, u"\\??\\R:", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                  FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &volume));
  bw::IoResult boot = other->Read(*thread, volume, 512, 0);
  EXPECT_STATUS(STATUS_SUCCESS, boot.status);
  ASSERT_EQ(512u, boot.output.size());
  EXPECT_EQ(0x55, boot.output[510]);
  EXPECT_EQ(0xAA, boot.output[511]);
  other->Close(volume);
  other->Terminate();

  // Removed twice: the second time there is nothing to do.
  EXPECT_STATUS(STATUS_SUCCESS, Link(created.handle, ENGINE_LINK_DELETE, 0));
  EXPECT_STATUS(STATUS_SUCCESS, Link(created.handle, ENGINE_LINK_DELETE, 0));
  EXPECT_FALSE(bw::ObjectExists(u"\\GLOBAL??\\R:"));
  EXPECT_EQ(0u, Query(created.handle).DriveLetter);
  EXPECT_EQ(unlettered, UniqueId(created.handle));
  values = Database();
  EXPECT_FALSE(HoldsData(values, lettered));
  EXPECT_FALSE(HoldsData(values, unlettered));
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(created.handle, 0, 0));
}

TEST_F(DriveLetters, ALetterOfAnotherDeviceIsACollisionThatLeavesItsOwnerAlone) {
  Reply created = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, 8 * kMiB, ENGINE_FS_FAT);
  ASSERT_STATUS(STATUS_SUCCESS, created.status);
  // S: names the host root, and the database remembers another volume there.
  std::u16string link = u"\\DosDevices\\S:", host = u"\\Device\\HostRoot";
  UNICODE_STRING linkName = View(link), target = View(host);
  ASSERT_STATUS(STATUS_SUCCESS, IoCreateSymbolicLink(&linkName, &target));
  const std::vector<uint8_t> theirs(64, 0x5A);
  UNICODE_STRING key = View(u"\\Registry\\Machine\\System\\MountedDevices");
  HANDLE database;
  ASSERT_STATUS(STATUS_SUCCESS, KsCreateKey(&database, nullptr, &key, KEY_ALL_ACCESS, 0, nullptr));
  ASSERT_STATUS(STATUS_SUCCESS, KsSetBinary(database, u"\\DosDevices\\S:", theirs.data(), 64));
  ZwClose(database);

  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, Link(created.handle, ENGINE_LINK_CREATE, u'S'));
  EXPECT_EQ(host, LinkTarget(u"\\GLOBAL??\\S:"));
  Values values = Database();
  EXPECT_EQ(theirs, values[u"\\DosDevices\\S:"]);
  VolumeInfoReply info = Query(created.handle);
  EXPECT_EQ(0u, info.DriveLetter);
  EXPECT_EQ(0u, info.StateFlags & 0x400u);

  // Nothing of the failed attempt stands in the way of a free letter.
  ASSERT_STATUS(STATUS_SUCCESS, Link(created.handle, ENGINE_LINK_CREATE, u'T'));
  EXPECT_EQ(DeviceName(created.handle), LinkTarget(u"\\GLOBAL??\\T:"));
  EXPECT_STATUS(STATUS_SUCCESS, Link(created.handle, ENGINE_LINK_DELETE, 0));
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(created.handle, 0, 0));
  IoDeleteSymbolicLink(&linkName);
}

TEST_F(DriveLetters, LettersOutsideAToZAreRefused) {
  Reply created = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, 8 * kMiB, ENGINE_FS_FAT);
  ASSERT_STATUS(STATUS_SUCCESS, created.status);
  for (char16_t letter : {u'@', u'[', u'1', u'\0', u'\u00C4'})
    EXPECT_STATUS(STATUS_OBJECT_NAME_INVALID, Link(created.handle, ENGINE_LINK_CREATE, letter));
  EXPECT_TRUE(Database().empty() || !HoldsData(Database(), UniqueId(created.handle)));
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(created.handle, 0, 0));
}

TEST_F(DriveLetters, AMountedVolumeIsReformattedOnceNoOtherHandleHoldsIt) {
  Reply created = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, 16 * kMiB, ENGINE_FS_FAT);
  ASSERT_STATUS(STATUS_SUCCESS, created.status);
  ASSERT_STATUS(STATUS_SUCCESS, Link(created.handle, ENGINE_LINK_CREATE, u'R'));

  // A client holds the volume open: the file system cannot be locked.
  auto client = OtherUser(1000);
  auto thread = client->CreateThread(9);
  HANDLE held = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, client->CreateFile(*thread, u"\\??\\R:", GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                                   FILE_SYNCHRONOUS_IO_NONALERT, &held));
  NTSTATUS refused = Format(created.handle, ENGINE_FS_NTFS, "Fresh");
  EXPECT_FALSE(NT_SUCCESS(refused)) << bw::StatusText(refused);
  bw::IoResult boot = client->Read(*thread, held, 512, 0);
  ASSERT_EQ(512u, boot.output.size());
  EXPECT_EQ(0, std::memcmp(boot.output.data() + 54, "FAT1", 4)) << "the old file system stays";
  client->Close(held);
  client->Terminate();

  ASSERT_STATUS(STATUS_SUCCESS, Format(created.handle, ENGINE_FS_NTFS, "Fresh"));
  HANDLE device = OpenDevice(created.handle, GENERIC_READ);
  std::vector<uint8_t> sector = ReadAll(device, 512);
  EXPECT_EQ(0, std::memcmp(sector.data() + 3, "NTFS    ", 8));
  CloseDevice(device);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Format(created.handle, 4, ""));
  EXPECT_STATUS(STATUS_SUCCESS, Link(created.handle, ENGINE_LINK_DELETE, 0));
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(created.handle, 0, 0));
}

}  // namespace
}  // namespace enginetest
