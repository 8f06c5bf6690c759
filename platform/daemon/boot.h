// The system's start in ramvold, in Windows' order: the platform's own
// drivers, the session manager's pending file operations, services marked
// for deletion removed, boot- and system-start drivers by load-order group,
// root-enumerated devices started through Plug and Play with their function
// drivers, then auto-start services.
#pragma once

#include <string>

namespace bw {

// `driverFolder` holds the platform's drivers (ramvold's own folder). False
// with *error when the platform's drivers cannot start; a service's driver
// that fails is logged and the start goes on.
bool BootSystem(const std::string &driverFolder, std::string *error);

}  // namespace bw
