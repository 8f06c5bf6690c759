// What the service control manager reads of the system: the services' keys,
// which drivers are loaded, the Win32 names of its answers, and the
// constants of its interface (the daemon sees the kernel's headers, not
// the Win32 ones).
#pragma once

#include <wdm.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bw {

// Win32 errors the manager answers.
constexpr uint32_t ERROR_SUCCESS = 0, ERROR_FILE_NOT_FOUND = 2, ERROR_PATH_NOT_FOUND = 3,
                   ERROR_ACCESS_DENIED = 5, ERROR_INVALID_HANDLE = 6,
                   ERROR_INVALID_PARAMETER = 87, ERROR_INSUFFICIENT_BUFFER = 122,
                   ERROR_INVALID_NAME = 123, ERROR_PRIVILEGE_NOT_HELD = 1314,
                   ERROR_DEPENDENT_SERVICES_RUNNING = 1051, ERROR_INVALID_SERVICE_CONTROL = 1052,
                   ERROR_SERVICE_NO_THREAD = 1054, ERROR_SERVICE_ALREADY_RUNNING = 1056,
                   ERROR_SERVICE_DISABLED = 1058, ERROR_CIRCULAR_DEPENDENCY = 1059,
                   ERROR_SERVICE_DOES_NOT_EXIST = 1060, ERROR_SERVICE_NOT_ACTIVE = 1062,
                   ERROR_SERVICE_DEPENDENCY_FAIL = 1068, ERROR_SERVICE_MARKED_FOR_DELETE = 1072,
                   ERROR_SERVICE_EXISTS = 1073, ERROR_DUPLICATE_SERVICE_NAME = 1078;

// Service types, start types, states and rights (winsvc.h's values).
constexpr uint32_t kKernelDriver = 1, kFileSystemDriver = 2, kWin32OwnProcess = 0x10,
                   kWin32ShareProcess = 0x20, kInteractiveProcess = 0x100;
constexpr uint32_t kBootStart = 0, kSystemStart = 1, kAutoStart = 2, kDemandStart = 3,
                   kDisabled = 4, kErrorCritical = 3;
constexpr uint32_t kStateStopped = 1, kStateRunning = 4, kAcceptStop = 1, kControlStop = 1,
                   kControlInterrogate = 4;
constexpr uint32_t kManagerConnect = 0x1, kManagerCreateService = 0x2, kManagerEnumerate = 0x4,
                   kManagerLock = 0x8, kManagerQueryLock = 0x10, kManagerModifyBootConfig = 0x20,
                   kManagerAllAccess = 0xF003F;
constexpr uint32_t kServiceQueryConfig = 0x1, kServiceChangeConfig = 0x2,
                   kServiceQueryStatus = 0x4, kServiceEnumerateDependents = 0x8,
                   kServiceStart = 0x10, kServiceStop = 0x20, kServicePauseContinue = 0x40,
                   kServiceInterrogate = 0x80, kServiceUserDefinedControl = 0x100,
                   kServiceAllAccess = 0xF01FF, kDeleteRight = 0x10000;

inline const std::u16string kServicesKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
std::u16string ServiceKeyPath(const std::u16string &name);
bool SameName(std::u16string_view a, std::u16string_view b);
// The service's key name as stored (the case it was created with); false
// when there is none, or the key has no Type.
bool FindServiceKey(const std::u16string &name, std::u16string *stored);
std::vector<std::u16string> ServiceNames();
// A driver service runs while its driver is loaded.
bool ServiceRunning(const std::u16string &name);
// A driver's binary path as the registry keeps it: below the Windows
// folder "\SystemRoot\...", another DOS path "\??\X:\...", an NT or
// relative path as it is.
std::u16string DriverImagePath(const std::u16string &path);
// The Win32 error the system's translation gives for a status.
uint32_t Win32ErrorOf(NTSTATUS status);

}  // namespace bw
