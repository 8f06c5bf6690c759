#include "Translate.h"

#include "Language.h"

namespace Ramdeck {

// Before the program's table exists, and after it is freed, every text is
// its English key.
QString Tr(const QString &english) {
  TLanguage *language = TLanguage::Instance();
  return language ? language->GetItemName(english) : english;
}

}  // namespace Ramdeck
