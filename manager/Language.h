// The translation table every visible text passes through (Ramdeck::Tr).
// It holds the sections of a language file; one of them is current. The
// program creates one table at start (TLanguage::TProgramInstance) and
// frees it at the end; without it every text stays English.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include "Errors.h"
#include "LanguageFile.h"

namespace Ramdeck {

class TLanguage {
 public:
  // A fresh table holds the built-in languages, English current.
  TLanguage();

  // The current section's translation of ItemName; ItemName itself when the
  // key or the section is missing.
  QString GetItemName(const QString &ItemName) const;

  const QString &CurrLang() const { return FCurrLang; }
  // No change for the current name; otherwise the section must exist
  // (names compared without regard to case), else Exception
  // "No such language: %s" and the current name stays.
  void SetCurrLang(const QString &Value);

  // Every section name, sorted without regard to case.
  QStringList GetLanguages() const;
  bool IsEnglish() const;
  // The table came from a user's file rather than the built-in one.
  bool IsExternal() const { return FIsExternal; }

  void LoadFromResource();
  // Replaces the table by the file's content, which must hold exactly one
  // section; that section becomes current. With zero or several sections
  // the entries have still replaced the table and the current name stays:
  // later texts fall back to English until a language is chosen again,
  // which reloads the built-in table (the table counts as external).
  // Exception "Language file must contain one section".
  void LoadFromFile(const QString &FileName);

  // The raw built-in table, as the resource "LANGUAGES" holds it.
  static QByteArray BuiltInTable();

  // The program's table, or nullptr before start and after the end.
  static TLanguage *Instance();

  // Creates the program's table and frees it when it goes out of scope.
  class TProgramInstance {
   public:
    TProgramInstance();
    ~TProgramInstance();
    TProgramInstance(const TProgramInstance &) = delete;
    TProgramInstance &operator=(const TProgramInstance &) = delete;
    TLanguage &Language() { return *language_; }

   private:
    TLanguage *language_;
  };

 private:
  const TLanguageSection *FindSection(const QString &name) const;

  QString FCurrLang;
  bool FIsExternal = false;
  QList<TLanguageSection> FSections;
};

// The built-in language for a LANGID (the user's default locale): chosen by
// the primary language, for Chinese also by the sub-language; "English"
// for every language without a section of its own.
QString DefaultLanguageName(quint16 langId);

}  // namespace Ramdeck
