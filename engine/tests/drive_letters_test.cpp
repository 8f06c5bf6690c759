// Drive letters of live volumes: global letters through the mount manager
// and MountedDevices, collisions, removal, and the re-format of a volume
// that a file system has mounted.
#include "engine/tests/volume_fixture.h"

#include "kernel-support/ks_registry.h"


#include <deque>
#include <map>

namespace enginetest {
namespace {

using Values = std::map<std::u16string, std::vector<uint8_t>>;

UNICODE_STRING View(const std::u16string &text) {
  return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                        const_cast<char16_t *>(text.data())};
}
UNICODE_STRING View(std::u16string &&) = delete;  // the view would outlive its text
using enginetest::View;

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

// A user process of its own logon session, with the engine open.
struct Client {
  std::shared_ptr<bw::UserProcess> process;
  std::shared_ptr<bw::UserThread> thread;
  HANDLE control = nullptr;
};

std::u16string SessionDirectory(LUID logonId) {
  char text[64];
  snprintf(text, sizeof(text), "\\Sessions\\0\\DosDevices\\%08X-%08X", static_cast<unsigned>(logonId.HighPart),
           static_cast<unsigned>(logonId.LowPart));
  return std::u16string(text, text + strlen(text));
}

Record LinkRecord(uint64_t handle, uint32_t operation, char16_t letter, uint8_t sessionLocal) {
  Record r(80);
  r.Put<uint16_t>(0, letter).Put<uint8_t>(10, sessionLocal).Put<uint32_t>(11, operation);
  r.Put<uint64_t>(15, handle).Put<int32_t>(23, ENGINE_ALL_PARTITIONS);
  return r;
}

class DriveLetters : public VolumeFixture {
 protected:
  const char *EngineModule() const override { return "ramvol_hooks.sys"; }
  void TearDown() override {
    for (auto &client : clients_) {
      if (client.control) client.process->Close(client.control);
      client.process->Terminate();
    }
    clients_.clear();
    VolumeFixture::TearDown();
  }
  NTSTATUS Link(uint64_t handle, uint32_t operation, char16_t letter, uint8_t sessionLocal = 0) {
    return Control(IOCTL_ENGINE_LINK, LinkRecord(handle, operation, letter, sessionLocal), 0).status;
  }
  NTSTATUS LinkFrom(Client &client, uint64_t handle, uint32_t operation, char16_t letter, uint8_t sessionLocal) {
    Record r = LinkRecord(handle, operation, letter, sessionLocal);
    return client.process->DeviceIoControl(*client.thread, client.control, IOCTL_ENGINE_LINK, r.Bytes().data(), 80, 0)
        .status;
  }
  // A process of user Uid in a fresh logon session of that user.
  Client &NewClient(uint32_t uid) {
    LUID logonId;
    EXPECT_STATUS(STATUS_SUCCESS, bw::BeginLogonSession(uid, &logonId));
    bw::ProcessOptions options;
    options.uid = uid;
    options.gid = uid;
    options.logonId = logonId;
    options.imageName = "ramdeck.exe";
    Client client;
    client.process = bw::CreateUserProcess(options);
    client.thread = client.process->CreateThread(50 + static_cast<uint32_t>(clients_.size()));
    client.control = OpenControl(*client.process, *client.thread);
    clients_.push_back(client);
    return clients_.back();
  }
  NTSTATUS OpenLetter(Client &client, const char16_t *path) {
    HANDLE handle = nullptr;
    NTSTATUS status = client.process->CreateFile(*client.thread, path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                                 FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT, &handle);
    if (handle) client.process->Close(handle);
    return status;
  }
  std::deque<Client> clients_;  // stable: tests hold references
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
  Values values = MountedDevicesValues();
  ASSERT_TRUE(values.count(u"\\DosDevices\\R:"));
  EXPECT_EQ(lettered, values[u"\\DosDevices\\R:"]);

  // The mount manager named the volume too.
  std::u16string volumeName;
  for (auto &[name, data] : values)
    if (data == lettered && name.rfind(u"\\??\\Volume{", 0) == 0) volumeName = u"\\GLOBAL??\\" + name.substr(4);
  ASSERT_FALSE(volumeName.empty());
  EXPECT_TRUE(bw::ObjectExists(volumeName));

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
  values = MountedDevicesValues();
  EXPECT_FALSE(HoldsData(values, lettered));
  EXPECT_FALSE(HoldsData(values, unlettered));
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(created.handle, 0, 0));
  // The volume's name goes with it, once the reaper has torn it down (it
  // leaves the table first).
  WaitForVolumeCount(0);
  for (int i = 0; i < 500 && bw::ObjectExists(volumeName); ++i) std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(bw::ObjectExists(volumeName));
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
  Values values = MountedDevicesValues();
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
  EXPECT_TRUE(MountedDevicesValues().empty() || !HoldsData(MountedDevicesValues(), UniqueId(created.handle)));
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(created.handle, 0, 0));
}

TEST_F(DriveLetters, AMountedVolumeIsReformattedOnceNoOtherHandleHoldsIt) {
  Reply created = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, 16 * kMiB, ENGINE_FS_FAT);
  ASSERT_STATUS(STATUS_SUCCESS, created.status);
  ASSERT_STATUS(STATUS_SUCCESS, Link(created.handle, ENGINE_LINK_CREATE, u'R'));

  // A client that does not share deletion keeps the format's open out.
  auto client = OtherUser(1000);
  auto thread = client->CreateThread(9);
  HANDLE held = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, client->CreateFile(*thread, u"\\??\\R:", GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
                                                   FILE_SYNCHRONOUS_IO_NONALERT, &held));
  EXPECT_STATUS(STATUS_SHARING_VIOLATION, Format(created.handle, ENGINE_FS_NTFS, "Fresh"));
  client->Close(held);
  // One that shares everything lets it open, with all sharing and then with
  // read sharing only, but the file system stays locked out while it holds on.
  ASSERT_STATUS(STATUS_SUCCESS, client->CreateFile(*thread, u"\\??\\R:", GENERIC_READ,
                                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN,
                                                   FILE_SYNCHRONOUS_IO_NONALERT, &held));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, Format(created.handle, ENGINE_FS_NTFS, "Fresh"));
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

TEST_F(DriveLetters, ASessionLetterLivesInItsLogonSessionOnlyAndGoesWithIt) {
  Client &owner = NewClient(1000);
  Client &stranger = NewClient(1001);
  Reply mine = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, 8 * kMiB, ENGINE_FS_FAT);
  Reply global = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, 8 * kMiB, ENGINE_FS_FAT);
  Reply theirs = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, 8 * kMiB, ENGINE_FS_FAT);
  ASSERT_STATUS(STATUS_SUCCESS, mine.status);
  ASSERT_STATUS(STATUS_SUCCESS, global.status);
  ASSERT_STATUS(STATUS_SUCCESS, theirs.status);

  ASSERT_STATUS(STATUS_SUCCESS, LinkFrom(owner, mine.handle, ENGINE_LINK_CREATE, u'R', 1));
  ASSERT_STATUS(STATUS_SUCCESS, Link(global.handle, ENGINE_LINK_CREATE, u'G'));
  ASSERT_STATUS(STATUS_SUCCESS, LinkFrom(stranger, theirs.handle, ENGINE_LINK_CREATE, u'S', 1));

  LUID ownerSession = owner.process->LogonId();
  VolumeInfoReply info = Query(mine.handle);
  EXPECT_EQ(u'R', info.DriveLetter);
  EXPECT_EQ(1, info.SessionLocal);
  uint64_t recorded = info.LogonSessionId;  // packed: read by value
  EXPECT_EQ(static_cast<uint64_t>(ownerSession.LowPart) | static_cast<uint64_t>(ownerSession.HighPart) << 32,
            recorded);
  EXPECT_EQ(DeviceName(mine.handle), LinkTarget(SessionDirectory(ownerSession) + u"\\R:"));
  EXPECT_FALSE(bw::ObjectExists(u"\\GLOBAL??\\R:"));
  // No letter of the database names the volume (its volume name may stay).
  std::vector<uint8_t> id = UniqueId(mine.handle);
  for (auto &[name, data] : MountedDevicesValues()) {
    if (name.rfind(u"\\DosDevices\\", 0) == 0) {
      EXPECT_NE(id, data) << "a letter in the database";
    }
  }

  // Seen in the owner's session only.
  EXPECT_STATUS(STATUS_SUCCESS, OpenLetter(owner, u"\\??\\R:"));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenLetter(stranger, u"\\??\\R:"));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, OpenLetter(owner, u"\\??\\S:"));
  EXPECT_STATUS(STATUS_SUCCESS, OpenLetter(stranger, u"\\??\\G:"));

  // Another user may not make the owner's volume theirs.
  ASSERT_STATUS(STATUS_SUCCESS, LinkFrom(owner, mine.handle, ENGINE_LINK_DELETE, 0, 0));
  EXPECT_STATUS(STATUS_ACCESS_DENIED, LinkFrom(stranger, mine.handle, ENGINE_LINK_CREATE, u'R', 1));
  EXPECT_EQ(0u, Query(mine.handle).DriveLetter);
  ASSERT_STATUS(STATUS_SUCCESS, LinkFrom(owner, mine.handle, ENGINE_LINK_CREATE, u'R', 1));

  // The session ends: its letter goes, the global one and the other
  // session's stay, and the volume with its memory stays.
  ASSERT_STATUS(STATUS_SUCCESS, bw::EndLogonSession(ownerSession));
  info = Query(mine.handle);
  EXPECT_EQ(0u, info.DriveLetter);
  EXPECT_EQ(0u, info.StateFlags & 0x400u);
  EXPECT_EQ(u'G', Query(global.handle).DriveLetter);
  EXPECT_EQ(u'S', Query(theirs.handle).DriveLetter);
  EXPECT_STATUS(STATUS_SUCCESS, OpenLetter(stranger, u"\\??\\S:"));

  EXPECT_STATUS(STATUS_SUCCESS, Link(global.handle, ENGINE_LINK_DELETE, 0));
  EXPECT_STATUS(STATUS_SUCCESS, LinkFrom(stranger, theirs.handle, ENGINE_LINK_DELETE, 0, 0));
  for (uint64_t handle : {mine.handle, global.handle, theirs.handle}) EXPECT_STATUS(STATUS_SUCCESS, Unmount(handle, 0, 0));
}

// An unmounted volume with a letter waits for the letter, however many
// times the reaper looks meanwhile, and goes with it: removed by request,
// or by the end of the logon session that holds it.
TEST_F(DriveLetters, AnUnmountedVolumeWaitsForItsLetterToGo) {
  Client &owner = NewClient(1000);
  Reply global = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, 8 * kMiB, ENGINE_FS_FAT);
  Reply local = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, 8 * kMiB, ENGINE_FS_FAT);
  ASSERT_STATUS(STATUS_SUCCESS, global.status);
  ASSERT_STATUS(STATUS_SUCCESS, local.status);
  ASSERT_STATUS(STATUS_SUCCESS, Link(global.handle, ENGINE_LINK_CREATE, u'U'));
  ASSERT_STATUS(STATUS_SUCCESS, LinkFrom(owner, local.handle, ENGINE_LINK_CREATE, u'L', 1));

  ASSERT_STATUS(STATUS_SUCCESS, Unmount(global.handle, 1, 0));
  ASSERT_STATUS(STATUS_SUCCESS, Unmount(local.handle, 1, 0));
  std::this_thread::sleep_for(450ms);  // several of the reaper's rounds
  EXPECT_EQ(2u, VolumeCount());
  EXPECT_EQ(u'U', Query(global.handle).DriveLetter);

  ASSERT_STATUS(STATUS_SUCCESS, Link(global.handle, ENGINE_LINK_DELETE, 0));
  WaitForVolumeCount(1);
  EXPECT_EQ(1u, VolumeCount());
  EXPECT_FALSE(bw::ObjectExists(u"\\GLOBAL??\\U:"));

  ASSERT_STATUS(STATUS_SUCCESS, bw::EndLogonSession(owner.process->LogonId()));
  WaitForVolumeCount(0);
  EXPECT_EQ(0u, VolumeCount());
}

TEST_F(DriveLetters, ADevicePathUnderASessionLetterTurnsIntoThatLetter) {
  auto convert = EngineHook<NTSTATUS (*)(PCUNICODE_STRING, PUNICODE_STRING *)>("EngineTestToDriveLetterPath");
  auto release = EngineHook<void (*)(PUNICODE_STRING *)>("EngineTestFreeString");
  ASSERT_TRUE(convert && release);

  Client &owner = NewClient(1000);
  Reply created = CreateMemory(ENGINE_ALGORITHM_NULL, kMemory, 8 * kMiB, ENGINE_FS_FAT);
  ASSERT_STATUS(STATUS_SUCCESS, created.status);
  ASSERT_STATUS(STATUS_SUCCESS, LinkFrom(owner, created.handle, ENGINE_LINK_CREATE, u'Q', 1));
  std::u16string path = DeviceName(created.handle) + u"\\dir\\image.img";
  std::u16string converted;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  owner.process->Run(*owner.thread, [&] {
    UNICODE_STRING input = View(path);
    PUNICODE_STRING result = nullptr;
    status = convert(&input, &result);
    if (NT_SUCCESS(status)) converted = Text(result);
    release(&result);
  });
  EXPECT_STATUS(STATUS_SUCCESS, status);
  EXPECT_EQ(u"Q:\\dir\\image.img", converted);
  EXPECT_STATUS(STATUS_SUCCESS, LinkFrom(owner, created.handle, ENGINE_LINK_DELETE, 0, 0));
  EXPECT_STATUS(STATUS_SUCCESS, Unmount(created.handle, 0, 0));
}

}  // namespace
}  // namespace enginetest
