#include "Translate.h"

namespace Ramdeck {

// Until the translation table is loaded every text is its English key.
QString Tr(const QString &english) { return english; }

}  // namespace Ramdeck
