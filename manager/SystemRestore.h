// System Restore monitoring of one drive, switched through the system's
// automation object "WbemScripting.SWbemLocator" (namespace "Root\Default",
// class "SystemRestore", methods Enable and Disable with the drive's root).
#pragma once

#include <QChar>

namespace Ramdeck {

// True when the method returned 0 or more; any failure gives false.
bool SetSystemRestore(QChar letter, bool enable);

}  // namespace Ramdeck
