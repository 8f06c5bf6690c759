#include "AppVersion.h"

namespace Ramdeck {

QString ProgramVersion() {
  return QString::asprintf("%u.%u.%u", unsigned{RAMDECK_VERSION_MAJOR}, unsigned{RAMDECK_VERSION_MINOR},
                           unsigned{RAMDECK_VERSION_RELEASE});
}

}  // namespace Ramdeck
