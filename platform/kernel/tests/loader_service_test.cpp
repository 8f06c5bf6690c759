// Drivers loaded from their service keys (ZwLoadDriver, ZwUnloadDriver),
// the system drive they are found on, and the PnP manager loading a
// device's function driver from its key.
#include "platform/kernel/tests/pnp_fixture.h"

#include <gmock/gmock.h>

#include <filesystem>

namespace bw::test {
namespace {

const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";

UNICODE_STRING Unicode(const std::u16string &text) {
  return UNICODE_STRING{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2),
                        const_cast<PWCHAR>(text.data())};
}

// Writes a service key: Type (none when 0) and ImagePath (none when empty).
void WriteService(const std::u16string &name, ULONG type, const std::u16string &imagePath) {
  std::u16string path = kServices + name;
  UNICODE_STRING keyName = Unicode(path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  HANDLE key = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, 0, nullptr));
  if (type) {
    UNICODE_STRING value = RTL_CONSTANT_STRING(u"Type");
    ASSERT_STATUS(STATUS_SUCCESS, ZwSetValueKey(key, &value, 0, REG_DWORD, &type, sizeof type));
  }
  if (!imagePath.empty()) {
    UNICODE_STRING value = RTL_CONSTANT_STRING(u"ImagePath");
    ASSERT_STATUS(STATUS_SUCCESS,
                  ZwSetValueKey(key, &value, 0, REG_EXPAND_SZ, const_cast<char16_t *>(imagePath.c_str()),
                                static_cast<ULONG>((imagePath.size() + 1) * 2)));
  }
  ZwClose(key);
}

NTSTATUS LoadService(const std::u16string &service) {
  std::u16string path = kServices + service;
  UNICODE_STRING name = Unicode(path);
  return ZwLoadDriver(&name);
}

NTSTATUS UnloadService(const std::u16string &service) {
  std::u16string path = kServices + service;
  UNICODE_STRING name = Unicode(path);
  return ZwUnloadDriver(&name);
}

// The host root's NT name for a file of the build ("\??\Z:\...\bin\x.sys").
std::u16string OnHostRoot(const char *file) {
  std::string host = std::string(BW_BIN_DIR "/") + file;
  std::u16string path = u"\\??\\Z:";
  for (char c : host) path += c == '/' ? u'\\' : static_cast<char16_t>(c);
  return path;
}

using LoaderServiceTest = KernelTest;

TEST_F(LoaderServiceTest, SystemDriveHoldsTheWindowsFoldersAndSystemRootNamesIt) {
  for (const char *folder : {"/C/Windows/System32/Drivers", "/C/Windows/INF"})
    EXPECT_TRUE(std::filesystem::is_directory(root_ + folder)) << folder;
  EXPECT_TRUE(ObjectExists(u"\\??\\C:"));
  // A file made through \SystemRoot lands in the root's C folder.
  std::u16string path = u"\\SystemRoot\\System32\\Drivers\\made.txt";
  UNICODE_STRING name = Unicode(path);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  HANDLE file = nullptr;
  IO_STATUS_BLOCK iosb{};
  ASSERT_STATUS(STATUS_SUCCESS,
                ZwCreateFile(&file, FILE_WRITE_DATA | SYNCHRONIZE, &attributes, &iosb, nullptr, 0, 0,
                             FILE_CREATE, FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT,
                             nullptr, 0));
  ZwClose(file);
  EXPECT_TRUE(std::filesystem::exists(root_ + "/C/Windows/System32/Drivers/made.txt"));
}

TEST_F(LoaderServiceTest, KeyNamesTheImageInEachFormAndALoadedDriverLoadsOnce) {
  std::filesystem::copy_file(BW_BIN_DIR "/testdrv.sys",
                             root_ + "/C/Windows/System32/Drivers/TestSvc.sys");
  // No ImagePath: \SystemRoot\System32\drivers\<service>.sys.
  WriteService(u"TestSvc", 1, u"");
  ASSERT_STATUS(STATUS_SUCCESS, LoadService(u"TestSvc"));
  EXPECT_TRUE(ObjectExists(u"\\Device\\BwTestDevice"));
  EXPECT_STATUS(STATUS_IMAGE_ALREADY_LOADED, LoadService(u"testsvc"));
  ASSERT_STATUS(STATUS_SUCCESS, UnloadService(u"TestSvc"));
  EXPECT_FALSE(ObjectExists(u"\\Device\\BwTestDevice"));
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, UnloadService(u"TestSvc"));

  // Relative to \SystemRoot, then a \??\ path on the host root.
  WriteService(u"TestSvc", 1, u"System32\\drivers\\TestSvc.sys");
  ASSERT_STATUS(STATUS_SUCCESS, LoadService(u"TestSvc"));
  ASSERT_STATUS(STATUS_SUCCESS, UnloadService(u"TestSvc"));
  WriteService(u"TestSvc", 2, OnHostRoot("testdrv.sys"));
  ASSERT_STATUS(STATUS_SUCCESS, LoadService(u"TestSvc"));
  ASSERT_STATUS(STATUS_SUCCESS, UnloadService(u"TestSvc"));
}

TEST_F(LoaderServiceTest, LoadRefusesWhatIsNoDriverOrIsNotThere) {
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, LoadService(u"NoSuchService"));
  UNICODE_STRING elsewhere = RTL_CONSTANT_STRING(u"\\Registry\\Machine\\Software\\TestSvc");
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, ZwLoadDriver(&elsewhere));
  WriteService(u"NoType", 0, OnHostRoot("testdrv.sys"));
  EXPECT_STATUS(STATUS_DRIVER_UNABLE_TO_LOAD, LoadService(u"NoType"));
  WriteService(u"UserService", 0x10, OnHostRoot("testdrv.sys"));
  EXPECT_STATUS(STATUS_INVALID_IMAGE_FORMAT, LoadService(u"UserService"));
  WriteService(u"Missing", 1, u"\\SystemRoot\\System32\\drivers\\missing.sys");
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, LoadService(u"Missing"));
  // A module without DriverEntry is no driver image.
  WriteService(u"NotADriver", 1, OnHostRoot("libntoskrnl.so"));
  EXPECT_STATUS(STATUS_PROCEDURE_NOT_FOUND, LoadService(u"NotADriver"));
  EXPECT_TRUE(LoadedDrivers().empty());
}

TEST_F(PnpTest, FunctionDriverIsLoadedFromItsKeyAndStaysWhileItHasDevices) {
  WriteService(kBusService, 1, OnHostRoot("pnpbus.sys"));
  ASSERT_STATUS(STATUS_SUCCESS, CreateRootDevice(u"Root\\PnpTestBus", kBusService, &busPath_));
  ASSERT_TRUE(WaitForPnpIdle());
  loaded_.push_back(kBusService);
  EXPECT_EQ("started", NodeOf(busPath_).state) << DescribeDevNodes();
  EXPECT_THAT(LoadedDrivers(), ::testing::Contains(std::u16string(kBusService)));
  // A Plug and Play driver unloads once its devices are gone, not before.
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST, UnloadService(kBusService));

  // A device whose driver cannot be loaded waits without one.
  WriteService(u"Broken", 1, u"\\SystemRoot\\System32\\drivers\\broken.sys");
  std::u16string broken;
  ASSERT_STATUS(STATUS_SUCCESS, CreateRootDevice(u"Root\\Broken", u"Broken", &broken));
  ASSERT_TRUE(WaitForPnpIdle());
  EXPECT_EQ("no driver", NodeOf(broken).state);
}

}  // namespace
}  // namespace bw::test
