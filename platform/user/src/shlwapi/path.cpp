// Path helpers of shlwapi: joining with "." and ".." resolved, within
// MAX_PATH, the file-name part, and whether a path exists.
#include "shlwapi.h"

#include <string>
#include <vector>

namespace {

bool IsSeparator(char16_t c) { return c == u'\\'; }

// "C:\", "\\server\share\" or "\" prefix that ".." never climbs above.
size_t RootLength(const std::u16string &path) {
  if (path.size() >= 2 && path[1] == u':') return path.size() >= 3 && IsSeparator(path[2]) ? 3 : 2;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    size_t server = path.find(u'\\', 2);
    if (server == std::u16string::npos) return path.size();
    size_t share = path.find(u'\\', server + 1);
    return share == std::u16string::npos ? path.size() : share + 1;
  }
  return !path.empty() && IsSeparator(path[0]) ? 1 : 0;
}

// Resolves "." and ".." components, as PathCanonicalize does.
std::u16string Canonical(const std::u16string &path) {
  size_t root = RootLength(path);
  std::vector<std::u16string> parts;
  size_t i = root;
  bool trailing = !path.empty() && path.size() > root && IsSeparator(path.back());
  while (i < path.size()) {
    size_t end = path.find(u'\\', i);
    if (end == std::u16string::npos) end = path.size();
    std::u16string part = path.substr(i, end - i);
    i = end + 1;
    if (part == u".") continue;
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    if (!part.empty()) parts.push_back(part);
  }
  std::u16string out = path.substr(0, root);
  for (size_t k = 0; k < parts.size(); ++k) {
    if (k) out += u'\\';
    out += parts[k];
  }
  if (trailing && !parts.empty()) out += u'\\';
  if (out.empty()) out = u"\\";
  return out;
}

std::u16string Text(LPCWSTR s) { return s ? std::u16string(s) : std::u16string(); }

}  // namespace

extern "C" LPWSTR WINAPI PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile) {
  if (!pszDest) return nullptr;
  if (!pszDir && !pszFile) {
    pszDest[0] = 0;
    return nullptr;
  }
  std::u16string dir = Text(pszDir), file = Text(pszFile), joined;
  // A file that is a full path ("C:\x", "\\s\x") or rooted ("\x") replaces
  // the folder, or keeps only its drive.
  if (file.size() >= 2 && (file[1] == u':' || (IsSeparator(file[0]) && IsSeparator(file[1])))) {
    joined = file;
  } else if (!file.empty() && IsSeparator(file[0])) {
    joined = (dir.size() >= 2 && dir[1] == u':' ? dir.substr(0, 2) : std::u16string()) + file;
  } else if (dir.empty()) {
    joined = file;
  } else if (file.empty()) {
    joined = dir;
  } else {
    joined = dir;
    if (!IsSeparator(joined.back())) joined += u'\\';
    joined += file;
  }
  std::u16string result = Canonical(joined);
  if (result.size() >= MAX_PATH) {
    pszDest[0] = 0;
    return nullptr;
  }
  memcpy(pszDest, result.data(), result.size() * sizeof(WCHAR));
  pszDest[result.size()] = 0;
  return pszDest;
}

extern "C" BOOL WINAPI PathAppendW(LPWSTR pszPath, LPCWSTR pszMore) {
  if (!pszPath || !pszMore) return FALSE;
  // The appended part is always taken as relative: its leading
  // backslashes go, unlike PathCombineW's rooted file names.
  std::u16string more = pszMore;
  if (!(more.size() >= 2 && IsSeparator(more[0]) && IsSeparator(more[1])))
    while (!more.empty() && IsSeparator(more[0])) more.erase(0, 1);
  WCHAR result[MAX_PATH];
  std::u16string path(pszPath);
  if (!PathCombineW(result, path.empty() ? nullptr : path.c_str(), more.c_str())) return FALSE;
  memcpy(pszPath, result, (std::char_traits<char16_t>::length(result) + 1) * sizeof(WCHAR));
  return TRUE;
}

extern "C" LPWSTR WINAPI PathFindFileNameW(LPCWSTR pszPath) {
  if (!pszPath) return nullptr;
  LPCWSTR name = pszPath;
  for (LPCWSTR p = pszPath; *p; ++p)
    // A separator at the very end does not start a name: "C:\a\" gives "a\".
    if ((*p == u'\\' || *p == u':' || *p == u'/') && p[1] && p[1] != u'\\' && p[1] != u'/')
      name = p + 1;
  return const_cast<LPWSTR>(name);
}

extern "C" BOOL WINAPI PathFileExistsW(LPCWSTR pszPath) {
  if (!pszPath) return FALSE;
  return GetFileAttributesW(pszPath) != INVALID_FILE_ATTRIBUTES;
}
