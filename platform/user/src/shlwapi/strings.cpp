// String helpers of shlwapi that compare without regard to case.
#include "shlwapi.h"

namespace {

char16_t Upper(char16_t c) {
  if (c >= u'a' && c <= u'z') return char16_t(c - 32);
  // Latin-1 letters, as the system's case table maps them.
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return char16_t(c - 32);
  return c;
}

}  // namespace

extern "C" LPWSTR WINAPI StrStrIW(LPCWSTR pszFirst, LPCWSTR pszSrch) {
  if (!pszFirst || !pszSrch || !*pszSrch) return nullptr;
  for (LPCWSTR start = pszFirst; *start; ++start) {
    LPCWSTR a = start, b = pszSrch;
    while (*a && *b && Upper(*a) == Upper(*b)) ++a, ++b;
    if (!*b) return const_cast<LPWSTR>(start);
  }
  return nullptr;
}

extern "C" int WINAPI StrCmpNIW(LPCWSTR psz1, LPCWSTR psz2, int nChar) {
  if (nChar <= 0) return 0;
  if (!psz1 || !psz2) return psz1 == psz2 ? 0 : psz1 ? 1 : -1;
  for (int i = 0; i < nChar; ++i) {
    char16_t a = Upper(psz1[i]), b = Upper(psz2[i]);
    if (a != b) return a < b ? -1 : 1;
    if (!a) return 0;
  }
  return 0;
}
