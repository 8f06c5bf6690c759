#include <gtest/gtest.h>

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include "Language.h"
#include "LanguageFile.h"
#include "Translate.h"

using Ramdeck::TLanguage;
using Ramdeck::TLanguageSection;

namespace {

// Every text the program passes through the table, in the table's order.
const char *const kKeys[] = {
    // Main window and messages
    "&File", "&Disk", "&Image", "&Tools", "&Help", "&RAM Disk", "Disk &Image", "&About", "&Add...",
    "Add a New Disk", "&Delete", "Delete Disk", "Create Image...", "Create Image File", "Mount Image...",
    "Mount Image File", "Unmount Image...", "Unmount Image File", "&Refresh", "Refresh Disk Display",
    "RAM &Disk Manager", "&Exit", "&Applications...", "&Settings...", "&Export Disks",
    "Export disks to a file", "&Import Disks", "Import disks from a file", "&Set Windows TEMP folder...",
    "&Web-site", "&Mount", "Mount Selected Disk", "&Unmount", "Unmount Selected Disk", "User &Manual",
    "Show User Manual", "&Browse", "&Properties", "Disk Properties", "&Mount All", "Mount All Disks",
    "&Unmount All", "Unmount All Disks", "Add &Boot Disk...", "Add a New Disk Mounted on Boot",
    "Disks mounted on logon", "Disks mounted on boot", "Letter", "Size (MB)", "File System", "Flags",
    "Image File",
    "Unable to dismount volume %s Perhaps it contains open files or is locked. Force dismount?",
    "Unable to dismount volume %s", "Unmounting...", "Creating image...",
    "Image file created in '%s'. You can now mount it by choosing Image > Mount Image.",
    "This will dismount and delete all the disks currently configured. Continue?",
    "All RAM disks have been mounted successfully",
    "There are %d logon-time RAM disks mounted. If you quit the application now, they will be "
    "immediately dismounted.",
    "Please confirm dismounting all these RAM disks.",
    "You cannot perform this operation on a disk currently mounted by another user", "Don't show this again",
    "All RAM disks have been unmounted successfully",
    "The application will remain running in the system tray. In order to quit it choose 'Quit' from the "
    "popup menu.",
    "Error reading config file:", "One or more volumes could not be mounted.",
    "Dismounting volumes on closure failed:",
    "You are running this application as a regular user and you cannot change any settings. In order to "
    "control the application you should launch it as administrator.",
    "Brimwell Volume Image", "Would you like to remount the disk now to apply the changes?",
    "This will cause the disk to be unmounted and then mounted again with the new settings. Unless the disk "
    "is associated with an image file, all its content will be lost.",
    "MB", "Mounting...", "disk %s is not found", "Config file corrupted", "Command line error:",
    "%d RAM disks mounted", "%u MB memory free",
    "The application has detected that you have the TMP/TEMP environment variables set to use a RAM disk. "
    "In this case some installation programs may not work correctly. Please turn the 'Global drive letters "
    "for RAM volumes' option on in the settings in order to fix this problem.",
    "The application has detected that you have the TMP/TEMP environment variables set to use the root of a "
    "RAM disk. Some programs may not work correctly in this case. It is recommended to create a folder on "
    "the RAM disk and then update the variables to point to that folder, e.g. R:\\TEMP.",
    "Dismounting volumes at session termination failed:",
    // About dialog
    "About %s", "Version %s", "Web-site", "Contact us", "&OK", "&Cancel",
    // Disk dialog and messages
    "Add/Edit Disk", "Disk Information", "Image File Name (optional)", "Mount Options", "Drive Letter",
    "Mount as &Removable", "&Save Contents to Image", "&Wipe Memory on Dismount", "File System Options",
    "Create Folders", "&Advanced", "%u MB free", "Size %u MB", "%s requires the disk to be %u to %u MB in size",
    "Specified image file does not exist", "Nested folders are not allowed on a boot disk",
    "RAM disk size must be between %d and %d MB",
    "You cannot create a RAM disk exceeding 95% of the available RAM", "Advanced Disk Properties",
    "Disk Identification", "Volume Label", "Disk Compression", "Enable compression to save disk space",
    "Image Options", "Save contents to associated image every, min",
    // Startup applications
    "Applications", "Automatically Starting Applications", "Application", "&Add", "&Delete",
    // Image dialogs
    "Create Image", "Image File Name", "Free Space on %s\\ %u MB", "Mount Image", "Currently mounted images",
    "Unmount Image",
    // Global settings
    "Settings", "General", "Launch automatically with Windows", "Allow non-privileged users to modify settings",
    "Allows users to eject removable RAM disks in Explorer", "Global drive letters for RAM volumes",
    "Show icon in the system tray", "Windows Temporary Folder",
    // HDD emulation
    "&Hard Disk Emulation (slower)", "Image Type", "Volume", "Hard Disk", "Save to Image",
    "Save Disk Contents to the Image", "Saving to image...", "NUMA Node",
    "Allocate within the specified NUMA node only"};

const QStringList kBuiltInLanguages = {
    "English", "Russian", "Portuguese (Brazil)", "Italian", "German", "Polish", "Ukrainian", "Slovak",
    "Chinese (Simplified)", "Hungarian", "Spanish", "Chinese (Traditional)", "Greek", "Swedish", "Korean",
    "Dutch", "Czech", "French", "Bulgarian", "Persian (Farsi)", "Finnish", "Norwegian", "Danish", "Arabic",
    "Japanese", "Croatian", "Turkish", "Serbian (Cyrillic)", "Serbian (Latin)", "Estonian", "Vietnamese",
    "Romanian", "Catalan"};

// Names that stay as they are in every language.
const QStringList kKeptNames = {"RAM", "NTFS", "FAT32", "TEMP", "TMP", "NUMA", "Windows", "R:\\TEMP", "Brimwell"};

// The placeholders of a text in order, e.g. "%s %u %u".
std::string Placeholders(const QString &text) {
  static const QRegularExpression placeholder(QStringLiteral("%[sdu]"));
  QStringList found;
  for (auto it = placeholder.globalMatch(text); it.hasNext();) found << it.next().captured();
  return found.join(u' ').toStdString();
}

// The marker's letter: "&" followed by a letter (or nothing when no "&").
bool MarkerOnLetter(const QString &text) {
  qsizetype at = text.indexOf(u'&');
  return at < 0 || (at + 1 < text.size() && text[at + 1].isLetter());
}

// Whether Value ends with the same kind of closing mark as Key (":", "?",
// "...", "."), allowing the script's own form of the mark.
bool SameEnding(const QString &key, const QString &value) {
  auto endsWithAny = [&](std::initializer_list<const char16_t *> marks) {
    for (const char16_t *mark : marks)
      if (value.endsWith(QString::fromUtf16(mark))) return true;
    return false;
  };
  if (key.endsWith(u"...")) return value.endsWith(u"...");
  if (key.endsWith(u':')) return endsWithAny({u":", u"："});
  if (key.endsWith(u'?')) return endsWithAny({u"?", u"？", u"؟", u";", u"\u037E"});
  if (key.endsWith(u'.')) return endsWithAny({u".", u"。"});
  return true;
}

QList<TLanguageSection> BuiltInSections() { return Ramdeck::ParseLanguageFile(TLanguage::BuiltInTable()); }

class LanguageFileTest : public ::testing::Test {
 protected:
  QString Write(const QByteArray &content) {
    QString path = dir_.filePath(QStringLiteral("lang%1.ini").arg(++count_));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    return path;
  }
  QTemporaryDir dir_;
  int count_ = 0;
};

}  // namespace

// The English section is the list of keys the program uses, each mapped to
// itself, in order; no key can contain "=", which would split it.
TEST(BuiltInTable, EnglishSectionIsTheKeyList) {
  QList<TLanguageSection> sections = BuiltInSections();
  ASSERT_FALSE(sections.isEmpty());
  const TLanguageSection &english = sections.first();
  EXPECT_EQ("English", english.Name);
  ASSERT_EQ(std::size(kKeys), size_t(english.Entries.size()));
  ASSERT_EQ(141, english.Entries.size());
  for (qsizetype i = 0; i < english.Entries.size(); ++i) {
    const QString key = QString::fromUtf8(kKeys[i]);
    EXPECT_FALSE(key.contains(u'=')) << kKeys[i];
    EXPECT_EQ(key, english.Entries[i].first) << "entry " << i;
    EXPECT_EQ(key, english.Entries[i].second) << "entry " << i;
  }
}

TEST(BuiltInTable, SectionsInOrderAndGetLanguagesSorted) {
  QStringList names;
  for (const TLanguageSection &section : BuiltInSections()) names << section.Name;
  EXPECT_EQ(kBuiltInLanguages, names);

  TLanguage language;
  QStringList sorted = kBuiltInLanguages;
  std::sort(sorted.begin(), sorted.end(), [](const QString &a, const QString &b) {
    return a.compare(b, Qt::CaseInsensitive) < 0;
  });
  EXPECT_EQ(sorted, language.GetLanguages());
  EXPECT_EQ(33, language.GetLanguages().size());
  EXPECT_FALSE(language.IsExternal());
}

// Every translation: the same keys in the same order as English, non-empty,
// the placeholders in the same order, as many "&" markers (each on a
// letter), the closing marks and the names that stay untranslated.
TEST(BuiltInTable, EveryLanguageTranslatesEveryKeyFaithfully) {
  QList<TLanguageSection> sections = BuiltInSections();
  ASSERT_EQ(33, sections.size());
  const TLanguageSection &english = sections.first();
  for (const TLanguageSection &section : sections.mid(1)) {
    SCOPED_TRACE(section.Name.toStdString());
    ASSERT_EQ(english.Entries.size(), section.Entries.size());
    QHash<QString, QString> seen;
    for (qsizetype i = 0; i < section.Entries.size(); ++i) {
      const QString &key = section.Entries[i].first;
      const QString &value = section.Entries[i].second;
      SCOPED_TRACE(key.toStdString());
      EXPECT_EQ(english.Entries[i].first, key);
      EXPECT_FALSE(value.isEmpty());
      EXPECT_EQ(Placeholders(key), Placeholders(value)) << value.toStdString();
      EXPECT_EQ(key.count(u'&'), value.count(u'&')) << value.toStdString();
      EXPECT_TRUE(MarkerOnLetter(value)) << value.toStdString();
      EXPECT_TRUE(SameEnding(key, value)) << value.toStdString();
      for (const QString &name : kKeptNames)
        if (key.contains(name)) {
          EXPECT_TRUE(value.contains(name)) << name.toStdString() << ": " << value.toStdString();
        }
      // A key listed twice is looked up once: both places must agree.
      if (seen.contains(key)) {
        EXPECT_EQ(seen[key], value);
      }
      seen.insert(key, value);
    }
  }
}

TEST(Language, LooksUpTheCurrentSectionAndFallsBackToEnglish) {
  TLanguage language;
  EXPECT_EQ("English", language.CurrLang());
  EXPECT_TRUE(language.IsEnglish());
  EXPECT_EQ("&File", language.GetItemName("&File"));

  language.SetCurrLang("German");
  EXPECT_FALSE(language.IsEnglish());
  EXPECT_EQ("&Datei", language.GetItemName("&File"));
  // Keys are matched without regard to case.
  EXPECT_EQ("&Datei", language.GetItemName("&FILE"));
  // A key the table lacks stays as it is.
  EXPECT_EQ("Not in the table %s", language.GetItemName("Not in the table %s"));
  // Setting the current name again changes nothing; names ignore case and
  // take the table's spelling.
  language.SetCurrLang("German");
  language.SetCurrLang("french");
  EXPECT_EQ("French", language.CurrLang());
}

TEST(Language, UnknownLanguageIsRefusedAndTheCurrentOneStays) {
  TLanguage language;
  language.SetCurrLang("Italian");
  try {
    language.SetCurrLang("Klingon");
    FAIL() << "no exception";
  } catch (const Ramdeck::Exception &e) {
    EXPECT_EQ("No such language: Klingon", e.Message());
  }
  EXPECT_EQ("Italian", language.CurrLang());
}

TEST(Language, TrUsesTheProgramTableWhileItExists) {
  EXPECT_EQ(nullptr, TLanguage::Instance());
  EXPECT_EQ("&Help", Ramdeck::Tr("&Help"));
  {
    TLanguage::TProgramInstance program;
    EXPECT_EQ(&program.Language(), TLanguage::Instance());
    program.Language().SetCurrLang("Spanish");
    EXPECT_EQ("A&yuda", Ramdeck::Tr("&Help"));
    EXPECT_EQ("No such language: %s", Ramdeck::Tr("No such language: %s"));
  }
  EXPECT_EQ(nullptr, TLanguage::Instance());
  EXPECT_EQ("&Help", Ramdeck::Tr("&Help"));
}

TEST_F(LanguageFileTest, OneSectionBecomesCurrentWithBomCommentsAndSpaces) {
  QString path = Write(
      "\xEF\xBB\xBF; a user's language\r\n"
      "orphan = before any section\r\n"
      "  [ Pirate ]  \r\n"
      "  ; indented comment = not an entry\r\n"
      "&File   =   &Chest  \r\n"
      "&help=&Parrot = squawk\r\n"
      "no equals sign here\r\n"
      "= nothing before\r\n"
      "&File = second entry loses\r\n"
      "Empty =\r\n");
  TLanguage language;
  language.SetCurrLang("German");
  language.LoadFromFile(path);
  EXPECT_TRUE(language.IsExternal());
  EXPECT_EQ("Pirate", language.CurrLang());
  EXPECT_EQ(QStringList{"Pirate"}, language.GetLanguages());
  EXPECT_EQ("&Chest", language.GetItemName("&File"));
  // The first "=" splits; the rest belongs to the translation.
  EXPECT_EQ("&Parrot = squawk", language.GetItemName("&Help"));
  EXPECT_EQ("", language.GetItemName("Empty"));
  EXPECT_EQ("orphan", language.GetItemName("orphan"));
  EXPECT_EQ("; indented comment", language.GetItemName("; indented comment"));

  // Choosing a built-in language again needs the built-in table back.
  EXPECT_THROW(language.SetCurrLang("German"), Ramdeck::Exception);
  language.LoadFromResource();
  EXPECT_FALSE(language.IsExternal());
  language.SetCurrLang("German");
  EXPECT_EQ("&Datei", language.GetItemName("&File"));
}

TEST_F(LanguageFileTest, ZeroOrTwoSectionsAreRefusedAfterReplacingTheTable) {
  const QByteArray twoSections = "[German]\n&File = Zwei\n[Other]\n&File = Other\n";
  for (const QByteArray &content : {QByteArray("; only a comment\n&File = x\n"), twoSections}) {
    TLanguage language;
    language.SetCurrLang("German");
    try {
      language.LoadFromFile(Write(content));
      FAIL() << "no exception";
    } catch (const Ramdeck::Exception &e) {
      EXPECT_EQ("Language file must contain one section", e.Message());
    }
    // The name stays; texts come from the file's entries where it has the
    // current section, else fall back to English.
    EXPECT_EQ("German", language.CurrLang());
    EXPECT_TRUE(language.IsExternal());
    EXPECT_EQ(content == twoSections ? "Zwei" : "&File", language.GetItemName("&File"));
    EXPECT_EQ("&Help", language.GetItemName("&Help"));
  }
}

TEST_F(LanguageFileTest, UnreadableFileIsOneWithoutSections) {
  TLanguage language;
  EXPECT_THROW(language.LoadFromFile(dir_.filePath("missing.ini")), Ramdeck::Exception);
  EXPECT_TRUE(language.GetLanguages().isEmpty());
  EXPECT_EQ("&File", language.GetItemName("&File"));
}

TEST(DefaultLanguageName, ByPrimaryLanguageAndChineseSubLanguage) {
  using Ramdeck::DefaultLanguageName;
  EXPECT_EQ("English", DefaultLanguageName(0x0409));
  EXPECT_EQ("German", DefaultLanguageName(0x0407));
  EXPECT_EQ("German", DefaultLanguageName(0x0807));  // Swiss German: the primary language counts
  EXPECT_EQ("Portuguese (Brazil)", DefaultLanguageName(0x0416));
  EXPECT_EQ("Portuguese (Brazil)", DefaultLanguageName(0x0816));
  EXPECT_EQ("Persian (Farsi)", DefaultLanguageName(0x0429));
  EXPECT_EQ("Vietnamese", DefaultLanguageName(0x042A));
  EXPECT_EQ("Chinese (Traditional)", DefaultLanguageName(0x0404));
  EXPECT_EQ("Chinese (Simplified)", DefaultLanguageName(0x0804));
  EXPECT_EQ("English", DefaultLanguageName(0x0C04));  // Hong Kong
  EXPECT_EQ("Dutch", DefaultLanguageName(0x0013));  // a neutral LANGID
  EXPECT_EQ("Croatian", DefaultLanguageName(0x041A));
  EXPECT_EQ("English", DefaultLanguageName(0x040D));  // Hebrew has no section
  EXPECT_EQ("English", DefaultLanguageName(0x0000));
  // Every name it gives is a built-in section.
  QSet<QString> builtIn(kBuiltInLanguages.begin(), kBuiltInLanguages.end());
  for (unsigned id = 0; id < 0x10000; id += 0x3F) EXPECT_TRUE(builtIn.contains(DefaultLanguageName(id))) << id;
}
