// String helpers of kernel32: length and comparison without regard to case,
// character by character as the user's locale upper-cases them.
#include <windows.h>

#include <cwctype>

int WINAPI lstrlenW(LPCWSTR lpString) {
  if (!lpString) return 0;
  int n = 0;
  while (lpString[n]) ++n;
  return n;
}

int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
  // A null string sorts before every other, as an empty one would.
  if (!lpString1 || !lpString2) return lpString1 == lpString2 ? 0 : (lpString1 ? 1 : -1);
  for (size_t i = 0;; ++i) {
    wint_t a = towupper(static_cast<wint_t>(lpString1[i]));
    wint_t b = towupper(static_cast<wint_t>(lpString2[i]));
    if (a != b) return a < b ? -1 : 1;
    if (a == 0) return 0;
  }
}
