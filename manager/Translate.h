// Every visible text passes through the program's translation table: the
// key is the English text exactly as the program uses it (with "&" markers
// and "%s"/"%d"/"%u" placeholders); formats are translated before their
// arguments are inserted.
#pragma once

#include <QString>

namespace Ramdeck {

QString Tr(const QString &english);

}  // namespace Ramdeck
