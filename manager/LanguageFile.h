// The language file: UTF-8 text (a byte-order mark is allowed), "[Name]"
// starts the section of one language, ";" starts a comment line, and every
// entry is "English text = translated text", split at the first "=" with
// spaces around both sides trimmed. The built-in table and the files a user
// loads share this format.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>

namespace Ramdeck {

struct TLanguageSection {
  QString Name;
  // The entries in file order, as written (a key may repeat; the first wins).
  QList<QPair<QString, QString>> Entries;
  // Case-folded key -> translation of its first entry.
  QHash<QString, QString> Lookup;

  // The translation of Key without regard to case, or a null string.
  QString Find(const QString &key) const;
};

// The sections of a file in the order they first appear; a section named
// twice (without regard to case) collects the entries of both.
QList<TLanguageSection> ParseLanguageFile(const QByteArray &content);

}  // namespace Ramdeck
