// The system's own text for a Win32 error code, without the line break it
// ends in.
#include "SystemErrorText.h"

#include <windows.h>

namespace Ramdeck {

QString SystemErrorText(uint32_t code) {
  LPWSTR text = nullptr;
  QString system;
  if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr) &&
      text) {
    system = QString::fromUtf16(text);
    LocalFree(text);
  }
  while (!system.isEmpty() && system.back().isSpace()) system.chop(1);
  return system;
}

}  // namespace Ramdeck
