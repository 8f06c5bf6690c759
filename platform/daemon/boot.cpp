// The system's start after the kernel's own (see boot.h).
#include "platform/daemon/boot.h"

#include "bw/host.h"
#include "bw/pnp.h"
#include "bw/user_session.h"
#include "platform/daemon/service_keys.h"
#include "platform/daemon/service_manager.h"
#include "platform/daemon/session_manager.h"

namespace bw {

bool BootSystem(const std::string &driverFolder, std::string *error) {
  if (!NT_SUCCESS(LoadSystemDrivers(driverFolder, error))) return false;
  // Files of drivers removed last time go before any driver could hold them.
  ApplyPendingFileOperations();
  ServiceManager &services = ServiceManager::Instance();
  services.RemoveMarkedServices();
  services.StartServicesOfType(kBootStart);
  services.StartServicesOfType(kSystemStart);
  // Devices whose drivers the registry names get them now (the PnP manager
  // loads a function driver from its service key before AddDevice).
  EnumerateRootDevices();
  WaitForPnpIdle();
  services.StartServicesOfType(kAutoStart);
  WaitForPnpIdle();
  return true;
}

}  // namespace bw
