// Windows' own texts of the errors the settings, the temporary folder and
// the application start meet; any other code is named by its number.
#include "SystemErrorText.h"

#include <windows.h>
#include <shellapi.h>

namespace Ramdeck {

QString SystemErrorText(uint32_t code) {
  switch (code) {
    case ERROR_SUCCESS:
      return QStringLiteral("The operation completed successfully.");
    case ERROR_FILE_NOT_FOUND:
      return QStringLiteral("The system cannot find the file specified.");
    case ERROR_PATH_NOT_FOUND:
      return QStringLiteral("The system cannot find the path specified.");
    case ERROR_ACCESS_DENIED:
      return QStringLiteral("Access is denied.");
    case ERROR_INVALID_HANDLE:
      return QStringLiteral("The handle is invalid.");
    case ERROR_NOT_ENOUGH_MEMORY:
      return QStringLiteral("Not enough memory resources are available to process this command.");
    case ERROR_BAD_FORMAT:
      return QStringLiteral("An attempt was made to load a program with an incorrect format.");
    case ERROR_INVALID_DATA:
      return QStringLiteral("The data is invalid.");
    case ERROR_INVALID_PARAMETER:
      return QStringLiteral("The parameter is incorrect.");
    case ERROR_MORE_DATA:
      return QStringLiteral("More data is available.");
    case ERROR_DEVICE_REMOVED:
      return QStringLiteral("The device has been removed.");
    case ERROR_NO_ASSOCIATION:
      return QStringLiteral("No application is associated with the specified file for this operation.");
    case ERROR_KEY_DELETED:
      return QStringLiteral("Illegal operation attempted on a registry key that has been marked for deletion.");
    default:
      return QStringLiteral("System error %1.").arg(code);
  }
}

}  // namespace Ramdeck
