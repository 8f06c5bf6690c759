// The per-user settings in the registry: defaults on a fresh hive, values
// written as text and read back, a DWORD accepted, a malformed value
// refused without losing the others, the language left alone while a
// language file is in use, and a failed write reported.

#include "Errors.h"
#include "Settings.h"
#include "manager_daemon.h"

#include <windows.h>

#include <vector>

namespace {

using Ramdeck::TRegistrySettings;

class Settings : public Ramdeck::test::SystemTest {
 protected:
  static HKEY Key() {
    HKEY key = nullptr;
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, Ramdeck::kSettingsKey, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    return key;
  }
  static void Set(const char16_t *name, const std::u16string &text, DWORD type = REG_SZ) {
    HKEY key = Key();
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE *>(text.c_str()),
                                            static_cast<DWORD>((text.size() + 1) * 2)));
    RegCloseKey(key);
  }
  static void SetDword(const char16_t *name, DWORD value) {
    HKEY key = Key();
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<BYTE *>(&value), 4));
    RegCloseKey(key);
  }
  // A value as stored: its type and text.
  static std::pair<DWORD, std::u16string> Stored(const char16_t *name) {
    HKEY key = Key();
    DWORD type = 0, size = 256;
    std::vector<BYTE> data(size);
    LSTATUS error = RegQueryValueExW(key, name, nullptr, &type, data.data(), &size);
    RegCloseKey(key);
    if (error != ERROR_SUCCESS) return {0, u"<missing>"};
    return {type, std::u16string(reinterpret_cast<const char16_t *>(data.data()), size / 2 - 1)};
  }
};

TEST_F(Settings, DefaultsOnAFreshHiveAndValuesReadBack) {
  TRegistrySettings settings;
  settings.NoAutoLoad = true;  // replaced by the defaults
  Ramdeck::ReadRegistrySettings(settings, QStringLiteral("German"));
  EXPECT_FALSE(settings.NoAutoLoad);
  EXPECT_TRUE(settings.ShowTrayWarning);
  EXPECT_TRUE(settings.TempBackup.isEmpty());
  EXPECT_TRUE(settings.ShowTempRootWarning);
  EXPECT_EQ(QStringLiteral("German"), settings.Language);

  settings.NoAutoLoad = true;
  settings.ShowTrayWarning = false;
  settings.TempBackup = QStringLiteral("C:\\Temp,R:\\Temp");
  settings.ShowTempRootWarning = false;
  settings.Language = QStringLiteral("Русский");
  Ramdeck::WriteRegistrySettings(settings, false);
  // Text values, booleans as "0" and "1".
  EXPECT_EQ((std::pair<DWORD, std::u16string>{REG_SZ, u"1"}), Stored(u"NoAutoLoad"));
  EXPECT_EQ((std::pair<DWORD, std::u16string>{REG_SZ, u"0"}), Stored(u"ShowTrayWarning"));
  EXPECT_EQ((std::pair<DWORD, std::u16string>{REG_SZ, u"C:\\Temp,R:\\Temp"}), Stored(u"TempBackup"));

  TRegistrySettings read;
  Ramdeck::ReadRegistrySettings(read, QStringLiteral("English"));
  EXPECT_TRUE(read.NoAutoLoad);
  EXPECT_FALSE(read.ShowTrayWarning);
  EXPECT_EQ(settings.TempBackup, read.TempBackup);
  EXPECT_FALSE(read.ShowTempRootWarning);
  EXPECT_EQ(QStringLiteral("Русский"), read.Language);

  // While a language file is in use the stored language stays.
  settings.Language = QStringLiteral("My File Language");
  settings.NoAutoLoad = false;
  Ramdeck::WriteRegistrySettings(settings, true);
  Ramdeck::ReadRegistrySettings(read, QStringLiteral("English"));
  EXPECT_EQ(QStringLiteral("Русский"), read.Language);
  EXPECT_FALSE(read.NoAutoLoad);
}

TEST_F(Settings, IntegersInTextOrDwordsAndMalformedValues) {
  // Any non-zero integer is true, in text (with spaces) or as a DWORD.
  Set(u"NoAutoLoad", u" 2 ");
  SetDword(u"ShowTrayWarning", 0);
  SetDword(u"ShowTempRootWarning", 7);
  TRegistrySettings settings;
  Ramdeck::ReadRegistrySettings(settings, QStringLiteral("English"));
  EXPECT_TRUE(settings.NoAutoLoad);
  EXPECT_FALSE(settings.ShowTrayWarning);
  EXPECT_TRUE(settings.ShowTempRootWarning);

  // A value that is no integer, and a text stored as a number: each keeps
  // its default, the others are read all the same, and the caller learns.
  Set(u"NoAutoLoad", u"yes");
  SetDword(u"Language", 1);
  Set(u"TempBackup", u"R:\\Temp");
  QString message;
  try {
    Ramdeck::ReadRegistrySettings(settings, QStringLiteral("Italian"));
  } catch (const Ramdeck::Exception &e) {
    message = e.Message();
  }
  EXPECT_EQ(QStringLiteral("NoAutoLoad: The data is invalid."), message);
  EXPECT_FALSE(settings.NoAutoLoad);
  EXPECT_FALSE(settings.ShowTrayWarning);
  EXPECT_EQ(QStringLiteral("R:\\Temp"), settings.TempBackup);
  EXPECT_EQ(QStringLiteral("Italian"), settings.Language);
}

TEST_F(Settings, AWriteWithoutTheSystemFails) {
  ASSERT_EQ(0, daemon_.Stop());
  TRegistrySettings settings;
  EXPECT_THROW(Ramdeck::WriteRegistrySettings(settings, false), Ramdeck::Exception);
  ASSERT_TRUE(daemon_.Start()) << daemon_.Output();
}

}  // namespace
