// Environment variables and their expansion, and the user's default
// language from the host locale: calls that need no system running.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::u16string Expand(const char16_t *text, DWORD *count = nullptr) {
  WCHAR buffer[512];
  DWORD n = ExpandEnvironmentStringsW(text, buffer, 512);
  if (count) *count = n;
  return n && n <= 512 ? std::u16string(buffer) : std::u16string(u"<failed>");
}

TEST(Environment, VariablesAreSetReadAndRemovedWithoutRegardToCase) {
  ASSERT_TRUE(SetEnvironmentVariableW(u"BwTestVar", u"C:\\Temp"));
  WCHAR buffer[64];
  EXPECT_EQ(7u, GetEnvironmentVariableW(u"BWTESTVAR", buffer, 64));
  EXPECT_EQ(u"C:\\Temp", std::u16string(buffer));
  // Too small a buffer: the size with the terminator.
  EXPECT_EQ(8u, GetEnvironmentVariableW(u"bwtestvar", buffer, 7));
  EXPECT_EQ(8u, GetEnvironmentVariableW(u"bwtestvar", nullptr, 0));
  // The host environment is the process's: programs it starts inherit it.
  ASSERT_NE(nullptr, getenv("BwTestVar"));
  EXPECT_STREQ("C:\\Temp", getenv("BwTestVar"));
  // Setting under another spelling changes the same variable.
  ASSERT_TRUE(SetEnvironmentVariableW(u"BWTESTVAR", u"Ü"));
  EXPECT_STREQ("Ü", getenv("BwTestVar"));
  ASSERT_TRUE(SetEnvironmentVariableW(u"BwTestVar", nullptr));
  EXPECT_EQ(0u, GetEnvironmentVariableW(u"BwTestVar", buffer, 64));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND), GetLastError());
  EXPECT_FALSE(SetEnvironmentVariableW(u"A=B", u"x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(Environment, ExpansionReplacesKnownNamesAndKeepsTheRest) {
  unsetenv("WINDIR");
  unsetenv("windir");
  ASSERT_TRUE(SetEnvironmentVariableW(u"BwApp", u"tool"));
  DWORD count = 0;
  // Every process sees the system's folders.
  EXPECT_EQ(u"\"C:\\Windows\\notepad.exe\" C:\\a.txt", Expand(u"\"%WINDIR%\\notepad.exe\" C:\\a.txt", &count));
  EXPECT_EQ(34u, count);  // with the terminator
  EXPECT_EQ(u"C:", Expand(u"%SystemDrive%"));
  EXPECT_EQ(u"C:\\Windows", Expand(u"%systemroot%"));
  // Unknown names, a lone "%" and "%%" stay; the closing "%" of an unknown
  // name may open the next one.
  EXPECT_EQ(u"%NoSuchVar%\\x", Expand(u"%NoSuchVar%\\x"));
  EXPECT_EQ(u"50% off", Expand(u"50% off"));
  EXPECT_EQ(u"%%", Expand(u"%%"));
  EXPECT_EQ(u"%Nopetool tool", Expand(u"%Nope%BwApp% %BwApp%"));
  // A host variable set before wins over the defaults.
  setenv("WINDIR", "D:\\Win", 1);
  EXPECT_EQ(u"D:\\Win", Expand(u"%windir%"));
  unsetenv("WINDIR");

  // Too small a buffer: the count the whole text needs.
  WCHAR small[4];
  EXPECT_EQ(11u, ExpandEnvironmentStringsW(u"%WINDIR%", small, 4));
  EXPECT_EQ(11u, ExpandEnvironmentStringsW(u"%WINDIR%", nullptr, 0));
  EXPECT_EQ(0u, ExpandEnvironmentStringsW(nullptr, small, 4));
  SetEnvironmentVariableW(u"BwApp", nullptr);
}

TEST(Locale, TheHostLocaleGivesTheLanguage) {
  struct Case {
    const char *locale;
    LANGID id;
  };
  const Case cases[] = {
      {"ru_RU.UTF-8", 0x0419}, {"pt_BR", 0x0416},       {"pt_PT.UTF-8", 0x0816}, {"zh_TW.UTF-8", 0x0404},
      {"zh_CN", 0x0804},       {"de_AT", 0x0C07},       {"de_XX", 0x0407},       {"C", 0x0409},
      {"POSIX", 0x0409},       {"", 0x0409},            {"xx_YY", 0x0409},       {"fa_IR", 0x0429},
      {"sr_RS@latin", 0x241A}, {"sr_RS.UTF-8", 0x281A}, {"nb_NO", 0x0414},       {"ja_JP.eucJP", 0x0411},
  };
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  for (const Case &c : cases) {
    setenv("LANG", c.locale, 1);
    EXPECT_EQ(c.id, GetUserDefaultLangID()) << c.locale;
    EXPECT_EQ(static_cast<LCID>(c.id), GetUserDefaultLCID()) << c.locale;
  }
  // LC_ALL comes before LC_MESSAGES, which comes before LANG.
  setenv("LANG", "fr_FR", 1);
  setenv("LC_MESSAGES", "it_IT", 1);
  EXPECT_EQ(0x0410, GetUserDefaultLangID());
  setenv("LC_ALL", "ko_KR.UTF-8", 1);
  EXPECT_EQ(0x0412, GetUserDefaultLangID());
  EXPECT_EQ(LANG_CHINESE, PRIMARYLANGID(0x0804));
  EXPECT_EQ(SUBLANG_CHINESE_SIMPLIFIED, SUBLANGID(0x0804));
  unsetenv("LC_ALL");
  unsetenv("LC_MESSAGES");
  unsetenv("LANG");
}

}  // namespace
