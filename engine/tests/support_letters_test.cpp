// Support-library helpers behind drive letters that need a running kernel
// but no mount manager: the MountedDevices database, mount-point records,
// the process-notification dispatcher and drive-letter paths.
#include "engine/tests/engine_fixture.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_mount_manager.h"
#include "kernel-support/ks_mounted_devices.h"
#include "kernel-support/ks_process_notify.h"
#include "kernel-support/ks_registry.h"
#include "kernel-support/ks_string.h"

#include <atomic>
#include <map>

namespace enginetest {
namespace {

using SupportLetters = KernelFixture;

TEST_F(SupportLetters, MountedDevicesSetReadAndDeleteByNameOrData) {
  const uint8_t ours[4] = {1, 2, 3, 4}, theirs[4] = {9, 9, 9, 9}, longer[5] = {1, 2, 3, 4, 5};
  UNICODE_STRING r = View(u"\\DosDevices\\R:"), s = View(u"\\DosDevices\\S:"),
                 t = View(u"\\DosDevices\\T:"), v = View(u"\\??\\Volume{1}"), w = View(u"\\??\\Volume{2}");
  // Deleting from a database that does not exist yet is nothing to do.
  EXPECT_STATUS(STATUS_SUCCESS, KsMountedDevicesDeleteByName(&r));
  EXPECT_STATUS(STATUS_SUCCESS, KsMountedDevicesDeleteByData(ours, sizeof(ours)));

  ASSERT_STATUS(STATUS_SUCCESS, KsMountedDevicesSet(&r, ours, sizeof(ours)));
  ASSERT_STATUS(STATUS_SUCCESS, KsMountedDevicesSet(&s, ours, sizeof(ours)));  // adjacent: the index rule
  ASSERT_STATUS(STATUS_SUCCESS, KsMountedDevicesSet(&t, theirs, sizeof(theirs)));
  ASSERT_STATUS(STATUS_SUCCESS, KsMountedDevicesSet(&v, ours, sizeof(ours)));
  ASSERT_STATUS(STATUS_SUCCESS, KsMountedDevicesSet(&w, longer, sizeof(longer)));

  PVOID data = nullptr;
  ULONG length = 0;
  ASSERT_STATUS(STATUS_SUCCESS, KsMountedDevicesRead(&t, &data, &length));
  EXPECT_EQ(4u, length);
  EXPECT_EQ(0, memcmp(data, theirs, 4));
  KsFree(&data);

  // Every value holding exactly our id goes, also when two follow each
  // other; a value that only begins with it stays.
  ASSERT_STATUS(STATUS_SUCCESS, KsMountedDevicesDeleteByData(ours, sizeof(ours)));
  auto left = MountedDevicesValues();
  EXPECT_EQ(2u, left.size());
  EXPECT_TRUE(left.count(u"\\DosDevices\\T:"));
  EXPECT_TRUE(left.count(u"\\??\\Volume{2}"));

  EXPECT_STATUS(STATUS_SUCCESS, KsMountedDevicesDeleteByName(&t));
  EXPECT_STATUS(STATUS_SUCCESS, KsMountedDevicesDeleteByName(&t));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, KsMountedDevicesRead(&t, &data, &length));
  EXPECT_STATUS(STATUS_SUCCESS, KsMountedDevicesDeleteByName(&w));
  EXPECT_TRUE(MountedDevicesValues().empty());
}

TEST_F(SupportLetters, MountPointRecordsAreBuiltAndReadWithinBounds) {
  UNICODE_STRING link = View(u"\\DosDevices\\R:"), device = View(u"\\Device\\Disk7");
  const uint8_t id[3] = {7, 8, 9};
  KS_MOUNT_POINT_KEY none = {nullptr, nullptr, 0, nullptr};
  PMOUNTMGR_MOUNT_POINT point = nullptr;
  ULONG size = 0;
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, KsBuildMountPoint(&none, &point, &size));

  KS_MOUNT_POINT_KEY all = {&link, id, sizeof(id), &device};
  ASSERT_STATUS(STATUS_SUCCESS, KsBuildMountPoint(&all, &point, &size));
  EXPECT_EQ(24u + link.Length + 3 + device.Length, size);
  EXPECT_EQ(24u, point->SymbolicLinkNameOffset);
  EXPECT_EQ(24u + link.Length, point->UniqueIdOffset);
  EXPECT_EQ(24u + link.Length + 3, point->DeviceNameOffset);

  // The same point as a reply: header, one record, the strings after it.
  std::vector<uint8_t> reply(8 + size);
  auto *points = reinterpret_cast<PMOUNTMGR_MOUNT_POINTS>(reply.data());
  memcpy(reply.data() + 8, point, size);
  points->Size = static_cast<ULONG>(reply.size());
  points->NumberOfMountPoints = 1;
  points->MountPoints[0].SymbolicLinkNameOffset += 8;
  points->MountPoints[0].UniqueIdOffset += 8;
  points->MountPoints[0].DeviceNameOffset += 8;
  KS_MOUNT_POINT_VIEW view;
  ASSERT_TRUE(KsMountPointAt(points, static_cast<ULONG>(reply.size()), 0, &view));
  EXPECT_EQ(u"\\DosDevices\\R:", Text(&view.Link));
  EXPECT_EQ(u"\\Device\\Disk7", Text(&view.DeviceName));
  EXPECT_EQ(3, view.UniqueIdLength);
  EXPECT_EQ(0, memcmp(view.UniqueId, id, 3));
  EXPECT_FALSE(KsMountPointAt(points, static_cast<ULONG>(reply.size()), 1, &view));

  // A reply that claims more than it holds is not read past its end.
  EXPECT_FALSE(KsMountPointAt(points, static_cast<ULONG>(reply.size()) - 1, 0, &view));
  points->MountPoints[0].DeviceNameOffset = 0xFFFFFFF0;
  EXPECT_FALSE(KsMountPointAt(points, static_cast<ULONG>(reply.size()), 0, &view));
  points->MountPoints[0].DeviceNameOffset = 8;
  points->MountPoints[0].DeviceNameLength = 3;  // half a character
  EXPECT_FALSE(KsMountPointAt(points, static_cast<ULONG>(reply.size()), 0, &view));
  points->NumberOfMountPoints = 0x10000000;
  EXPECT_FALSE(KsMountPointAt(points, 16, 0, &view));
  KsFree(&point);
}

TEST_F(SupportLetters, MountManagerMissingAnswersInvalidDeviceState) {
  // Without the mount manager nothing owns "\Device\MountPointManager".
  bw::UnloadSystemDrivers();
  ASSERT_FALSE(bw::ObjectExists(u"\\Device\\MountPointManager"));
  UNICODE_STRING device = View(u"\\Device\\Nothing");
  EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE, KsAnnounceVolume(&device));
  EXPECT_STATUS(STATUS_INVALID_DEVICE_STATE, KsDeleteMountPointsDbOnly("x", 1));
}

std::atomic<int> gCreations{0}, gExits{0};
std::atomic<uintptr_t> gLastCreated{0}, gLastExited{0};

VOID CountCreation(HANDLE ProcessId, PEPROCESS Process) {
  EXPECT_NE(nullptr, Process);
  gLastCreated = reinterpret_cast<uintptr_t>(ProcessId);
  ++gCreations;
}

VOID CountExit(HANDLE ProcessId, PEPROCESS) {
  gLastExited = reinterpret_cast<uintptr_t>(ProcessId);
  ++gExits;
}

TEST_F(SupportLetters, ProcessNotificationsReachTheHandlersOfTheirSlots) {
  gCreations = gExits = 0;
  KsProcessNotifyInitialize();
  // Installing twice registers the dispatcher once: one call per creation.
  ASSERT_STATUS(STATUS_SUCCESS, KsSetProcessCreationHandler(CountCreation));
  ASSERT_STATUS(STATUS_SUCCESS, KsSetProcessCreationHandler(CountCreation));
  KsSetProcessExitHandler(CountExit);
  {
    auto process = NewProcess(false, 4242);
    EXPECT_EQ(1, gCreations.load());
    EXPECT_EQ(4242u, gLastCreated.load());
    process->Terminate();
  }
  EXPECT_EQ(1, gExits.load());
  EXPECT_EQ(4242u, gLastExited.load());

  // Cleared, twice: no more calls, and the second clear is harmless.
  ASSERT_STATUS(STATUS_SUCCESS, KsSetProcessCreationHandler(nullptr));
  ASSERT_STATUS(STATUS_SUCCESS, KsSetProcessCreationHandler(nullptr));
  NewProcess(false, 4243)->Terminate();
  EXPECT_EQ(1, gCreations.load());
  EXPECT_EQ(1, gExits.load());
  // The system's removal refuses a routine it does not know.
  EXPECT_STATUS(STATUS_PROCEDURE_NOT_FOUND, PsSetCreateProcessNotifyRoutine(
                                                [](HANDLE, HANDLE, BOOLEAN) {}, TRUE));
}

// The engine's own conversion, reached through the test build's hooks.
class DriveLetterPaths : public KernelFixture {
 protected:
  const char *EngineModule() const override { return "ramvol_hooks.sys"; }
  void SetUp() override {
    KernelFixture::SetUp();
    ASSERT_STATUS(STATUS_SUCCESS, LoadBus());
    ASSERT_STATUS(STATUS_SUCCESS, LoadEngine());
    convert_ = EngineHook<decltype(convert_)>("EngineTestToDriveLetterPath");
    free_ = EngineHook<decltype(free_)>("EngineTestFreeString");
    ASSERT_TRUE(convert_ && free_);
  }
  std::u16string DriveLetterPath(const char16_t *path) {
    UNICODE_STRING input = View(path);
    PUNICODE_STRING result = nullptr;
    NTSTATUS status = convert_(&input, &result);
    if (!NT_SUCCESS(status)) {
      std::string name = bw::StatusText(status);
      return u"error " + std::u16string(name.begin(), name.end());
    }
    std::u16string text = Text(result);
    free_(&result);
    return text;
  }
  NTSTATUS (*convert_)(PCUNICODE_STRING, PUNICODE_STRING *) = nullptr;
  void (*free_)(PUNICODE_STRING *) = nullptr;
};

TEST_F(DriveLetterPaths, EachFormTurnsIntoTheDriveLetterPath) {
  EXPECT_EQ(u"C:\\img\\disk.img", DriveLetterPath(u"C:\\img\\disk.img"));
  EXPECT_EQ(u"C:\\img\\disk.img", DriveLetterPath(u"\\??\\C:\\img\\disk.img"));
  EXPECT_EQ(u"C:\\img\\disk.img", DriveLetterPath(u"\\DosDevices\\C:\\img\\disk.img"));
  EXPECT_EQ(u"C:\\img", DriveLetterPath(u"\\dosdevices\\C:\\img"));
  // A device path: no session letter names it, so the opened file tells
  // its letter (the host root is Z:).
  std::string file = root_ + "/image.img";
  FILE *f = fopen(file.c_str(), "w");
  ASSERT_NE(nullptr, f);
  fclose(f);
  std::u16string device = u"\\Device\\HostRoot" + std::u16string(file.begin(), file.end());
  for (auto &c : device)
    if (c == u'/') c = u'\\';
  std::u16string expected = u"Z:" + device.substr(16);
  EXPECT_EQ(expected, DriveLetterPath(device.c_str()));
  EXPECT_EQ(u"error STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)", DriveLetterPath(u"\\Device\\NoSuchDevice\\x"));
}

}  // namespace
}  // namespace enginetest
