// Character helpers of user32: the alphabetic test and upper-casing, of one
// character or of a string in place.
#include <windows.h>

#include <cwctype>

BOOL WINAPI IsCharAlphaW(WCHAR ch) { return iswalpha(static_cast<wint_t>(ch)) ? TRUE : FALSE; }

LPWSTR WINAPI CharUpperW(LPWSTR lpsz) {
  auto value = reinterpret_cast<ULONG_PTR>(lpsz);
  // A pointer whose high bits are zero is one character in its low word.
  if ((value >> 16) == 0) {
    auto upper = static_cast<WCHAR>(towupper(static_cast<wint_t>(value & 0xFFFF)));
    return reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(upper));
  }
  for (LPWSTR p = lpsz; *p; ++p) *p = static_cast<WCHAR>(towupper(static_cast<wint_t>(*p)));
  return lpsz;
}
