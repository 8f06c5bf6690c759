// The system's text for a Win32 error code, as a message box shows it
// after the program's own words.
#pragma once

#include <QString>

#include <cstdint>

namespace Ramdeck {

QString SystemErrorText(uint32_t code);

}  // namespace Ramdeck
