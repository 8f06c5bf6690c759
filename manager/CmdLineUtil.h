// The parameter list of the add command: "name=value" items separated by
// commas, with typed readers that refuse what does not fit.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>

#include "Errors.h"

namespace Ramdeck {

// The translation of `english` with each "%s" replaced by the next of
// `args`, left to right; text inserted is never scanned again.
QString TrFormat(const QString &english, const QStringList &args);

class ECmdLineError : public Exception {
 public:
  using Exception::Exception;
};

class TCmdLineParams {
 public:
  TCmdLineParams() = default;
  // Splits at commas only (spaces separate nothing); items are trimmed.
  explicit TCmdLineParams(const QString &text);

  // The trimmed text after the first "=" of the first item whose name
  // matches without regard to case; empty when there is none.
  QString GetAsString(const QString &name) const;
  QString GetAsString(const QString &name, const QString &defaultValue) const;
  bool Exists(const QString &name) const;
  // "yes" or "no", any case.
  bool GetAsBool(const QString &name) const;
  bool GetAsBool(const QString &name, bool defaultValue) const;
  // "R" or "R:"; the result is the letter as given.
  QChar GetAsDriveLetter(const QString &name) const;
  QChar GetAsDriveLetter(const QString &name, QChar defaultValue) const;
  // A whole number with an optional unit as last character: K, M, G (any
  // case) multiply by 1024, 1024^2, 1024^3; any other last character is
  // part of the number.
  int64_t GetAsSize(const QString &name) const;
  int64_t GetAsSize(const QString &name, int64_t defaultValue) const;
  // The position of the value among `words`, compared without regard to case.
  int GetAsIndexOf(const QString &name, const QStringList &words) const;
  int GetAsIndexOf(const QString &name, const QStringList &words, int defaultValue) const;

  const QStringList &Items() const { return items_; }

 private:
  [[noreturn]] void Incorrect(const QString &name, const QString &value) const;
  bool Find(const QString &name, QString *value) const;

  QStringList items_;
};

}  // namespace Ramdeck
