// Installing, starting and removing the system's two drivers: the volume
// engine's kernel service and the bus's Plug and Play device. Both halves
// are rolled back together when an installation fails.
#include "ctl/install_internal.h"

RAMCTL_API RAMCTL_BOOL WINAPI RamctlInstallEngine(LPCWSTR DisplayName, uint8_t StartAtBoot,
                                                    LPCWSTR EngineDriverPath, LPCWSTR BusInfPath,
                                                    uint8_t StartNow, uint8_t *RebootNeeded) {
  using namespace ramctl;
  if (!InstallEngineService(DisplayName, StartAtBoot, EngineDriverPath)) return 0;
  uint8_t reboot = 0;
  bool ok = InstallBusDevice(BusInfPath, &reboot);
  if (RebootNeeded != nullptr) *RebootNeeded = reboot;
  if (ok && (StartNow == 0 || StartEngineService())) return 1;
  KeepError keep;
  RemoveEngineService(EngineDriverPath);
  RemoveBusDevice(BusInfPath);
  return 0;
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlUninstallEngine(LPCWSTR EngineDriverPath, LPCWSTR BusInfPath) {
  using namespace ramctl;
  return RemoveBusDevice(BusInfPath) && RemoveEngineService(EngineDriverPath) ? 1 : 0;
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlStartEngine(VOID) { return ramctl::StartEngineService() ? 1 : 0; }
