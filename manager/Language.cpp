#include "Language.h"

#include <QFile>
#include <algorithm>
#include <atomic>

#include "Translate.h"

// The resource lives in this static library, whose registration a linker
// may drop; it is registered once before the first read.
static void InitLanguagesResource() {
  static const bool registered = [] {
    Q_INIT_RESOURCE(languages);
    return true;
  }();
  (void)registered;
}

namespace Ramdeck {

namespace {

const QString kEnglish = QStringLiteral("English");
std::atomic<TLanguage *> programInstance{nullptr};

}  // namespace

TLanguage::TLanguage() : FCurrLang(kEnglish) { LoadFromResource(); }

const TLanguageSection *TLanguage::FindSection(const QString &name) const {
  for (const TLanguageSection &section : FSections)
    if (section.Name.compare(name, Qt::CaseInsensitive) == 0) return &section;
  return nullptr;
}

QString TLanguage::GetItemName(const QString &ItemName) const {
  const TLanguageSection *section = FindSection(FCurrLang);
  if (!section) return ItemName;
  QString translated = section->Find(ItemName);
  return translated.isNull() ? ItemName : translated;
}

void TLanguage::SetCurrLang(const QString &Value) {
  if (Value == FCurrLang) return;
  const TLanguageSection *section = FindSection(Value);
  if (!section) throw Exception(Tr(QStringLiteral("No such language: %s")).replace(QStringLiteral("%s"), Value));
  FCurrLang = section->Name;
}

QStringList TLanguage::GetLanguages() const {
  QStringList names;
  for (const TLanguageSection &section : FSections) names.append(section.Name);
  std::sort(names.begin(), names.end(), [](const QString &a, const QString &b) {
    int order = a.compare(b, Qt::CaseInsensitive);
    return order != 0 ? order < 0 : a < b;
  });
  return names;
}

bool TLanguage::IsEnglish() const { return FCurrLang.compare(kEnglish, Qt::CaseInsensitive) == 0; }

QByteArray TLanguage::BuiltInTable() {
  InitLanguagesResource();
  QFile file(QStringLiteral(":/LANGUAGES"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

void TLanguage::LoadFromResource() {
  FSections = ParseLanguageFile(BuiltInTable());
  FIsExternal = false;
}

void TLanguage::LoadFromFile(const QString &FileName) {
  // A file that cannot be read counts as one without sections.
  QFile file(FileName);
  QByteArray content;
  if (file.open(QIODevice::ReadOnly)) content = file.readAll();
  FSections = ParseLanguageFile(content);
  FIsExternal = true;
  if (FSections.size() != 1) throw Exception(Tr(QStringLiteral("Language file must contain one section")));
  FCurrLang = FSections.first().Name;
}

TLanguage *TLanguage::Instance() { return programInstance.load(); }

TLanguage::TProgramInstance::TProgramInstance() : language_(new TLanguage) {
  programInstance.store(language_);
}

TLanguage::TProgramInstance::~TProgramInstance() {
  programInstance.store(nullptr);
  delete language_;
}

QString DefaultLanguageName(quint16 langId) {
  const unsigned primary = langId & 0x3FF;
  const unsigned sub = langId >> 10;
  switch (primary) {
    case 1: return QStringLiteral("Arabic");
    case 2: return QStringLiteral("Bulgarian");
    case 3: return QStringLiteral("Catalan");
    case 4:
      if (sub == 1) return QStringLiteral("Chinese (Traditional)");
      if (sub == 2) return QStringLiteral("Chinese (Simplified)");
      return kEnglish;
    case 5: return QStringLiteral("Czech");
    case 6: return QStringLiteral("Danish");
    case 7: return QStringLiteral("German");
    case 8: return QStringLiteral("Greek");
    case 10: return QStringLiteral("Spanish");
    case 11: return QStringLiteral("Finnish");
    case 12: return QStringLiteral("French");
    case 14: return QStringLiteral("Hungarian");
    case 16: return QStringLiteral("Italian");
    case 17: return QStringLiteral("Japanese");
    case 18: return QStringLiteral("Korean");
    case 19: return QStringLiteral("Dutch");
    case 20: return QStringLiteral("Norwegian");
    case 21: return QStringLiteral("Polish");
    case 22: return QStringLiteral("Portuguese (Brazil)");
    case 24: return QStringLiteral("Romanian");
    case 25: return QStringLiteral("Russian");
    case 26: return QStringLiteral("Croatian");
    case 27: return QStringLiteral("Slovak");
    case 29: return QStringLiteral("Swedish");
    case 31: return QStringLiteral("Turkish");
    case 34: return QStringLiteral("Ukrainian");
    case 37: return QStringLiteral("Estonian");
    case 41: return QStringLiteral("Persian (Farsi)");
    case 42: return QStringLiteral("Vietnamese");
    default: return kEnglish;
  }
}

}  // namespace Ramdeck
