// Device installation as the daemon serves it to setup: registered root
// devices and their values, driver and service keys, a start that loads the
// service's driver from its ImagePath, and removal for good or from this
// configuration only.
#include "platform/kernel/tests/pnp_fixture.h"

#include "config/registry.h"
#include "config/registry_store.h"
#include "ob/object.h"

namespace bw::test {
namespace {

RegistryValueData Text(std::u16string name, std::u16string text, ULONG type = REG_SZ) {
  text += u'\0';
  if (type == REG_MULTI_SZ) text += u'\0';
  auto bytes = reinterpret_cast<const uint8_t *>(text.data());
  return {std::move(name), type, std::vector<uint8_t>(bytes, bytes + text.size() * 2)};
}

RegistryValueData Dword(std::u16string name, uint32_t value) {
  auto bytes = reinterpret_cast<const uint8_t *>(&value);
  return {std::move(name), REG_DWORD, std::vector<uint8_t>(bytes, bytes + 4)};
}

std::u16string ValueText(std::u16string_view key, std::u16string_view name, ULONG *type = nullptr) {
  RegistryStore::KeyRef ref;
  RegistryStore::Value value;
  if (!NT_SUCCESS(Registry().OpenKey(nullptr, key, &ref)) || !NT_SUCCESS(Registry().QueryValue(ref, name, &value)))
    return u"<none>";
  if (type) *type = value.type;
  if (value.type == REG_DWORD) return ToU16(std::to_string(*reinterpret_cast<uint32_t *>(value.data.data())));
  std::u16string text(reinterpret_cast<const char16_t *>(value.data.data()), value.data.size() / 2);
  while (!text.empty() && !text.back()) text.pop_back();
  return text;
}

const std::u16string kEnum = u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
const std::u16string kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
const std::u16string kClassGuid = u"{4D36E97B-E325-11CE-BFC1-08002BE10318}";

class PnpSetupTest : public PnpTest {
 protected:
  void TearDown() override {
    RemoveDeviceTree();
    // The driver a start loaded is the test's to unload.
    for (const auto &service : LoadedDrivers())
      if (service == kBusService) UnloadDriver(service);
    PnpTest::TearDown();
  }
  // Instance paths match without regard to case, as on Windows.
  static std::string State(const std::u16string &path) {
    for (auto &n : DevNodes())
      if (EqualNoCase(n.instancePath, path)) return n.state;
    return "none";
  }
  bool Present(const std::u16string &path) {
    for (const auto &d : RegisteredRootDevices())
      if (EqualNoCase(d.instancePath, path)) return d.present;
    return false;
  }
};

TEST_F(PnpSetupTest, DeviceIsRegisteredInstalledStartedFromItsServiceKeyAndRemoved) {
  std::u16string path;
  ASSERT_STATUS(STATUS_SUCCESS, NewRootInstanceId(u"PnpTestBus", &path));
  EXPECT_EQ(path, u"ROOT\\PNPTESTBUS\\0000");
  ASSERT_STATUS(STATUS_SUCCESS, RegisterRootDevice(path, {Text(u"HardwareID", u"Root\\PnpTestBus", REG_MULTI_SZ),
                                                          Text(u"ClassGUID", kClassGuid)}));
  EXPECT_STATUS(STATUS_OBJECT_NAME_COLLISION, RegisterRootDevice(path, {}));
  std::u16string next;
  ASSERT_STATUS(STATUS_SUCCESS, NewRootInstanceId(u"pnptestbus", &next));
  EXPECT_EQ(next, u"ROOT\\PNPTESTBUS\\0001");
  EXPECT_TRUE(Present(path));
  EXPECT_EQ("no driver", State(path));
  ULONG type = 0;
  std::vector<uint8_t> data;
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, QueryDeviceValue(path, false, u"Service", &type, &data));
  EXPECT_STATUS(STATUS_NO_SUCH_DEVICE, QueryDeviceValue(u"ROOT\\NONE\\0000", false, u"Service", &type, &data));
  EXPECT_STATUS(STATUS_INVALID_PARAMETER, QueryDeviceValue(u"PCI\\X\\Y\\Z", false, u"Service", &type, &data));

  // The service key holds what the service control manager writes; its
  // ImagePath reaches the module through the host root's letter.
  std::u16string image = u"\\??\\Z:" + ToU16(BW_BIN_DIR "/pnpbus.sys");
  for (auto &c : image)
    if (c == u'/') c = u'\\';
  ASSERT_STATUS(STATUS_SUCCESS,
                WriteServiceKey(kBusService, {Dword(u"Type", 1), Dword(u"Start", 3), Dword(u"ErrorControl", 1),
                                              Text(u"ImagePath", image, REG_EXPAND_SZ),
                                              Text(u"Group", u"SCSI miniport"), Text(u"DisplayName", u"Test bus")}));
  EXPECT_EQ(ValueText(kServices + kBusService, u"ImagePath", &type), image);
  EXPECT_EQ(type, static_cast<ULONG>(REG_EXPAND_SZ));
  EXPECT_EQ(ValueText(kServices + kBusService, u"Start"), u"3");
  std::u16string driverKey;
  ASSERT_STATUS(STATUS_SUCCESS, WriteDriverKey(path, kClassGuid, {Text(u"InfPath", u"oem0.inf")}, &driverKey));
  EXPECT_EQ(driverKey, kClassGuid + u"\\0000");
  // A second write keeps the device's driver key.
  ASSERT_STATUS(STATUS_SUCCESS, WriteDriverKey(path, kClassGuid, {Text(u"InfPath", u"oem1.inf")}, &driverKey));
  EXPECT_EQ(driverKey, kClassGuid + u"\\0000");
  ASSERT_STATUS(STATUS_SUCCESS, QueryDeviceValue(path, true, u"InfPath", &type, &data));
  EXPECT_EQ(std::u16string(reinterpret_cast<char16_t *>(data.data()), 8), u"oem1.inf");
  ASSERT_STATUS(STATUS_SUCCESS, SetDeviceValue(path, Text(u"Service", kBusService)));

  bool started = false;
  ASSERT_STATUS(STATUS_SUCCESS, StartInstalledDevice(path, &started));
  EXPECT_TRUE(started) << DescribeDevNodes();
  EXPECT_EQ("started", State(path));

  // Out of this configuration: registered, not present, and the driver
  // whose last device it was is gone.
  ASSERT_STATUS(STATUS_SUCCESS, UninstallDevice(path, false));
  EXPECT_FALSE(Present(path));
  EXPECT_EQ(ValueText(kEnum + path, u"CSConfigFlags"), u"4");
  auto loaded = LoadedDrivers();
  EXPECT_EQ(std::find(loaded.begin(), loaded.end(), std::u16string(kBusService)), loaded.end());
  // A start brings it back.
  ASSERT_STATUS(STATUS_SUCCESS, StartInstalledDevice(path, &started));
  EXPECT_TRUE(started);
  EXPECT_TRUE(Present(path));
  // Removed for good: its key and driver key go.
  ASSERT_STATUS(STATUS_SUCCESS, UninstallDevice(path, true));
  EXPECT_EQ(ValueText(kEnum + path, u"HardwareID"), u"<none>");
  EXPECT_EQ(ValueText(u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\" + driverKey, u"InfPath"),
            u"<none>");
  EXPECT_TRUE(RegisteredRootDevices().empty());
  EXPECT_STATUS(STATUS_NO_SUCH_DEVICE, UninstallDevice(path, true));
}

TEST_F(PnpSetupTest, ServiceWhoseImageCannotBeFoundLeavesTheDeviceInstalledButNotStarted) {
  std::u16string path;
  ASSERT_STATUS(STATUS_SUCCESS, NewRootInstanceId(u"PnpTestBus", &path));
  ASSERT_STATUS(STATUS_SUCCESS, RegisterRootDevice(path, {Text(u"HardwareID", u"Root\\PnpTestBus", REG_MULTI_SZ),
                                                          Text(u"Service", kBusService)}));
  ASSERT_STATUS(STATUS_SUCCESS, WriteServiceKey(kBusService, {Dword(u"Type", 1),
                                                              Text(u"ImagePath", u"\\SystemRoot\\nowhere\\x.sys")}));
  bool started = true;
  ASSERT_STATUS(STATUS_SUCCESS, StartInstalledDevice(path, &started));
  EXPECT_FALSE(started);
  EXPECT_EQ("no driver", State(path));
  UNICODE_STRING missing = RTL_CONSTANT_STRING(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Nothing");
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, ZwLoadDriver(&missing));
  ASSERT_STATUS(STATUS_SUCCESS, UninstallDevice(path, true));
}

}  // namespace
}  // namespace bw::test
