// Installing and removing the disk bus as a Plug and Play device on a live
// system started without drivers: the class read from the bus's INF, the
// device searched for, registered, given its driver and started, found again
// by a second installation, and removed with its INF, as the control library
// does it through setupapi.
#include "platform/daemon/tests/files_win32_fixture.h"

#include <newdev.h>
#include <setupapi.h>
#include <shlwapi.h>

namespace bw::test {
namespace {

constexpr GUID kScsiAdapterClass = {0x4D36E97B, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
constexpr char16_t kBusId[] = u"Root\\BWRD";
constexpr char16_t kBusInterface[] = u"ROOT#SCSIADAPTER#0000#{410bd25b-6960-4d94-a160-dfbc9599c506}";

class DeviceInstall : public FilesWin32 {
 protected:
  std::u16string BusInf() const {
    std::u16string path = u"Z:" + Widen(BW_BIN_DIR "/ramenum.inf");
    for (auto &c : path)
      if (c == u'/') c = u'\\';
    return path;
  }
  std::string SystemFile(const std::string &name) const { return daemon_.Root() + "/C/Windows/" + name; }
  static bool HostFileExists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
  }

  // Every device of the class (present or not, or only present ones) whose
  // hardware ids hold the bus's id: their instance ids.
  std::vector<std::u16string> BusDevices(DWORD flags = 0) {
    std::vector<std::u16string> found;
    HDEVINFO set = SetupDiGetClassDevsW(&kScsiAdapterClass, nullptr, nullptr, flags);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{sizeof data};
    DWORD i = 0;
    for (; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
      BYTE ids[200];
      DWORD type = 0;
      if (!SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, ids, sizeof ids, nullptr))
        continue;
      EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
      if (!StrStrIW(reinterpret_cast<LPCWSTR>(ids), kBusId)) continue;
      WCHAR id[MAX_DEVICE_ID_LEN];
      EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, &data, id, MAX_DEVICE_ID_LEN, nullptr));
      found.emplace_back(id);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return found;
  }

  // A new device of the class, named by the class, with the bus's id.
  std::u16string RegisterBus(const std::u16string &className) {
    HDEVINFO set = SetupDiCreateDeviceInfoList(&kScsiAdapterClass, nullptr);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{sizeof data};
    EXPECT_TRUE(SetupDiCreateDeviceInfoW(set, className.c_str(), &kScsiAdapterClass, nullptr, nullptr,
                                         DICD_GENERATE_ID, &data));
    EXPECT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID,
                                                  reinterpret_cast<const BYTE *>(kBusId), 20));
    WCHAR id[MAX_DEVICE_ID_LEN] = {};
    EXPECT_TRUE(SetupDiGetDeviceInstanceIdW(set, &data, id, MAX_DEVICE_ID_LEN, nullptr));
    EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data)) << std::hex << GetLastError();
    EXPECT_TRUE(SetupDiDeleteDeviceInfo(set, &data));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return id;
  }

  // A property of the first bus device as text; empty with the error kept.
  std::u16string BusProperty(DWORD property, DWORD *error = nullptr) {
    HDEVINFO set = SetupDiGetClassDevsW(&kScsiAdapterClass, nullptr, nullptr, 0);
    SP_DEVINFO_DATA data{sizeof data};
    std::u16string text;
    if (SetupDiEnumDeviceInfo(set, 0, &data)) {
      WCHAR buffer[256] = {};
      if (SetupDiGetDeviceRegistryPropertyW(set, &data, property, nullptr, reinterpret_cast<PBYTE>(buffer),
                                            sizeof buffer - 2, nullptr))
        text = buffer;
      else if (error)
        *error = GetLastError();
    }
    SetupDiDestroyDeviceInfoList(set);
    return text;
  }

  // The bus driver's own control device, there while the driver is loaded.
  static bool BusDriverLoaded() {
    HANDLE control = CreateFileW(u"\\\\.\\GLOBALROOT\\Device\\BrimwellDisk", 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (control == INVALID_HANDLE_VALUE) return false;
    CloseHandle(control);
    return true;
  }

  bool InterfacePresent() {
    WCHAR names[65536];
    DWORD n = QueryDosDeviceW(nullptr, names, 65536);
    for (DWORD i = 0; i < n && names[i];) {
      std::u16string name(names + i);
      if (name.size() == std::char_traits<char16_t>::length(kBusInterface) &&
          StrCmpNIW(name.c_str(), kBusInterface, static_cast<int>(name.size())) == 0)
        return true;
      i += static_cast<DWORD>(name.size()) + 1;
    }
    return false;
  }

  // Removal as the control library does it: parameters for DIF_REMOVE, the
  // compatible drivers' INF copies taken out of the store, the service name
  // read, then DIF_REMOVE. Returns the INF file names the details gave.
  std::vector<std::u16string> RemoveBus(std::u16string *service) {
    std::vector<std::u16string> infs;
    HDEVINFO set = SetupDiGetClassDevsW(&kScsiAdapterClass, nullptr, nullptr, 0);
    SP_DEVINFO_DATA data{sizeof data};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
      SP_REMOVEDEVICE_PARAMS params{};
      params.ClassInstallHeader = {sizeof(SP_CLASSINSTALL_HEADER), DIF_REMOVE};
      params.Scope = DI_REMOVEDEVICE_GLOBAL;
      EXPECT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params));
      EXPECT_TRUE(SetupDiBuildDriverInfoList(set, &data, SPDIT_COMPATDRIVER));
      SP_DRVINFO_DATA_W driver{sizeof driver};
      DWORD d = 0;
      for (; SetupDiEnumDriverInfoW(set, &data, SPDIT_COMPATDRIVER, d, &driver); ++d) {
        DWORD needed = 0;
        EXPECT_FALSE(SetupDiGetDriverInfoDetailW(set, &data, &driver, nullptr, 0, &needed));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        std::vector<uint8_t> buffer(needed);
        auto *detail = reinterpret_cast<PSP_DRVINFO_DETAIL_DATA_W>(buffer.data());
        detail->cbSize = sizeof *detail;
        EXPECT_TRUE(SetupDiGetDriverInfoDetailW(set, &data, &driver, detail, needed, nullptr));
        EXPECT_EQ(std::u16string(detail->HardwareID), kBusId);
        infs.emplace_back(detail->InfFileName);
        LPCWSTR name = PathFindFileNameW(detail->InfFileName);
        // A device still uses it: only a forced removal takes it.
        EXPECT_FALSE(SetupUninstallOEMInfW(name, 0, nullptr));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INF_IN_USE_BY_DEVICES));
        EXPECT_TRUE(SetupUninstallOEMInfW(name, SUOI_FORCEDELETE, nullptr));
      }
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
      EXPECT_TRUE(SetupDiDestroyDriverInfoList(set, &data, SPDIT_COMPATDRIVER));
      WCHAR name[64] = {};
      if (SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, nullptr, reinterpret_cast<PBYTE>(name),
                                            sizeof name, nullptr))
        *service = name;
      EXPECT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data)) << std::hex << GetLastError();
    }
    SetupDiDestroyDeviceInfoList(set);
    return infs;
  }
};

TEST_F(DeviceInstall, BusIsRegisteredInstalledStartedFoundAgainAndRemoved) {
  // The class, with the size asked first.
  GUID cls{};
  WCHAR className[32];
  DWORD needed = 0;
  ASSERT_FALSE(SetupDiGetINFClassW(BusInf().c_str(), &cls, className, 5, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, 12u);
  ASSERT_TRUE(SetupDiGetINFClassW(BusInf().c_str(), &cls, className, 32, &needed));
  EXPECT_TRUE(IsEqualGUID(cls, kScsiAdapterClass));
  EXPECT_EQ(std::u16string(className), u"SCSIAdapter");

  // Nothing installed: the search finds nothing; the new device is
  // registered but has no driver, so no service either.
  EXPECT_TRUE(BusDevices().empty());
  EXPECT_EQ(RegisterBus(className), u"ROOT\\SCSIADAPTER\\0000");
  EXPECT_EQ(BusDevices(DIGCF_PRESENT), std::vector<std::u16string>{u"ROOT\\SCSIADAPTER\\0000"});
  DWORD error = 0;
  EXPECT_EQ(BusProperty(SPDRP_SERVICE, &error), u"");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_FALSE(InterfacePresent());
  EXPECT_FALSE(BusDriverLoaded());

  BOOL reboot = TRUE;
  ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, kBusId, BusInf().c_str(), INSTALLFLAG_FORCE, &reboot))
      << std::hex << GetLastError();
  EXPECT_FALSE(reboot);
  EXPECT_TRUE(BusDriverLoaded());
  EXPECT_EQ(FileBytes(SystemFile("INF/oem0.inf")), FileBytes(BW_BIN_DIR "/ramenum.inf"));
  EXPECT_EQ(FileBytes(SystemFile("System32/Drivers/ramenum.sys")), FileBytes(BW_BIN_DIR "/ramenum.sys"));
  EXPECT_TRUE(PathFileExistsW(u"C:\\Windows\\System32\\drivers\\ramenum.sys"));
  EXPECT_EQ(BusProperty(SPDRP_SERVICE), u"BWRDPort");
  EXPECT_EQ(BusProperty(SPDRP_CLASS), u"SCSIAdapter");
  EXPECT_EQ(BusProperty(SPDRP_CLASSGUID), u"{4D36E97B-E325-11CE-BFC1-08002BE10318}");
  EXPECT_EQ(BusProperty(SPDRP_DRIVER), u"{4D36E97B-E325-11CE-BFC1-08002BE10318}\\0000");
  EXPECT_EQ(BusProperty(SPDRP_DEVICEDESC), u"Brimwell virtual disk bus");
  // The bus's FDO started: its interface is there and answers an open.
  EXPECT_TRUE(InterfacePresent());
  HANDLE bus = CreateFileW((u"\\\\?\\" + std::u16string(kBusInterface)).c_str(), 0,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(bus, INVALID_HANDLE_VALUE) << GetLastError();
  if (bus != INVALID_HANDLE_VALUE) CloseHandle(bus);

  // A second installation finds the device and registers no other; the
  // store keeps one copy of the INF.
  EXPECT_EQ(BusDevices(), std::vector<std::u16string>{u"ROOT\\SCSIADAPTER\\0000"});
  ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, kBusId, BusInf().c_str(), INSTALLFLAG_FORCE, &reboot));
  EXPECT_FALSE(reboot);
  EXPECT_FALSE(HostFileExists(SystemFile("INF/oem1.inf")));
  EXPECT_TRUE(InterfacePresent());
  // Unforced, the same driver is not installed again.
  EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, kBusId, BusInf().c_str(), 0, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

  // Removal.
  std::u16string service;
  EXPECT_EQ(RemoveBus(&service), std::vector<std::u16string>{u"C:\\Windows\\INF\\oem0.inf"});
  EXPECT_EQ(service, u"BWRDPort");
  EXPECT_TRUE(BusDevices().empty());
  EXPECT_FALSE(InterfacePresent());
  // Its last device gone, the driver unloaded.
  EXPECT_FALSE(BusDriverLoaded());
  EXPECT_FALSE(HostFileExists(SystemFile("INF/oem0.inf")));

  // The bus's files, as removal finds them: the default target folder and
  // the names in SourceDisksFiles.
  HINF inf = SetupOpenInfFileW(BusInf().c_str(), nullptr, INF_STYLE_WIN4, nullptr);
  ASSERT_NE(inf, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(SetupGetTargetPathW(inf, nullptr, nullptr, nullptr, 0, &needed));
  std::u16string folder(needed, u'\0');
  ASSERT_TRUE(SetupGetTargetPathW(inf, nullptr, nullptr, folder.data(), needed, nullptr));
  EXPECT_EQ(std::u16string(folder.c_str()), u"C:\\Windows\\System32\\drivers");
  EXPECT_FALSE(SetupGetTargetPathW(inf, nullptr, nullptr, folder.data(), needed - 1, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  SetupCloseInfFile(inf);
  WCHAR lines[1024];
  DWORD length = GetPrivateProfileSectionW(u"SourceDisksFiles", lines, 1024, BusInf().c_str());
  EXPECT_EQ(std::u16string(lines, length), std::u16string(u"ramenum.sys=1\0", 14));
}

TEST_F(DeviceInstall, RegisteredDeviceNotPresentIsFoundAndInstalled) {
  std::u16string id = RegisterBus(u"SCSIAdapter");
  // Taken out of this configuration: still registered, no longer present.
  HDEVINFO set = SetupDiGetClassDevsW(&kScsiAdapterClass, nullptr, nullptr, 0);
  SP_DEVINFO_DATA data{sizeof data};
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  SP_REMOVEDEVICE_PARAMS params{};
  params.ClassInstallHeader = {sizeof(SP_CLASSINSTALL_HEADER), DIF_REMOVE};
  params.Scope = DI_REMOVEDEVICE_CONFIGSPECIFIC;
  ASSERT_TRUE(SetupDiSetClassInstallParamsW(set, &data, &params.ClassInstallHeader, sizeof params));
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data));
  SetupDiDestroyDeviceInfoList(set);
  EXPECT_TRUE(BusDevices(DIGCF_PRESENT).empty());
  EXPECT_EQ(BusDevices(), std::vector<std::u16string>{id});

  BOOL reboot = TRUE;
  ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, kBusId, BusInf().c_str(), INSTALLFLAG_FORCE, &reboot))
      << std::hex << GetLastError();
  EXPECT_FALSE(reboot);
  EXPECT_EQ(BusDevices(DIGCF_PRESENT), std::vector<std::u16string>{id});
  EXPECT_TRUE(InterfacePresent());
}

TEST_F(DeviceInstall, DriverThatCannotStartAsksForARestart) {
  MakeFile("broken.inf",
           "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=SCSIAdapter\r\n"
           "ClassGuid={4D36E97B-E325-11CE-BFC1-08002BE10318}\r\nProvider=Test\r\n"
           "[Manufacturer]\r\nTest=Models,NTamd64\r\n"
           "[Models.NTamd64]\r\nBroken bus=Inst,Root\\BROKEN\r\n"
           "[Inst.NT]\r\n"
           "[Inst.NT.Services]\r\nAddService=BrokenPort,2,Svc\r\n"
           "[Svc]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\nServiceBinary=%12%\\missing.sys\r\n");
  HDEVINFO set = SetupDiCreateDeviceInfoList(&kScsiAdapterClass, nullptr);
  SP_DEVINFO_DATA data{sizeof data};
  ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, u"ROOT\\BROKEN\\0000", &kScsiAdapterClass, u"Broken", nullptr, 0, &data));
  const char16_t ids[] = u"Root\\BROKEN\0";
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE *>(ids), sizeof ids));
  ASSERT_TRUE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
  EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVINST_ALREADY_EXISTS));
  // The same instance id again, in another element.
  SP_DEVINFO_DATA again{sizeof again};
  EXPECT_FALSE(SetupDiCreateDeviceInfoW(set, u"root\\broken\\0000", &kScsiAdapterClass, nullptr, nullptr, 0, &again));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEVINST_ALREADY_EXISTS));
  SetupDiDestroyDeviceInfoList(set);

  BOOL reboot = FALSE;
  ASSERT_TRUE(UpdateDriverForPlugAndPlayDevicesW(nullptr, u"root\\broken", W("broken.inf").c_str(),
                                                 INSTALLFLAG_FORCE, &reboot))
      << std::hex << GetLastError();
  EXPECT_TRUE(reboot);
  set = SetupDiGetClassDevsW(&kScsiAdapterClass, u"ROOT", nullptr, DIGCF_PRESENT);
  ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
  WCHAR service[32] = {};
  ASSERT_TRUE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, nullptr, reinterpret_cast<PBYTE>(service),
                                                sizeof service, nullptr));
  EXPECT_EQ(std::u16string(service), u"BrokenPort");
  SetupDiDestroyDeviceInfoList(set);
  // Another enumerator has none of the root's devices.
  set = SetupDiGetClassDevsW(&kScsiAdapterClass, u"PCI", nullptr, 0);
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  SetupDiDestroyDeviceInfoList(set);
}

TEST_F(DeviceInstall, CallsRefuseBadArgumentsWithSetupsErrors) {
  UINT line = 99;
  EXPECT_EQ(SetupOpenInfFileW(W("missing.inf").c_str(), nullptr, INF_STYLE_WIN4, &line), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  MakeFile("old.inf", "[Version]\r\nSignature=\"$Something$\"\r\n");
  EXPECT_EQ(SetupOpenInfFileW(W("old.inf").c_str(), nullptr, INF_STYLE_WIN4, &line), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRONG_INF_STYLE));
  MakeFile("bad.inf", "[Version]\nSignature=\"$Windows NT$\"\nx = \"open\n");
  EXPECT_EQ(SetupOpenInfFileW(W("bad.inf").c_str(), nullptr, INF_STYLE_WIN4, &line), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GENERAL_SYNTAX));
  EXPECT_EQ(line, 3u);
  EXPECT_FALSE(SetupGetTargetPathW(reinterpret_cast<HINF>(0x1234), nullptr, nullptr, nullptr, 0, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

  BOOL reboot;
  EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, kBusId, BusInf().c_str(), INSTALLFLAG_FORCE, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, nullptr, BusInf().c_str(), 0, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(UpdateDriverForPlugAndPlayDevicesW(nullptr, kBusId, BusInf().c_str(), 0x100, &reboot));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));

  // Only the store's own oemN.inf names are taken.
  for (LPCWSTR name : {u"ramenum.inf", u"C:\\Windows\\INF\\oem0.inf", u"oem.inf", u"oemx.inf"}) {
    EXPECT_FALSE(SetupUninstallOEMInfW(name, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  }
  EXPECT_FALSE(SetupUninstallOEMInfW(u"oem7.inf", SUOI_FORCEDELETE, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  HDEVINFO set = SetupDiCreateDeviceInfoList(&kScsiAdapterClass, nullptr);
  SP_DEVINFO_DATA data{sizeof data - 1};
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  data.cbSize = sizeof data;
  EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_FALSE(SetupDiCreateDeviceInfoW(set, u"A\\B", &kScsiAdapterClass, nullptr, nullptr, DICD_GENERATE_ID, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DEVINST_NAME));
  GUID other = kScsiAdapterClass;
  other.Data1 ^= 1;
  EXPECT_FALSE(SetupDiCreateDeviceInfoW(set, u"X", &other, nullptr, nullptr, DICD_GENERATE_ID, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_MISMATCH));
  ASSERT_TRUE(SetupDiCreateDeviceInfoW(set, u"X", &kScsiAdapterClass, nullptr, nullptr, DICD_GENERATE_ID, &data));
  BYTE small[4];
  DWORD needed = 0;
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_CLASSGUID, nullptr, small, sizeof small, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(needed, 78u);  // 38 characters and the terminator
  EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, 0x7777, nullptr, small, sizeof small, &needed));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_REG_PROPERTY));
  // Not registered: no class installer removes it.
  EXPECT_FALSE(SetupDiCallClassInstaller(DIF_REMOVE, set, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_EQ(SetupDiGetClassDevsW(nullptr, nullptr, nullptr, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(DeviceInstall, ProfileSectionsAreReadAsTheSystemReturnsThem) {
  MakeFile("files.inf",
           "[Version]\r\nSignature=\"$Windows NT$\"\r\n"
           "[SourceDisksFiles]\r\n"
           "  ramenum.sys  =  1 , sub \r\n"
           "; a comment\r\n"
           "\r\n"
           "other.sys=1\r\n"
           "bare line\r\n"
           "[Next]\r\nx=y\r\n");
  WCHAR buffer[64];
  DWORD n = GetPrivateProfileSectionW(u"sourcedisksfiles", buffer, 64, W("files.inf").c_str());
  std::u16string expected(u"ramenum.sys=1 , sub\0other.sys=1\0bare line\0", 42);
  EXPECT_EQ(std::u16string(buffer, n + 1), expected + u'\0');
  // Too small: what fits, cut, double-terminated; the answer is the size less two.
  WCHAR small[16];
  n = GetPrivateProfileSectionW(u"SourceDisksFiles", small, 16, W("files.inf").c_str());
  EXPECT_EQ(n, 14u);
  EXPECT_EQ(std::u16string(small, 16), std::u16string(u"ramenum.sys=1 \0\0", 16));
  // An INF without the section: nothing.
  MakeFile("nofiles.inf", "[Version]\nSignature=\"$Windows NT$\"\n[DestinationDirs]\nDefaultDestDir=12\n");
  EXPECT_EQ(GetPrivateProfileSectionW(u"SourceDisksFiles", buffer, 64, W("nofiles.inf").c_str()), 0u);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], 0);
  EXPECT_EQ(GetPrivateProfileSectionW(u"SourceDisksFiles", buffer, 64, W("none.inf").c_str()), 0u);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
}  // namespace bw::test
