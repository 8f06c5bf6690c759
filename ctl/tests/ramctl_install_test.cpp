// Installing the two drivers with the library on a system started without
// them: the engine's service and the bus's device, a start, restarts with
// the engine started at boot, a second installation, removal with the files
// gone at the next start, and the failures that roll both halves back.
#include "ctl/ramctl.h"
#include "platform/daemon/tests/files_win32_fixture.h"

#include <setupapi.h>
#include <shlwapi.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

namespace {

using bw::test::FilesWin32;

class Install : public FilesWin32 {
 protected:
  static std::u16string BinPath(const std::string &name) {
    std::u16string path = u"Z:" + Widen(std::string(BW_BIN_DIR "/") + name);
    for (auto &c : path)
      if (c == u'/') c = u'\\';
    return path;
  }
  std::string SystemFile(const std::string &name) const { return daemon_.Root() + "/C/Windows/" + name; }
  static bool HostFileExists(const std::string &path) { return std::filesystem::exists(path); }

  void Restart() {
    ASSERT_EQ(0, daemon_.Stop());
    ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
  }

  static bool EngineAnswers() {
    HANDLE control = CreateFileW(u"\\\\.\\BrimwellVolume", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (control == INVALID_HANDLE_VALUE) return false;
    CloseHandle(control);
    return true;
  }

  // Devices of the INF's class, present or not, with the bus's hardware id.
  size_t BusDevices() {
    GUID guid;
    WCHAR name[32];
    EXPECT_TRUE(SetupDiGetINFClassW(BinPath("ramenum.inf").c_str(), &guid, name, 32, nullptr));
    HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, 0);
    EXPECT_NE(INVALID_HANDLE_VALUE, set);
    size_t count = 0;
    SP_DEVINFO_DATA device{sizeof device};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
      BYTE ids[512] = {};
      if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr, ids, sizeof ids - 2, nullptr) &&
          StrStrIW(reinterpret_cast<LPCWSTR>(ids), u"Root\\BWRD"))
        ++count;
    }
    SetupDiDestroyDeviceInfoList(set);
    return count;
  }

  static DWORD EngineServiceState() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return GetLastError();
    SC_HANDLE service = OpenServiceW(manager, u"RamvolEngine", SERVICE_QUERY_CONFIG);
    DWORD error = service != nullptr ? ERROR_SUCCESS : GetLastError();
    if (service != nullptr) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return error;
  }

  bool InstallBoth(uint8_t startAtBoot, uint8_t startNow, uint8_t *reboot) {
    return RamctlInstallEngine(u"Brimwell RAM disk engine", startAtBoot, BinPath("ramvol.sys").c_str(),
                               BinPath("ramenum.inf").c_str(), startNow, reboot) != 0;
  }
};

TEST_F(Install, InstallStartAndRestart) {
  uint8_t reboot = 7;
  ASSERT_TRUE(InstallBoth(1, 1, &reboot)) << RamctlGetErrorCode() << daemon_.Output();
  EXPECT_EQ(0, reboot);
  EXPECT_TRUE(EngineAnswers());
  EXPECT_TRUE(HostFileExists(SystemFile("System32/Drivers/ramvol.sys")));
  EXPECT_TRUE(HostFileExists(SystemFile("System32/Drivers/ramenum.sys")));
  EXPECT_TRUE(HostFileExists(SystemFile("INF/oem0.inf")));
  EXPECT_EQ(1u, BusDevices());
  // The service starts with the system: the engine is there after a stop
  // and start of the daemon.
  Restart();
  EXPECT_TRUE(EngineAnswers()) << daemon_.Output();
  EXPECT_TRUE(RamctlStartEngine()) << RamctlGetErrorCode();  // already running counts
  // Installing again while the engine runs copies its file over the one it
  // was loaded from; the system still ends and starts cleanly.
  ASSERT_TRUE(InstallBoth(1, 1, &reboot)) << RamctlGetErrorCode();
  EXPECT_EQ(1u, BusDevices());
  EXPECT_TRUE(EngineAnswers());
  Restart();
  EXPECT_TRUE(EngineAnswers()) << daemon_.Output();
}

TEST_F(Install, ASecondInstallationReusesTheDeviceAndTheService) {
  uint8_t reboot = 0;
  ASSERT_TRUE(InstallBoth(0, 0, &reboot)) << RamctlGetErrorCode();
  ASSERT_TRUE(InstallBoth(1, 0, &reboot)) << RamctlGetErrorCode();
  EXPECT_EQ(1u, BusDevices());
  // The existing service kept its configuration: demand start.
  Restart();
  EXPECT_FALSE(EngineAnswers());
  EXPECT_TRUE(RamctlStartEngine()) << RamctlGetErrorCode();
  EXPECT_TRUE(EngineAnswers());
}

TEST_F(Install, RemovalTakesTheFilesAtTheNextStart) {
  uint8_t reboot = 0;
  ASSERT_TRUE(InstallBoth(1, 1, &reboot)) << RamctlGetErrorCode();
  ASSERT_TRUE(RamctlUninstallEngine(BinPath("ramvol.sys").c_str(), BinPath("ramenum.inf").c_str()))
      << RamctlGetErrorCode();
  EXPECT_EQ(0u, BusDevices());
  EXPECT_FALSE(HostFileExists(SystemFile("INF/oem0.inf")));
  EXPECT_TRUE(HostFileExists(SystemFile("System32/Drivers/ramvol.sys")));  // the engine still runs
  Restart();
  EXPECT_FALSE(EngineAnswers());
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), EngineServiceState());
  EXPECT_FALSE(HostFileExists(SystemFile("System32/Drivers/ramvol.sys")));
  EXPECT_FALSE(HostFileExists(SystemFile("System32/Drivers/ramenum.sys")));
}

TEST_F(Install, DemandStartWaitsForTheStartCall) {
  uint8_t reboot = 0;
  ASSERT_TRUE(InstallBoth(0, 0, &reboot)) << RamctlGetErrorCode();
  EXPECT_FALSE(EngineAnswers());
  ASSERT_TRUE(RamctlStartEngine()) << RamctlGetErrorCode();
  EXPECT_TRUE(EngineAnswers());
  Restart();
  EXPECT_FALSE(EngineAnswers()) << "a demand-start engine came back on its own";
}

TEST_F(Install, RemovingNothingSucceeds) {
  EXPECT_TRUE(RamctlUninstallEngine(BinPath("ramvol.sys").c_str(), BinPath("ramenum.inf").c_str()))
      << RamctlGetErrorCode();
  EXPECT_FALSE(RamctlStartEngine());
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), RamctlGetErrorCode());
}

TEST_F(Install, AnInfWithoutSourceFilesFailsAfterTheDeviceWent) {
  uint8_t reboot = 0;
  ASSERT_TRUE(InstallBoth(0, 1, &reboot)) << RamctlGetErrorCode();
  std::ifstream in(BW_BIN_DIR "/ramenum.inf", std::ios::binary);
  std::string inf((std::istreambuf_iterator<char>(in)), {});
  size_t at = inf.find("[SourceDisksFiles]");
  ASSERT_NE(std::string::npos, at);
  size_t end = inf.find("\n[", at + 1);
  inf.erase(at, end == std::string::npos ? std::string::npos : end + 1 - at);
  MakeFile("nosource.inf", inf);
  EXPECT_FALSE(RamctlUninstallEngine(BinPath("ramvol.sys").c_str(), W("nosource.inf").c_str()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSTALL_SOURCE_ABSENT), RamctlGetErrorCode());
  EXPECT_EQ(0u, BusDevices());
  // The engine's service is left, since its half comes after the bus's.
  EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), EngineServiceState());
}

TEST_F(Install, AFailedStartRollsBothHalvesBack) {
  MakeFile("ramvol.sys", "not a driver");
  uint8_t reboot = 0;
  EXPECT_FALSE(RamctlInstallEngine(u"Brimwell RAM disk engine", 0, W("ramvol.sys").c_str(),
                                   BinPath("ramenum.inf").c_str(), 1, &reboot));
  DWORD error = RamctlGetErrorCode();
  EXPECT_NE(static_cast<DWORD>(ERROR_SUCCESS), error);
  EXPECT_FALSE(EngineAnswers());
  EXPECT_EQ(0u, BusDevices());
  DWORD state = EngineServiceState();
  EXPECT_TRUE(state == ERROR_SERVICE_DOES_NOT_EXIST || state == ERROR_SERVICE_MARKED_FOR_DELETE) << state;
  Restart();
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), EngineServiceState());
  EXPECT_FALSE(HostFileExists(SystemFile("System32/Drivers/ramvol.sys")));
}

TEST_F(Install, BadArgumentsFailBeforeAnythingIsInstalled) {
  uint8_t reboot = 0;
  EXPECT_FALSE(RamctlInstallEngine(nullptr, 0, BinPath("ramvol.sys").c_str(), BinPath("ramenum.inf").c_str(), 0,
                                   &reboot));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), RamctlGetErrorCode());
  EXPECT_FALSE(RamctlInstallEngine(u"x", 0, nullptr, BinPath("ramenum.inf").c_str(), 0, &reboot));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), RamctlGetErrorCode());
  // Without an INF the engine's half is rolled back.
  EXPECT_FALSE(RamctlInstallEngine(u"x", 0, BinPath("ramvol.sys").c_str(), nullptr, 0, &reboot));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), RamctlGetErrorCode());
  DWORD state = EngineServiceState();
  EXPECT_TRUE(state == ERROR_SERVICE_DOES_NOT_EXIST || state == ERROR_SERVICE_MARKED_FOR_DELETE) << state;
  EXPECT_FALSE(RamctlUninstallEngine(BinPath("ramvol.sys").c_str(), nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), RamctlGetErrorCode());
}

}  // namespace
