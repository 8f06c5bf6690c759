#include "LanguageFile.h"

#include <QRegularExpression>

namespace Ramdeck {

QString TLanguageSection::Find(const QString &key) const {
  auto it = Lookup.constFind(key.toCaseFolded());
  return it == Lookup.constEnd() ? QString() : *it;
}

QList<TLanguageSection> ParseLanguageFile(const QByteArray &content) {
  QString text = QString::fromUtf8(content);
  if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);

  QList<TLanguageSection> sections;
  TLanguageSection *current = nullptr;
  static const QRegularExpression lineBreak(QStringLiteral("\r\n|\n|\r"));
  for (const QString &raw : text.split(lineBreak)) {
    QString line = raw.trimmed();
    if (line.isEmpty() || line.startsWith(u';')) continue;
    if (line.startsWith(u'[') && line.endsWith(u']')) {
      QString name = line.mid(1, line.size() - 2).trimmed();
      current = nullptr;
      for (TLanguageSection &section : sections)
        if (section.Name.compare(name, Qt::CaseInsensitive) == 0) current = &section;
      if (!current) {
        sections.append(TLanguageSection{name, {}, {}});
        current = &sections.last();
      }
      continue;
    }
    // Entries before the first section belong to no language; a line
    // without "=" or with nothing before it is no entry.
    qsizetype equals = line.indexOf(u'=');
    if (!current || equals <= 0) continue;
    QString key = line.left(equals).trimmed();
    QString value = line.mid(equals + 1).trimmed();
    if (key.isEmpty()) continue;
    current->Entries.append({key, value});
    QString folded = key.toCaseFolded();
    if (!current->Lookup.contains(folded)) current->Lookup.insert(folded, value);
  }
  return sections;
}

}  // namespace Ramdeck
