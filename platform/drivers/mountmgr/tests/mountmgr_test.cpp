// The mount manager against the test driver's disks: arrival with and
// without database letter and suggested link, letters other devices hold,
// the point requests and their replies, malformed records, user access,
// and the database across a restart of the system.
#include "platform/drivers/tests/system_drivers_fixture.h"

namespace bw::test {
namespace {

const std::u16string kManager = u"\\Device\\MountPointManager";
const std::u16string kDisk = u"\\Device\\BwTestDisk";
const std::u16string kBytes = u"\\Device\\BwTestBytes";

Bytes IdOf(const char *text) { return Bytes(text, text + strlen(text)); }

void PutName(Bytes *record, const std::u16string &name) {
  auto *p = reinterpret_cast<const uint8_t *>(name.data());
  record->insert(record->end(), p, p + name.size() * 2);
}

Bytes TargetName(const std::u16string &device) {
  Bytes record(2);
  USHORT length = static_cast<USHORT>(device.size() * 2);
  memcpy(record.data(), &length, 2);
  PutName(&record, device);
  return record;
}

Bytes CreatePointInput(const std::u16string &link, const std::u16string &device) {
  MOUNTMGR_CREATE_POINT_INPUT header{sizeof header, static_cast<USHORT>(link.size() * 2),
                                     static_cast<USHORT>(sizeof header + link.size() * 2),
                                     static_cast<USHORT>(device.size() * 2)};
  Bytes record(sizeof header);
  memcpy(record.data(), &header, sizeof header);
  PutName(&record, link);
  PutName(&record, device);
  return record;
}

Bytes MountPointInput(const std::u16string &link, const Bytes &uniqueId, const std::u16string &device) {
  MOUNTMGR_MOUNT_POINT header{};
  Bytes record(sizeof header);
  if (!link.empty()) {
    header.SymbolicLinkNameOffset = static_cast<ULONG>(record.size());
    header.SymbolicLinkNameLength = static_cast<USHORT>(link.size() * 2);
    PutName(&record, link);
  }
  if (!uniqueId.empty()) {
    header.UniqueIdOffset = static_cast<ULONG>(record.size());
    header.UniqueIdLength = static_cast<USHORT>(uniqueId.size());
    record.insert(record.end(), uniqueId.begin(), uniqueId.end());
  }
  if (!device.empty()) {
    header.DeviceNameOffset = static_cast<ULONG>(record.size());
    header.DeviceNameLength = static_cast<USHORT>(device.size() * 2);
    PutName(&record, device);
  }
  memcpy(record.data(), &header, sizeof header);
  return record;
}

struct PointView {
  std::u16string link;
  Bytes uniqueId;
  std::u16string device;
};

std::vector<PointView> PointsOf(const Reply &reply) {
  std::vector<PointView> points;
  MOUNTMGR_MOUNT_POINTS head;
  memcpy(&head, reply.output.data(), 8);
  for (ULONG i = 0; i < head.NumberOfMountPoints; ++i) {
    MOUNTMGR_MOUNT_POINT p;
    memcpy(&p, reply.output.data() + 8 + i * sizeof p, sizeof p);
    const uint8_t *base = reply.output.data();
    points.push_back({std::u16string(reinterpret_cast<const char16_t *>(base + p.SymbolicLinkNameOffset),
                                     p.SymbolicLinkNameLength / 2),
                      Bytes(base + p.UniqueIdOffset, base + p.UniqueIdOffset + p.UniqueIdLength),
                      std::u16string(reinterpret_cast<const char16_t *>(base + p.DeviceNameOffset),
                                     p.DeviceNameLength / 2)});
  }
  return points;
}

bool IsVolumeName(const std::u16string &link) {
  return link.size() == 48 && link.compare(0, 11, u"\\??\\Volume{") == 0 && link[47] == u'}';
}

class MountManagerTest : public SystemDriversTest {
 protected:
  static Reply Arrival(const std::u16string &device) {
    return Send(kManager, IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, TargetName(device), 0);
  }
  static Reply Query(const Bytes &input, ULONG outputLength = 4096) {
    return Send(kManager, IOCTL_MOUNTMGR_QUERY_POINTS, input, outputLength);
  }
  // The database's values holding `uniqueId`, by name.
  static std::vector<std::u16string> DatabaseNamesOf(const Bytes &uniqueId) {
    std::vector<std::u16string> names;
    UNICODE_STRING path = RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System\\MountedDevices");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    if (!NT_SUCCESS(ZwOpenKey(&key, KEY_READ, &attributes))) return names;
    std::vector<uint8_t> buffer(1024);
    ULONG needed = 0;
    for (ULONG i = 0; NT_SUCCESS(ZwEnumerateValueKey(key, i, KeyValueFullInformation, buffer.data(),
                                                     static_cast<ULONG>(buffer.size()), &needed));
         ++i) {
      auto *info = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer.data());
      Bytes data(buffer.data() + info->DataOffset, buffer.data() + info->DataOffset + info->DataLength);
      if (data == uniqueId) names.emplace_back(info->Name, info->NameLength / 2);
    }
    ZwClose(key);
    return names;
  }
  static void SetDatabaseValue(const std::u16string &name, const Bytes &data) {
    UNICODE_STRING path = RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System\\MountedDevices");
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key = nullptr;
    ASSERT_STATUS(STATUS_SUCCESS, ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr));
    UNICODE_STRING value = View(name);
    EXPECT_STATUS(STATUS_SUCCESS, ZwSetValueKey(key, &value, 0, REG_BINARY, const_cast<uint8_t *>(data.data()),
                                                static_cast<ULONG>(data.size())));
    ZwClose(key);
  }
};

TEST_F(MountManagerTest, ArrivalNamesTheVolumeAndTakesAFreeSuggestedLetter) {
  const Bytes id = IdOf("disk-one");
  SetIdentity(kDisk, id, u"\\DosDevices\\R:");
  ASSERT_STATUS(STATUS_SUCCESS, Arrival(kDisk).status);
  EXPECT_EQ(kDisk, LinkTarget(u"\\GLOBAL??\\R:"));
  std::vector<std::u16string> names = DatabaseNamesOf(id);
  ASSERT_EQ(2u, names.size());
  std::u16string volumeName = IsVolumeName(names[0]) ? names[0] : names[1];
  EXPECT_TRUE(IsVolumeName(volumeName));
  EXPECT_EQ(kDisk, LinkTarget(u"\\GLOBAL??\\" + volumeName.substr(4)));
  EXPECT_EQ(2u, LinkLog(kDisk).created);

  // Without a suggested link a volume gets its volume name only.
  SetIdentity(kBytes, IdOf("bytes"), u"");
  ASSERT_STATUS(STATUS_SUCCESS, Arrival(kBytes).status);
  EXPECT_EQ(1u, DatabaseNamesOf(IdOf("bytes")).size());
  EXPECT_EQ(1u, PointsOf(Query(MountPointInput(u"", {}, kBytes))).size());

  // Announced again: the same names, nothing new.
  ASSERT_STATUS(STATUS_SUCCESS, Arrival(kDisk).status);
  EXPECT_EQ(names, DatabaseNamesOf(id));
  EXPECT_EQ(2u, LinkLog(kDisk).created);

  // A device that is not there, or is no volume, is refused.
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Arrival(u"\\Device\\NoSuchDisk").status);
}

TEST_F(MountManagerTest, TheDatabaseLetterComesFirstAndADeletedOneIsNotRecreated) {
  const Bytes id = IdOf("disk-two");
  SetIdentity(kDisk, id, u"\\DosDevices\\R:");
  SetDatabaseValue(u"\\DosDevices\\S:", id);
  ASSERT_STATUS(STATUS_SUCCESS, Arrival(kDisk).status);
  EXPECT_EQ(kDisk, LinkTarget(u"\\GLOBAL??\\S:"));
  EXPECT_EQ(u"", LinkTarget(u"\\GLOBAL??\\R:"));

  // The letter goes with its database value; announced again without a
  // suggestion the volume stays without one.
  SetIdentity(kDisk, id, u"");
  ASSERT_STATUS(STATUS_SUCCESS,
                Send(kManager, IOCTL_MOUNTMGR_DELETE_POINTS, MountPointInput(u"\\DosDevices\\S:", {}, u""), 4096).status);
  ASSERT_STATUS(STATUS_SUCCESS, Arrival(kDisk).status);
  EXPECT_EQ(u"", LinkTarget(u"\\GLOBAL??\\S:"));
  EXPECT_EQ(1u, DatabaseNamesOf(id).size());
}

TEST_F(MountManagerTest, ALetterAnotherDeviceHoldsIsNotTaken) {
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\GLOBAL??\\R:");
  UNICODE_STRING other = View(kBytes);
  ASSERT_STATUS(STATUS_SUCCESS, IoCreateSymbolicLink(&link, &other));
  const Bytes id = IdOf("disk-three");
  SetIdentity(kDisk, id, u"\\DosDevices\\R:");
  ASSERT_STATUS(STATUS_SUCCESS, Arrival(kDisk).status);
  EXPECT_EQ(kBytes, LinkTarget(u"\\GLOBAL??\\R:"));
  EXPECT_EQ(1u, DatabaseNamesOf(id).size());  // the volume name only
  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION,
                Send(kManager, IOCTL_MOUNTMGR_CREATE_POINT, CreatePointInput(u"\\DosDevices\\R:", kDisk), 0).status);
  EXPECT_EQ(1u, DatabaseNamesOf(id).size());
  IoDeleteSymbolicLink(&link);
}

TEST_F(MountManagerTest, PointsAreCreatedQueriedByEachKeyAndDeleted) {
  const Bytes id = IdOf("disk-four");
  SetIdentity(kDisk, id, u"");
  // Only volumes the mount manager was told about get points.
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                Send(kManager, IOCTL_MOUNTMGR_CREATE_POINT, CreatePointInput(u"\\DosDevices\\T:", kDisk), 0).status);
  ASSERT_STATUS(STATUS_SUCCESS, Arrival(kDisk).status);
  ASSERT_STATUS(STATUS_SUCCESS,
                Send(kManager, IOCTL_MOUNTMGR_CREATE_POINT, CreatePointInput(u"\\DosDevices\\T:", kDisk), 0).status);
  EXPECT_EQ(kDisk, LinkTarget(u"\\GLOBAL??\\T:"));
  EXPECT_EQ(2u, DatabaseNamesOf(id).size());
  EXPECT_EQ(u"\\DosDevices\\T:", std::u16string(LinkLog(kDisk).last, LinkLog(kDisk).lastLength / 2));

  std::vector<PointView> byLink = PointsOf(Query(MountPointInput(u"\\DosDevices\\T:", {}, u"")));
  ASSERT_EQ(1u, byLink.size());
  EXPECT_EQ(id, byLink[0].uniqueId);
  EXPECT_EQ(kDisk, byLink[0].device);
  EXPECT_EQ(2u, PointsOf(Query(MountPointInput(u"", id, u""))).size());
  EXPECT_EQ(2u, PointsOf(Query(MountPointInput(u"", {}, kDisk))).size());
  EXPECT_EQ(2u, PointsOf(Query(MountPointInput(u"", {}, u""))).size());
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Query(MountPointInput(u"", IdOf("nobody"), u"")).status);
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND,
                Send(kManager, IOCTL_MOUNTMGR_DELETE_POINTS_DBONLY, MountPointInput(u"", IdOf("nobody"), u""), 0)
                    .status);

  // Reply sizes: exactly fitting, one byte short, shorter than the header.
  Reply all = Query(MountPointInput(u"", id, u""));
  ULONG size;
  memcpy(&size, all.output.data(), 4);
  EXPECT_EQ(size, all.information);
  Reply exact = Query(MountPointInput(u"", id, u""), size);
  EXPECT_STATUS(STATUS_SUCCESS, exact.status);
  EXPECT_EQ(size, exact.information);
  Reply shortReply = Query(MountPointInput(u"", id, u""), size - 1);
  EXPECT_STATUS(STATUS_BUFFER_OVERFLOW, shortReply.status);
  EXPECT_EQ(sizeof(MOUNTMGR_MOUNT_POINTS), shortReply.information);
  ULONG reported[2];
  memcpy(reported, shortReply.output.data(), 8);
  EXPECT_EQ(size, reported[0]);
  EXPECT_EQ(2u, reported[1]);
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, Query(MountPointInput(u"", id, u""), sizeof(MOUNTMGR_MOUNT_POINTS) - 1).status);

  // Deleting: the link and its value go and the volume hears of it; a
  // second time nothing matches.
  Bytes letter = MountPointInput(u"\\DosDevices\\T:", {}, u"");
  Reply deleted = Send(kManager, IOCTL_MOUNTMGR_DELETE_POINTS, letter, 4096);
  ASSERT_STATUS(STATUS_SUCCESS, deleted.status);
  EXPECT_EQ(1u, PointsOf(deleted).size());
  EXPECT_EQ(u"", LinkTarget(u"\\GLOBAL??\\T:"));
  EXPECT_EQ(1u, DatabaseNamesOf(id).size());
  EXPECT_EQ(1u, LinkLog(kDisk).deleted);
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, Send(kManager, IOCTL_MOUNTMGR_DELETE_POINTS, letter, 4096).status);

  // The database only: the values go, the links stay.
  ASSERT_STATUS(STATUS_SUCCESS,
                Send(kManager, IOCTL_MOUNTMGR_DELETE_POINTS_DBONLY, MountPointInput(u"", id, u""), 0).status);
  EXPECT_TRUE(DatabaseNamesOf(id).empty());
  std::vector<PointView> left = PointsOf(Query(MountPointInput(u"", {}, kDisk)));
  ASSERT_EQ(1u, left.size());
  EXPECT_EQ(kDisk, LinkTarget(u"\\GLOBAL??\\" + left[0].link.substr(4)));
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, Send(kManager, IOCTL_MOUNTMGR_NEXT_DRIVE_LETTER, {}, 0).status);
}

TEST_F(MountManagerTest, MalformedRecordsAreRefused) {
  SetIdentity(kDisk, IdOf("disk-five"), u"");
  ASSERT_STATUS(STATUS_SUCCESS, Arrival(kDisk).status);
  auto point = [](ULONG linkOffset, USHORT linkLength, ULONG idOffset, USHORT idLength, size_t size) {
    MOUNTMGR_MOUNT_POINT header{};
    header.SymbolicLinkNameOffset = linkOffset;
    header.SymbolicLinkNameLength = linkLength;
    header.UniqueIdOffset = idOffset;
    header.UniqueIdLength = idLength;
    Bytes record(size, 'A');
    memcpy(record.data(), &header, sizeof header);
    return record;
  };
  const Bytes malformed[] = {
      Bytes(sizeof(MOUNTMGR_MOUNT_POINT) - 1, 0),  // shorter than the record
      point(64, 4, 0, 0, 40),                      // offset past the end
      point(24, 32, 0, 0, 40),                     // length past the buffer
      point(24, 3, 0, 0, 40),                      // a name of odd length
      point(0xFFFFFFF0u, 0x20, 0, 0, 40),          // offset + length wraps around
      point(0, 0, 0xFFFFFFFFu, 8, 40),             // a unique id beyond the buffer
  };
  for (ULONG code : {IOCTL_MOUNTMGR_QUERY_POINTS, IOCTL_MOUNTMGR_DELETE_POINTS, IOCTL_MOUNTMGR_DELETE_POINTS_DBONLY})
    for (const Bytes &record : malformed) EXPECT_STATUS(STATUS_INVALID_PARAMETER, Send(kManager, code, record, 4096).status);

  Bytes oddCreate = CreatePointInput(u"\\DosDevices\\T:", kDisk);
  oddCreate[2] = 27;  // link length odd
  Bytes farCreate = CreatePointInput(u"\\DosDevices\\T:", kDisk);
  farCreate[4] = 0xF0;  // device name past the end
  for (const Bytes &record : {oddCreate, farCreate, Bytes(7, 0)})
    EXPECT_STATUS(STATUS_INVALID_PARAMETER, Send(kManager, IOCTL_MOUNTMGR_CREATE_POINT, record, 0).status);
  Bytes oddTarget = TargetName(kDisk);
  oddTarget[0] = 3;
  Bytes longTarget = TargetName(kDisk);
  longTarget[0] = 0xFE;
  for (const Bytes &record : {oddTarget, longTarget, Bytes(1, 0)})
    EXPECT_STATUS(STATUS_INVALID_PARAMETER,
                  Send(kManager, IOCTL_MOUNTMGR_VOLUME_ARRIVAL_NOTIFICATION, record, 0).status);
  EXPECT_EQ(u"", LinkTarget(u"\\GLOBAL??\\T:"));
}

TEST_F(MountManagerTest, UsersMayQueryButNotCreate) {
  SetIdentity(kDisk, IdOf("disk-six"), u"");
  ASSERT_STATUS(STATUS_SUCCESS, Arrival(kDisk).status);
  ProcessOptions options;
  options.uid = 1000;
  options.gid = 1000;
  auto process = CreateUserProcess(options);
  auto thread = process->CreateThread(1);
  HANDLE handle = nullptr;
  EXPECT_STATUS(STATUS_ACCESS_DENIED, process->CreateFile(*thread, u"\\??\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                                                          FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, &handle));
  ASSERT_STATUS(STATUS_SUCCESS, process->CreateFile(*thread, u"\\??\\MountPointManager", 0,
                                                    FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, &handle));
  Bytes query = MountPointInput(u"", {}, kDisk);
  IoResult points = process->DeviceIoControl(*thread, handle, IOCTL_MOUNTMGR_QUERY_POINTS, query.data(),
                                             static_cast<ULONG>(query.size()), 1024);
  EXPECT_STATUS(STATUS_SUCCESS, points.status);
  Bytes create = CreatePointInput(u"\\DosDevices\\T:", kDisk);
  EXPECT_STATUS(STATUS_ACCESS_DENIED, process->DeviceIoControl(*thread, handle, IOCTL_MOUNTMGR_CREATE_POINT,
                                                               create.data(), static_cast<ULONG>(create.size()), 0)
                                          .status);
  EXPECT_EQ(u"", LinkTarget(u"\\GLOBAL??\\T:"));
  process->Close(handle);
  process->Terminate();
}

TEST_F(MountManagerTest, TheDatabaseOutlivesARestart) {
  const Bytes id = IdOf("disk-seven");
  SetIdentity(kDisk, id, u"\\DosDevices\\Q:");
  ASSERT_STATUS(STATUS_SUCCESS, Arrival(kDisk).status);
  std::vector<std::u16string> before = DatabaseNamesOf(id);
  ASSERT_EQ(2u, before.size());

  KernelShutdown();
  std::string error;
  ASSERT_STATUS(STATUS_SUCCESS, KernelBoot(BootOptionsFor(root_), &error)) << error;
  LoadDrivers();
  EXPECT_EQ(u"", LinkTarget(u"\\GLOBAL??\\Q:"));  // links live until the system stops
  SetIdentity(kDisk, id, u"");
  ASSERT_STATUS(STATUS_SUCCESS, Arrival(kDisk).status);
  EXPECT_EQ(kDisk, LinkTarget(u"\\GLOBAL??\\Q:"));
  EXPECT_EQ(before, DatabaseNamesOf(id));
}

}  // namespace
}  // namespace bw::test
