// The service control manager, the system drive, the boot and the restart,
// as a Win32 program meets them against a live ramvold. The test runs as
// root, whom the system sees as LocalSystem: an administrator holding
// SeShutdownPrivilege, disabled until enabled.
#include "engine/protocol/engine_protocol.h"
#include "platform/daemon/tests/daemon_harness.h"
#include "platform/daemon/tests/shutdown_privilege.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace bw::test {
namespace {

constexpr char16_t kDrivers[] = u"C:\\Windows\\System32\\Drivers\\";

class ServicesWin32 : public ::testing::Test {
 protected:
  void SetUp() override { StartDaemon(); }
  void TearDown() override {
    for (SC_HANDLE h : open_) CloseServiceHandle(h);
    EXPECT_EQ(0, daemon_.Stop());
  }
  void StartDaemon(std::vector<std::string> args = {}) {
    ASSERT_TRUE(daemon_.Start(args)) << daemon_.Output();
    setenv("BRIMWELL_ROOT", daemon_.Root().c_str(), 1);
  }
  void Restart() {
    open_.clear();  // handles of the system that ends end with it
    ASSERT_EQ(0, daemon_.Stop());
    StartDaemon();
  }
  SC_HANDLE Keep(SC_HANDLE h) {
    if (h) open_.push_back(h);
    return h;
  }
  SC_HANDLE Manager(DWORD access = SC_MANAGER_ALL_ACCESS) {
    SC_HANDLE h = Keep(OpenSCManagerW(nullptr, nullptr, access));
    EXPECT_NE(nullptr, h) << GetLastError();
    return h;
  }
  // A kernel driver service; the handle, or null with the last error.
  SC_HANDLE CreateDriver(const std::u16string &name, const std::u16string &path,
                         DWORD start = SERVICE_DEMAND_START, LPCWSTR dependencies = nullptr,
                         LPCWSTR display = nullptr) {
    return Keep(CreateServiceW(Manager(), name.c_str(), display, SERVICE_ALL_ACCESS,
                               SERVICE_KERNEL_DRIVER, start, SERVICE_ERROR_NORMAL, path.c_str(),
                               nullptr, nullptr, dependencies, nullptr, nullptr));
  }
  // Puts a driver of the build into C:\Windows\System32\Drivers.
  void CopyDriver(const char *file) {
    std::filesystem::copy_file(std::string(BW_BIN_DIR "/") + file,
                               daemon_.Root() + "/C/Windows/System32/Drivers/" + file,
                               std::filesystem::copy_options::overwrite_existing);
  }
  DWORD State(SC_HANDLE service) {
    SERVICE_STATUS status{};
    EXPECT_TRUE(QueryServiceStatus(service, &status)) << GetLastError();
    return status.dwCurrentState;
  }
  static bool EngineAnswers() {
    HANDLE control = CreateFileW(u"\\\\.\\BrimwellVolume", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (control == INVALID_HANDLE_VALUE) return false;
    CloseHandle(control);
    return true;
  }
  // The bus as the engine needs it: its root device installed (by a start
  // with --load-drivers, which leaves it in the registry), both drivers'
  // files on C:, and the two services as the product installs them.
  void InstallBusAndEngine(DWORD engineStart) {
    Restart();
    ASSERT_EQ(0, daemon_.Stop());
    StartDaemon({"--load-drivers"});
    ASSERT_EQ(0, daemon_.Stop());
    StartDaemon();
    ASSERT_FALSE(EngineAnswers());
    CopyDriver("ramenum.sys");
    CopyDriver("ramvol.sys");
    ASSERT_NE(nullptr, CreateDriver(u"BWRDPort", std::u16string(kDrivers) + u"ramenum.sys"))
        << GetLastError();
    ASSERT_NE(nullptr, CreateDriver(u"RamvolEngine", std::u16string(kDrivers) + u"ramvol.sys",
                                    engineStart, u"BWRDPort\0"))
        << GetLastError();
  }

  Daemon daemon_;
  std::vector<SC_HANDLE> open_;
};

TEST_F(ServicesWin32, SystemFoldersFollowWindowsLengthRulesAndLieOnDriveC) {
  WCHAR buffer[64];
  EXPECT_EQ(20u, GetSystemDirectoryW(nullptr, 0));
  EXPECT_EQ(20u, GetSystemDirectoryW(buffer, 19));  // no room for the terminator
  EXPECT_EQ(19u, GetSystemDirectoryW(buffer, 20));
  EXPECT_EQ(std::u16string(u"C:\\Windows\\System32"), buffer);
  EXPECT_EQ(10u, GetWindowsDirectoryW(buffer, 64));
  EXPECT_EQ(std::u16string(u"C:\\Windows"), buffer);

  HANDLE file = CreateFileW(u"C:\\Windows\\System32\\drivers\\probe.txt", GENERIC_WRITE, 0, nullptr,
                            CREATE_NEW, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  CloseHandle(file);
  EXPECT_TRUE(std::filesystem::exists(daemon_.Root() + "/C/Windows/System32/Drivers/probe.txt"));
}

TEST_F(ServicesWin32, CreateKeepsEveryFieldAndQueryConfigPacksItsStrings) {
  SC_HANDLE service = Keep(CreateServiceW(
      Manager(), u"Probe", u"Probe driver", SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
      SERVICE_SYSTEM_START, SERVICE_ERROR_NORMAL, u"C:\\Windows\\System32\\Drivers\\probe.sys",
      u"SCSI Class", nullptr, u"BWRDPort\0Other\0", u"\\Driver\\Probe", nullptr));
  ASSERT_NE(nullptr, service) << GetLastError();
  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceConfigW(service, nullptr, 0, &needed));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  ASSERT_GT(needed, sizeof(QUERY_SERVICE_CONFIGW));
  std::vector<uint64_t> storage(needed / 8 + 1);
  auto *config = reinterpret_cast<QUERY_SERVICE_CONFIGW *>(storage.data());
  EXPECT_FALSE(QueryServiceConfigW(service, config, needed - 1, &needed));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  ASSERT_TRUE(QueryServiceConfigW(service, config, needed, &needed)) << GetLastError();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_KERNEL_DRIVER), config->dwServiceType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_SYSTEM_START), config->dwStartType);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
  // A driver below the Windows folder is kept the way the kernel finds it.
  EXPECT_EQ(std::u16string(u"\\SystemRoot\\System32\\Drivers\\probe.sys"), config->lpBinaryPathName);
  EXPECT_EQ(std::u16string(u"SCSI Class"), config->lpLoadOrderGroup);
  EXPECT_EQ(std::u16string(u"BWRDPort"), config->lpDependencies);
  EXPECT_EQ(std::u16string(u"Other"), config->lpDependencies + 9);
  EXPECT_EQ(0, config->lpDependencies[15]);  // the list's own terminator
  EXPECT_EQ(std::u16string(u"\\Driver\\Probe"), config->lpServiceStartName);
  EXPECT_EQ(std::u16string(u"Probe driver"), config->lpDisplayName);
  // Strings lie within the record's buffer, after it.
  auto *start = reinterpret_cast<uint8_t *>(config);
  for (LPWSTR text : {config->lpBinaryPathName, config->lpDisplayName}) {
    EXPECT_GE(reinterpret_cast<uint8_t *>(text), start + sizeof *config);
    EXPECT_LT(reinterpret_cast<uint8_t *>(text), start + needed);
  }
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(service));
  // Another handle of the same service, by any case of its name.
  EXPECT_NE(nullptr, Keep(OpenServiceW(Manager(SC_MANAGER_CONNECT), u"PROBE", SERVICE_QUERY_STATUS)));
}

TEST_F(ServicesWin32, CreateAndOpenRefuseWhatWindowsRefuses) {
  ASSERT_NE(nullptr, CreateDriver(u"Probe", u"C:\\probe.sys", SERVICE_DEMAND_START, nullptr,
                                  u"Probe driver"));
  struct Case {
    const char *what;
    SC_HANDLE manager;
    LPCWSTR name, display, path;
    DWORD type, start, control, error;
  };
  SC_HANDLE all = Manager();
  SC_HANDLE connect = Manager(SC_MANAGER_CONNECT);
  const Case cases[] = {
      {"same name", all, u"probe", nullptr, u"C:\\x.sys", 1, 3, 1, ERROR_SERVICE_EXISTS},
      {"display name in use", all, u"Other", u"PROBE DRIVER", u"C:\\x.sys", 1, 3, 1,
       ERROR_DUPLICATE_SERVICE_NAME},
      {"name is another's display name", all, u"Probe driver", nullptr, u"C:\\x.sys", 1, 3, 1,
       ERROR_DUPLICATE_SERVICE_NAME},
      {"no type", all, u"Other", nullptr, u"C:\\x.sys", 0x40, 3, 1, ERROR_INVALID_PARAMETER},
      {"boot start of a process", all, u"Other", nullptr, u"C:\\x.exe", 0x10, 0, 1,
       ERROR_INVALID_PARAMETER},
      {"start type", all, u"Other", nullptr, u"C:\\x.sys", 1, 5, 1, ERROR_INVALID_PARAMETER},
      {"error control", all, u"Other", nullptr, u"C:\\x.sys", 1, 3, 4, ERROR_INVALID_PARAMETER},
      {"no binary", all, u"Other", nullptr, nullptr, 1, 3, 1, ERROR_INVALID_PARAMETER},
      {"no name", all, nullptr, nullptr, u"C:\\x.sys", 1, 3, 1, ERROR_INVALID_PARAMETER},
      {"name with a backslash", all, u"a\\b", nullptr, u"C:\\x.sys", 1, 3, 1, ERROR_INVALID_NAME},
      {"no manager", nullptr, u"Other", nullptr, u"C:\\x.sys", 1, 3, 1, ERROR_INVALID_HANDLE},
      {"manager for connecting", connect, u"Other", nullptr, u"C:\\x.sys", 1, 3, 1,
       ERROR_ACCESS_DENIED},
  };
  for (const Case &c : cases) {
    SetLastError(0);
    EXPECT_EQ(nullptr, Keep(CreateServiceW(c.manager, c.name, c.display, 0, c.type, c.start,
                                           c.control, c.path, nullptr, nullptr, nullptr, nullptr,
                                           nullptr)))
        << c.what;
    EXPECT_EQ(c.error, GetLastError()) << c.what;
  }
  EXPECT_EQ(nullptr, OpenServiceW(all, u"NoSuchService", SERVICE_QUERY_STATUS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
  EXPECT_EQ(nullptr, OpenServiceW(nullptr, u"Probe", SERVICE_QUERY_STATUS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  // A service handle is no manager handle, and a handle's rights are checked.
  SC_HANDLE query = Keep(OpenServiceW(all, u"Probe", SERVICE_QUERY_STATUS));
  ASSERT_NE(nullptr, query);
  EXPECT_EQ(nullptr, OpenServiceW(query, u"Probe", SERVICE_QUERY_STATUS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_FALSE(StartServiceW(query, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(DeleteService(query));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  DWORD needed = 0;
  EXPECT_FALSE(QueryServiceConfigW(query, nullptr, 0, &needed));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
  EXPECT_FALSE(CloseServiceHandle(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(nullptr, OpenSCManagerW(u"elsewhere", nullptr, SC_MANAGER_CONNECT));
}

TEST_F(ServicesWin32, DeleteMarksTheServiceUntilItsLastHandleCloses) {
  SC_HANDLE service = CreateServiceW(Manager(), u"Probe", nullptr, SERVICE_ALL_ACCESS,
                                     SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_NORMAL, u"C:\\probe.sys", nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, service) << GetLastError();
  SC_HANDLE second = OpenServiceW(Manager(), u"Probe", SERVICE_ALL_ACCESS);
  ASSERT_NE(nullptr, second);
  ASSERT_TRUE(DeleteService(service)) << GetLastError();
  EXPECT_FALSE(DeleteService(second));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), GetLastError());
  EXPECT_EQ(nullptr, CreateDriver(u"Probe", u"C:\\probe.sys"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), GetLastError());
  EXPECT_FALSE(StartServiceW(second, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_MARKED_FOR_DELETE), GetLastError());
  ASSERT_TRUE(CloseServiceHandle(service));
  EXPECT_NE(nullptr, Keep(OpenServiceW(Manager(), u"Probe", SERVICE_QUERY_STATUS)))
      << "a handle is still open";
  ASSERT_TRUE(CloseServiceHandle(second));
  for (SC_HANDLE h : open_) CloseServiceHandle(h);
  open_.clear();
  EXPECT_EQ(nullptr, OpenServiceW(Manager(), u"Probe", SERVICE_QUERY_STATUS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
  // A closed handle is refused.
  EXPECT_FALSE(CloseServiceHandle(second));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST_F(ServicesWin32, StartFailsForWhatCannotRunAndNamesWhy) {
  CopyDriver("ramvol.sys");
  struct Case {
    const char16_t *name;
    std::u16string path;
    DWORD type, start;
    LPCWSTR dependencies;
    DWORD error;
  };
  const std::u16string drivers(kDrivers);
  const Case cases[] = {
      {u"Disabled", drivers + u"ramvol.sys", SERVICE_KERNEL_DRIVER, SERVICE_DISABLED, nullptr,
       ERROR_SERVICE_DISABLED},
      {u"NoFile", drivers + u"missing.sys", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, nullptr,
       ERROR_FILE_NOT_FOUND},
      {u"Process", u"C:\\Windows\\probe.exe", SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
       nullptr, ERROR_SERVICE_NO_THREAD},
      {u"NeedsMissing", drivers + u"ramvol.sys", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
       u"NoFile\0", ERROR_SERVICE_DEPENDENCY_FAIL},
      {u"NeedsNothing", drivers + u"ramvol.sys", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START,
       u"NoSuchService\0", ERROR_SERVICE_DEPENDENCY_FAIL},
      // The engine's DriverEntry fails without its bus: the status's error.
      {u"NoBus", drivers + u"ramvol.sys", SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, nullptr,
       ERROR_FILE_NOT_FOUND},
  };
  for (const Case &c : cases) {
    SC_HANDLE service = Keep(CreateServiceW(Manager(), c.name, nullptr, SERVICE_ALL_ACCESS, c.type,
                                            c.start, SERVICE_ERROR_NORMAL, c.path.c_str(), nullptr,
                                            nullptr, c.dependencies, nullptr, nullptr));
    ASSERT_NE(nullptr, service) << GetLastError();
    SetLastError(0);
    EXPECT_FALSE(StartServiceW(service, 0, nullptr));
    EXPECT_EQ(c.error, GetLastError()) << std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), State(service));
  }
  SERVICE_STATUS status;
  SC_HANDLE stopped = Keep(OpenServiceW(Manager(), u"NoFile", SERVICE_ALL_ACCESS));
  EXPECT_FALSE(ControlService(stopped, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE), GetLastError());
}

TEST_F(ServicesWin32, EngineStartsAfterItsBusStopsBeforeItAndComesBackWithEachRestart) {
  InstallBusAndEngine(SERVICE_SYSTEM_START);
  SC_HANDLE engine = Keep(OpenServiceW(Manager(), u"RamvolEngine", SERVICE_ALL_ACCESS));
  SC_HANDLE bus = Keep(OpenServiceW(Manager(), u"BWRDPort", SERVICE_ALL_ACCESS));
  ASSERT_TRUE(StartServiceW(engine, 0, nullptr)) << GetLastError();
  EXPECT_TRUE(EngineAnswers());
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State(engine));
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State(bus));
  EXPECT_FALSE(StartServiceW(engine, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING), GetLastError());

  SERVICE_STATUS status{};
  EXPECT_FALSE(ControlService(bus, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DEPENDENT_SERVICES_RUNNING), GetLastError());
  EXPECT_FALSE(ControlService(engine, SERVICE_CONTROL_PAUSE, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), GetLastError());
  ASSERT_TRUE(ControlService(engine, SERVICE_CONTROL_STOP, &status)) << GetLastError();
  EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
  EXPECT_FALSE(EngineAnswers());
  // The bus's driver has its device: it does not unload.
  EXPECT_FALSE(ControlService(bus, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL), GetLastError());

  // A system-start service is there after the daemon's stop and start ...
  Restart();
  EXPECT_TRUE(EngineAnswers()) << daemon_.Output();
  // ... and after a restart asked by a program with the privilege enabled.
  EXPECT_FALSE(ExitWindowsEx(EWX_REBOOT, SHTDN_REASON_MAJOR_OPERATINGSYSTEM));
  EXPECT_EQ(static_cast<DWORD>(ERROR_PRIVILEGE_NOT_HELD), GetLastError());
  ASSERT_TRUE(bw::test::EnableShutdownPrivilege());
  ASSERT_TRUE(ExitWindowsEx(EWX_REBOOT, SHTDN_REASON_FLAG_PLANNED |
                                            SHTDN_REASON_MAJOR_OPERATINGSYSTEM |
                                            SHTDN_REASON_MINOR_UPGRADE))
      << GetLastError();
  auto readyCount = [&] {
    std::string out = daemon_.Output();
    size_t n = 0;
    for (size_t at = out.find("ready on"); at != std::string::npos; at = out.find("ready on", at + 1)) ++n;
    return n;
  };
  for (int i = 0; i < 600 && readyCount() < 2; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(2u, readyCount()) << daemon_.Output();
  EXPECT_TRUE(daemon_.Running());
  EXPECT_TRUE(EngineAnswers()) << daemon_.Output();
}

TEST_F(ServicesWin32, FileOperationsLeftForTheRestartRunAtTheNextStart) {
  const std::string drivers = daemon_.Root() + "/C/Windows/System32/Drivers/";
  for (const char *name : {"gone.sys", "moved.sys"}) std::ofstream(drivers + name) << "x";
  ASSERT_TRUE(MoveFileExW(u"C:\\Windows\\System32\\Drivers\\gone.sys", nullptr,
                          MOVEFILE_DELAY_UNTIL_REBOOT))
      << GetLastError();
  ASSERT_TRUE(MoveFileExW(u"C:\\Windows\\System32\\Drivers\\moved.sys",
                          u"C:\\Windows\\System32\\Drivers\\there.sys", MOVEFILE_DELAY_UNTIL_REBOOT))
      << GetLastError();
  EXPECT_FALSE(MoveFileExW(u"C:\\Windows\\System32\\Drivers\\moved.sys", u"D:\\x.sys",
                           MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // Nothing happens before the restart.
  EXPECT_TRUE(std::filesystem::exists(drivers + "gone.sys"));
  EXPECT_TRUE(std::filesystem::exists(drivers + "moved.sys"));
  Restart();
  EXPECT_FALSE(std::filesystem::exists(drivers + "gone.sys"));
  EXPECT_FALSE(std::filesystem::exists(drivers + "moved.sys"));
  EXPECT_TRUE(std::filesystem::exists(drivers + "there.sys"));
  // The list is gone with the start that carried it out.
  Restart();
  EXPECT_TRUE(std::filesystem::exists(drivers + "there.sys"));
}

TEST_F(ServicesWin32, ServiceMarkedForDeletionWhileRunningGoesAtTheNextStart) {
  CopyDriver("testdrv.sys");
  SC_HANDLE service = CreateDriver(u"TestSvc", std::u16string(kDrivers) + u"testdrv.sys");
  ASSERT_NE(nullptr, service) << GetLastError();
  ASSERT_TRUE(StartServiceW(service, 0, nullptr)) << GetLastError();
  ASSERT_TRUE(DeleteService(service));
  for (SC_HANDLE h : open_) CloseServiceHandle(h);
  open_.clear();
  // Running, it stays (marked) although no handle is left.
  SC_HANDLE again = Keep(OpenServiceW(Manager(), u"TestSvc", SERVICE_QUERY_STATUS));
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), State(again));
  Restart();
  EXPECT_EQ(nullptr, OpenServiceW(Manager(), u"TestSvc", SERVICE_QUERY_STATUS));
  EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_DOES_NOT_EXIST), GetLastError());
}

TEST_F(ServicesWin32, CallerWhoIsNoAdministratorMayConnectAndQueryOnly) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  ASSERT_NE(nullptr, CreateDriver(u"Probe", u"C:\\probe.sys"));
  // Let another host user reach the daemon.
  std::filesystem::permissions(daemon_.Root(), std::filesystem::perms::all);
  std::filesystem::permissions(daemon_.Root() + "/ramvold.sock", std::filesystem::perms::all);
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(100);
    int failures = 0;
    auto expect = [&](bool ok, int bit) {
      if (!ok) failures |= 1 << bit;
    };
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    expect(!manager && GetLastError() == ERROR_ACCESS_DENIED, 0);
    manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    expect(manager != nullptr, 1);
    expect(!OpenServiceW(manager, u"Probe", SERVICE_START) && GetLastError() == ERROR_ACCESS_DENIED, 2);
    expect(!OpenServiceW(manager, u"Probe", DELETE) && GetLastError() == ERROR_ACCESS_DENIED, 3);
    SC_HANDLE query = OpenServiceW(manager, u"Probe", SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
    SERVICE_STATUS status;
    expect(query && QueryServiceStatus(query, &status), 4);
    expect(!MoveFileExW(u"C:\\Windows\\x", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) &&
               GetLastError() == ERROR_ACCESS_DENIED,
           5);
    // A user holds the shutdown privilege, disabled until enabled.
    expect(!ExitWindowsEx(EWX_SHUTDOWN, 0) && GetLastError() == ERROR_PRIVILEGE_NOT_HELD, 6);
    _exit(failures);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status)) << "failed checks (bits): " << WEXITSTATUS(status);
  EXPECT_TRUE(daemon_.Running());
}

}  // namespace
}  // namespace bw::test
