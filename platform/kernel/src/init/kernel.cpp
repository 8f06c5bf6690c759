// Boot and shutdown of the kernel stand-in, system information, and the
// routines drivers look up by name.
#include "bw/host.h"
#include "bw/pnp.h"
#include "bw/user_session.h"
#include "ke/dispatcher.h"
#include "hostfs/hostfs.h"
#include "internal.h"
#include "io/io_internal.h"
#include "mm/mm_internal.h"
#include "ps/process.h"
#include "config/registry.h"
#include "se/logon_session.h"
#include "pnp/pnp_internal.h"

#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <mutex>

namespace bw {

namespace {
std::mutex gBootLock;
bool gRunning = false;
ULONG gMajor = 10, gMinor = 0, gBuild = 19045;
bool gWorkstation = true;
}  // namespace

NTSTATUS KernelBoot(const BootOptions &options, std::string *error) {
  std::lock_guard<std::mutex> guard(gBootLock);
  if (gRunning) {
    if (error) *error = "the kernel is already running";
    return STATUS_IMAGE_ALREADY_LOADED;
  }
  SetSystemVersion(options.majorVersion, options.minorVersion, options.buildNumber,
                   options.workstation);
  NTSTATUS status = RegistryBoot(options.root, error);
  if (!NT_SUCCESS(status)) return status;
  NamespaceInit();
  SetUserSpaceGuard(options.guardUserSpace);
  ProcessesInit();
  TimersInit();
  WorkQueueInit();
  HostFsInit(options.root);
  PnpInit();
  gRunning = true;
  return STATUS_SUCCESS;
}

VOID KernelShutdown() {
  std::lock_guard<std::mutex> guard(gBootLock);
  if (!gRunning) return;
  ShutdownNotifyAll();
  // Device trees go before drivers unload, so that each PnP driver has seen
  // its devices removed.
  RemoveDeviceTree();
  auto drivers = LoadedDrivers();
  for (auto it = drivers.rbegin(); it != drivers.rend(); ++it) UnloadDriver(*it);
  PnpShutdown();
  ProcessNotifyShutdown();
  LogonSessionsShutdown();
  WorkQueueShutdown();
  TimersShutdown();
  DeviceStatesShutdown();
  KernelHandles().CloseAll();
  ProcessesShutdown();
  SetUserSpaceGuard(false);
  HostFsShutdown();
  NamespaceShutdown();
  RegistryShutdown();
  gRunning = false;
}

bool KernelRunning() { return gRunning; }

VOID SetSystemVersion(ULONG major, ULONG minor, ULONG build, bool workstation) {
  gMajor = major;
  gMinor = minor;
  gBuild = build;
  gWorkstation = workstation;
}

void NotifyShutdown() { ShutdownNotifyAll(); }

bool ObjectExists(std::u16string_view ntPath) {
  LookupResult result;
  if (!NT_SUCCESS(LookupObject(ntPath, true, &result))) return false;
  ObfDereferenceObject(result.object);
  return result.remaining.empty();
}

}  // namespace bw

using namespace bw;

NTSTATUS RtlGetVersion(PRTL_OSVERSIONINFOW lpVersionInformation) {
  if (!lpVersionInformation) return STATUS_INVALID_PARAMETER;
  ULONG size = lpVersionInformation->dwOSVersionInfoSize;
  if (size != sizeof(RTL_OSVERSIONINFOW) && size != sizeof(RTL_OSVERSIONINFOEXW))
    return STATUS_INVALID_PARAMETER;
  lpVersionInformation->dwMajorVersion = gMajor;
  lpVersionInformation->dwMinorVersion = gMinor;
  lpVersionInformation->dwBuildNumber = gBuild;
  lpVersionInformation->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  memset(lpVersionInformation->szCSDVersion, 0, sizeof(lpVersionInformation->szCSDVersion));
  if (size == sizeof(RTL_OSVERSIONINFOEXW)) {
    auto *ex = reinterpret_cast<PRTL_OSVERSIONINFOEXW>(lpVersionInformation);
    ex->wServicePackMajor = ex->wServicePackMinor = 0;
    ex->wSuiteMask = 0;
    ex->wProductType = gWorkstation ? VER_NT_WORKSTATION : VER_NT_SERVER;
    ex->wReserved = 0;
  }
  return STATUS_SUCCESS;
}

BOOLEAN PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber,
                     PUNICODE_STRING) {
  if (MajorVersion) *MajorVersion = gMajor;
  if (MinorVersion) *MinorVersion = gMinor;
  if (BuildNumber) *BuildNumber = gBuild;
  return FALSE;  // a free build
}

// Routines looked up by name: only exports of this kernel that exist on the
// configured system version are found.
PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
  if (!SystemRoutineName) return nullptr;
  std::string name = ToUtf8(ToU16(SystemRoutineName));
  static void *self = dlopen(nullptr, RTLD_NOW);
  void *symbol = dlsym(RTLD_DEFAULT, name.c_str());
  (void)self;
  return symbol;
}

VOID KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
  char text[160];
  snprintf(text, sizeof text, "bug check 0x%08X (%lx, %lx, %lx, %lx)", BugCheckCode,
           (unsigned long)P1, (unsigned long)P2, (unsigned long)P3, (unsigned long)P4);
  KernelFault(text);
}
