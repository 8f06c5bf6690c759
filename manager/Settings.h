// The per-user settings the manager keeps in the registry, under
// HKEY_CURRENT_USER\SOFTWARE\Brimwell\Ramdeck\General. Values are written
// as text, booleans as "0"/"1"; on reading a boolean is an integer (any
// non-zero value is true) in text or a DWORD.
#pragma once

#include <QString>

namespace Ramdeck {

inline constexpr char16_t kSettingsKey[] = u"SOFTWARE\\Brimwell\\Ramdeck\\General";

struct TRegistrySettings {
  bool NoAutoLoad = false;          // a start with the switch hide ends at once
  bool ShowTrayWarning = true;      // the note that closing leaves the program in the tray
  QString TempBackup;               // history of TEMP/TMP values, comma-separated
  bool ShowTempRootWarning = true;  // the warning about TEMP/TMP at a RAM disk's root
  QString Language;                 // the built-in language in use
};

// Reads the calling user's settings into `settings`, which starts from the
// defaults (`defaultLanguage` for Language, the one the user's locale
// gives). A missing key or value keeps its default. A value that cannot be
// read or makes no sense keeps its default too, the others are still read,
// and then Exception is raised with the system's text, for the caller to
// show while the settings stay in force.
void ReadRegistrySettings(TRegistrySettings &settings, const QString &defaultLanguage);

// Writes every value; Language is left alone while a language file the
// user loaded is in use (`externalLanguage`). A failure raises Exception
// with the system's text.
void WriteRegistrySettings(const TRegistrySettings &settings, bool externalLanguage);

}  // namespace Ramdeck
