// DOS paths made NT paths, and the process's current directory.
// "\\?\X" is taken as it is ("\??\X"); "\\.\X" names a device ("\??\X");
// "R:" alone is the volume's device; "R:\a/b\..\c" is made full ("\??\R:\a\c":
// '/' is a separator, "." and ".." are resolved, repeated and trailing
// separators dropped, and so are the last name's trailing dots and spaces);
// anything else is relative to the current directory, "R:x" to the root of
// R:. A path that starts with a single backslash is an NT path already (this
// system's programs name devices so).
#include "platform/user/src/ntdll/nt_file.h"

#include <unistd.h>

#include <mutex>
#include <vector>

namespace bw::user {

namespace {

std::mutex gDirectoryLock;
std::u16string gCurrentDirectory;  // full DOS form, "Z:\tmp"; empty until first asked

bool IsLetter(char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); }

// At first the host's working directory, on drive Z: (the host's root).
std::u16string CurrentDirectory() {
  std::lock_guard<std::mutex> guard(gDirectoryLock);
  if (gCurrentDirectory.empty()) {
    std::vector<char> cwd(4096);
    std::u16string dir = u"Z:";
    if (getcwd(cwd.data(), cwd.size())) {
      // Host names are UTF-8; the folders this is used with are ASCII.
      for (const char *p = cwd.data(); *p; ++p)
        dir += *p == '/' ? u'\\' : static_cast<char16_t>(static_cast<unsigned char>(*p));
    }
    if (dir.size() == 2) dir += u'\\';
    gCurrentDirectory = dir;
  }
  return gCurrentDirectory;
}

// "R:" followed by components, each resolved.
std::u16string Normalize(std::u16string_view full) {
  std::u16string drive(full.substr(0, 2));
  std::vector<std::u16string_view> parts;
  bool endsInName = false;
  size_t i = 2;
  while (i <= full.size()) {
    size_t j = full.find(u'\\', i);
    if (j == std::u16string_view::npos) j = full.size();
    std::u16string_view part = full.substr(i, j - i);
    endsInName = false;
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
      endsInName = j == full.size();
    }
    i = j + 1;
  }
  // The last name loses its trailing dots and spaces, as Win32 has it: "a. ."
  // is "a". A separator after them keeps them.
  if (endsInName) {
    size_t kept = parts.back().find_last_not_of(u". ");
    if (kept == std::u16string_view::npos)
      parts.pop_back();
    else
      parts.back() = parts.back().substr(0, kept + 1);
  }
  std::u16string out = drive;
  for (auto part : parts) {
    out += u'\\';
    out += part;
  }
  if (parts.empty()) out += u'\\';
  return out;
}

}  // namespace

std::u16string FullDosPath(std::u16string_view path) {
  std::u16string p(path);
  for (auto &c : p)
    if (c == u'/') c = u'\\';
  if (p.size() >= 2 && IsLetter(p[0]) && p[1] == u':') {
    if (p.size() > 2 && p[2] == u'\\') return Normalize(p);
    std::u16string current = CurrentDirectory();
    if (current.size() >= 2 && (current[0] | 0x20) == (p[0] | 0x20))
      return Normalize(current + u'\\' + p.substr(2));
    return Normalize(p.substr(0, 2) + u'\\' + p.substr(2));
  }
  if (!p.empty() && p[0] == u'\\') return Normalize(CurrentDirectory().substr(0, 2) + p);
  return Normalize(CurrentDirectory() + u'\\' + p);
}

bool ToNtPath(LPCWSTR path, std::u16string *ntPath) {
  if (!path || !*path) return FailWith(ERROR_PATH_NOT_FOUND);
  std::u16string p(path);
  if (p.rfind(u"\\\\?\\", 0) == 0) {
    *ntPath = u"\\??\\" + p.substr(4);
    return true;
  }
  if (p.rfind(u"\\\\.\\", 0) == 0) {
    std::u16string rest = p.substr(4);
    for (auto &c : rest)
      if (c == u'/') c = u'\\';
    *ntPath = u"\\??\\" + rest;
    return true;
  }
  if (p[0] == u'\\' && (p.size() < 2 || p[1] != u'\\')) {
    *ntPath = p;
    return true;
  }
  if (p.size() == 2 && IsLetter(p[0]) && p[1] == u':') {
    *ntPath = u"\\??\\" + p;
    return true;
  }
  *ntPath = u"\\??\\" + FullDosPath(p);
  return true;
}

}  // namespace bw::user

using namespace bw::user;

DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
  std::u16string current = CurrentDirectory();
  if (nBufferLength <= current.size() || !lpBuffer) return static_cast<DWORD>(current.size() + 1);
  memcpy(lpBuffer, current.c_str(), (current.size() + 1) * sizeof(WCHAR));
  return static_cast<DWORD>(current.size());
}

BOOL WINAPI SetCurrentDirectoryW(LPCWSTR lpPathName) {
  if (!lpPathName || !*lpPathName) return FailWith(ERROR_INVALID_PARAMETER);
  std::u16string full = FullDosPath(lpPathName);
  DWORD attributes = GetFileAttributesW(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return FailWith(ERROR_DIRECTORY);
  std::lock_guard<std::mutex> guard(gDirectoryLock);
  gCurrentDirectory = full;
  return TRUE;
}
