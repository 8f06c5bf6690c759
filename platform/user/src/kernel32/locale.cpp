// The user's default locale, from the host user's: LC_ALL, else
// LC_MESSAGES, else LANG ("ru_RU.UTF-8", "pt_BR", "sr_RS@latin"), as the
// language identifier Windows gives that locale. C, POSIX, an unset locale
// and a language the table lacks are English (United States).
#include <windows.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace {

struct Locale {
  const char *language;  // ISO 639
  const char *country;   // ISO 3166, "" for the language's default
  LANGID id;
};

// The language's default first, then the countries that differ from it.
constexpr Locale kLocales[] = {
    {"ar", "", 0x0401},    {"ar", "EG", 0x0C01},  {"bg", "", 0x0402},    {"ca", "", 0x0403},
    {"zh", "", 0x0804},    {"zh", "CN", 0x0804},  {"zh", "TW", 0x0404},  {"zh", "HK", 0x0C04},
    {"zh", "SG", 0x1004},  {"zh", "MO", 0x1404},  {"cs", "", 0x0405},    {"da", "", 0x0406},
    {"de", "", 0x0407},    {"de", "CH", 0x0807},  {"de", "AT", 0x0C07},  {"el", "", 0x0408},
    {"en", "", 0x0409},    {"en", "GB", 0x0809},  {"en", "AU", 0x0C09},  {"en", "CA", 0x1009},
    {"es", "", 0x0C0A},    {"es", "MX", 0x080A},  {"fi", "", 0x040B},    {"fr", "", 0x040C},
    {"fr", "BE", 0x080C},  {"fr", "CA", 0x0C0C},  {"fr", "CH", 0x100C},  {"he", "", 0x040D},
    {"hu", "", 0x040E},    {"is", "", 0x040F},    {"it", "", 0x0410},    {"it", "CH", 0x0810},
    {"ja", "", 0x0411},    {"ko", "", 0x0412},    {"nl", "", 0x0413},    {"nl", "BE", 0x0813},
    {"nb", "", 0x0414},    {"no", "", 0x0414},    {"nn", "", 0x0814},    {"pl", "", 0x0415},
    {"pt", "", 0x0816},    {"pt", "BR", 0x0416},  {"ro", "", 0x0418},    {"ru", "", 0x0419},
    {"hr", "", 0x041A},    {"sk", "", 0x041B},    {"sq", "", 0x041C},    {"sv", "", 0x041D},
    {"sv", "FI", 0x081D},  {"th", "", 0x041E},    {"tr", "", 0x041F},    {"ur", "", 0x0420},
    {"id", "", 0x0421},    {"uk", "", 0x0422},    {"be", "", 0x0423},    {"sl", "", 0x0424},
    {"et", "", 0x0425},    {"lv", "", 0x0426},    {"lt", "", 0x0427},    {"fa", "", 0x0429},
    {"vi", "", 0x042A},    {"hy", "", 0x042B},    {"mk", "", 0x042F},    {"ka", "", 0x0437},
    {"hi", "", 0x0439},    {"ms", "", 0x043E},    {"kk", "", 0x043F},    {"sr", "", 0x281A},
    {"sr", "latin", 0x241A}, {"bs", "", 0x141A},
};

constexpr LANGID kEnglishUnitedStates = 0x0409;

std::string_view HostLocale() {
  for (const char *variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char *value = getenv(variable);
    if (value && *value) return value;
  }
  return {};
}

LANGID LanguageOf(std::string_view locale) {
  // language[_COUNTRY][.charset][@modifier]
  size_t at = locale.find('@');
  std::string_view modifier = at == std::string_view::npos ? "" : locale.substr(at + 1);
  locale = locale.substr(0, at);
  locale = locale.substr(0, locale.find('.'));
  size_t underscore = locale.find('_');
  std::string_view language = locale.substr(0, underscore);
  std::string_view country = underscore == std::string_view::npos ? "" : locale.substr(underscore + 1);
  if (language.empty() || language == "C" || language == "POSIX") return kEnglishUnitedStates;
  // Serbian in Latin letters is told by the modifier.
  if (language == "sr" && modifier == "latin") country = "latin";
  const Locale *fallback = nullptr;
  for (const Locale &entry : kLocales) {
    if (language != entry.language) continue;
    if (country == entry.country) return entry.id;
    if (!*entry.country && !fallback) fallback = &entry;
  }
  return fallback ? fallback->id : kEnglishUnitedStates;
}

}  // namespace

LANGID WINAPI GetUserDefaultLangID(VOID) { return LanguageOf(HostLocale()); }

// The sort order is always the default one.
LCID WINAPI GetUserDefaultLCID(VOID) { return MAKELCID(GetUserDefaultLangID(), SORT_DEFAULT); }

LANGID WINAPI GetUserDefaultUILanguage(VOID) { return GetUserDefaultLangID(); }
