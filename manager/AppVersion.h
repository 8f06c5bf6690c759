// The program's own version, "major.minor.release".
#pragma once

#include <QString>

namespace Ramdeck {

QString ProgramVersion();

}  // namespace Ramdeck
