#include "SystemRestore.h"

namespace Ramdeck {

// Without the automation object there is nothing to switch.
bool SetSystemRestore(QChar, bool) { return false; }

}  // namespace Ramdeck
