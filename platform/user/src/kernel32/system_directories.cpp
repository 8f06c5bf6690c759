// GetSystemDirectoryW and GetWindowsDirectoryW: the system lives on drive C:
// (a folder of the daemon's root), its Windows folder at C:\Windows.
#include <windows.h>

namespace {

UINT Answer(const char16_t *folder, UINT length, LPWSTR buffer, UINT size) {
  // Too small (or no buffer): the size needed, terminator included, and
  // nothing written.
  if (!buffer || size <= length) return length + 1;
  memcpy(buffer, folder, (length + 1) * sizeof(WCHAR));
  return length;
}

}  // namespace

UINT WINAPI GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  static const char16_t kFolder[] = u"C:\\Windows\\System32";
  return Answer(kFolder, sizeof kFolder / 2 - 1, lpBuffer, uSize);
}

UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
  static const char16_t kFolder[] = u"C:\\Windows";
  return Answer(kFolder, sizeof kFolder / 2 - 1, lpBuffer, uSize);
}
