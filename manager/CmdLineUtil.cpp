#include "CmdLineUtil.h"

#include "Volumes.h"

#include <limits>
#include <optional>

#include "Translate.h"

namespace Ramdeck {

namespace {

std::optional<bool> ParseBool(const QString &value) {
  if (value.compare(QStringLiteral("yes"), Qt::CaseInsensitive) == 0) return true;
  if (value.compare(QStringLiteral("no"), Qt::CaseInsensitive) == 0) return false;
  return std::nullopt;
}

std::optional<QChar> ParseDriveLetter(const QString &value) {
  if (value.size() == 1 || (value.size() == 2 && value[1] == u':')) return value[0];
  return std::nullopt;
}

// A whole number in decimal; the multiplication by the unit must not leave
// the signed 64-bit range either.
std::optional<int64_t> ParseSize(QString value) {
  if (value.isEmpty()) return std::nullopt;
  int64_t unit = 1;
  switch (value.back().toUpper().unicode()) {
    case u'K':
      unit = int64_t{1} << 10;
      break;
    case u'M':
      unit = int64_t{1} << 20;
      break;
    case u'G':
      unit = int64_t{1} << 30;
      break;
    default:
      break;
  }
  if (unit != 1) value = value.left(value.size() - 1).trimmed();
  bool ok = false;
  qlonglong number = value.toLongLong(&ok, 10);
  if (!ok) return std::nullopt;
  if (number > std::numeric_limits<int64_t>::max() / unit ||
      number < std::numeric_limits<int64_t>::min() / unit)
    return std::nullopt;
  return number * unit;
}

std::optional<int> ParseIndex(const QString &value, const QStringList &words) {
  for (int i = 0; i < words.size(); ++i)
    if (words[i].compare(value, Qt::CaseInsensitive) == 0) return i;
  return std::nullopt;
}

}  // namespace

QString TrFormat(const QString &english, const QStringList &args) { return FormatText(Tr(english), args); }

TCmdLineParams::TCmdLineParams(const QString &text) {
  for (const QString &item : text.split(u',')) items_.append(item.trimmed());
}

bool TCmdLineParams::Find(const QString &name, QString *value) const {
  for (const QString &item : items_) {
    qsizetype equals = item.indexOf(u'=');
    QString itemName = (equals < 0 ? item : item.left(equals)).trimmed();
    if (itemName.compare(name, Qt::CaseInsensitive) != 0) continue;
    *value = equals < 0 ? QString() : item.mid(equals + 1).trimmed();
    return true;
  }
  value->clear();
  return false;
}

void TCmdLineParams::Incorrect(const QString &name, const QString &value) const {
  throw ECmdLineError(TrFormat(QStringLiteral("incorrect value for %s: %s"), {name, value}));
}

QString TCmdLineParams::GetAsString(const QString &name) const {
  QString value;
  Find(name, &value);
  return value;
}

QString TCmdLineParams::GetAsString(const QString &name, const QString &defaultValue) const {
  QString value;
  return Find(name, &value) ? value : defaultValue;
}

bool TCmdLineParams::Exists(const QString &name) const {
  return !GetAsString(name).isEmpty();
}

bool TCmdLineParams::GetAsBool(const QString &name) const {
  QString value = GetAsString(name);
  if (auto result = ParseBool(value)) return *result;
  Incorrect(name, value);
}

bool TCmdLineParams::GetAsBool(const QString &name, bool defaultValue) const {
  return ParseBool(GetAsString(name)).value_or(defaultValue);
}

QChar TCmdLineParams::GetAsDriveLetter(const QString &name) const {
  QString value = GetAsString(name);
  if (auto result = ParseDriveLetter(value)) return *result;
  Incorrect(name, value);
}

QChar TCmdLineParams::GetAsDriveLetter(const QString &name, QChar defaultValue) const {
  return ParseDriveLetter(GetAsString(name)).value_or(defaultValue);
}

int64_t TCmdLineParams::GetAsSize(const QString &name) const {
  QString value = GetAsString(name);
  if (auto result = ParseSize(value)) return *result;
  Incorrect(name, value);
}

int64_t TCmdLineParams::GetAsSize(const QString &name, int64_t defaultValue) const {
  return ParseSize(GetAsString(name)).value_or(defaultValue);
}

int TCmdLineParams::GetAsIndexOf(const QString &name, const QStringList &words) const {
  QString value = GetAsString(name);
  if (auto result = ParseIndex(value, words)) return *result;
  Incorrect(name, value);
}

int TCmdLineParams::GetAsIndexOf(const QString &name, const QStringList &words,
                                 int defaultValue) const {
  return ParseIndex(GetAsString(name), words).value_or(defaultValue);
}

}  // namespace Ramdeck
