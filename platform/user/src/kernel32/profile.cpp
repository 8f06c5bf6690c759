// GetPrivateProfileSectionW: the lines of one section of an initialization
// file. Each line comes back with its outer blanks gone and the blanks
// around its first equals sign dropped ("key=value"); lines that are
// comments (starting with ';') and blank lines are left out. Section names
// match without regard to case; the file is UTF-16 with its byte-order mark,
// UTF-8 or one byte per character.
#include "platform/user/src/setupapi/inf_file.h"

#include <string>
#include <vector>

using bw::inf::EqualNoCase;
using bw::inf::Trim;

namespace {

std::vector<std::u16string> SectionLines(std::u16string_view text, std::u16string_view name) {
  std::vector<std::u16string> lines;
  bool inside = false;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(u'\n', pos);
    if (end == std::u16string_view::npos) end = text.size();
    std::u16string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (!line.empty() && line.front() == u'[') {
      size_t close = line.find(u']');
      std::u16string section = Trim(std::u16string_view(line).substr(
          1, (close == std::u16string::npos ? line.size() : close) - 1));
      // The first section of the name is the one read.
      if (inside) break;
      inside = EqualNoCase(section, name);
      continue;
    }
    if (!inside || line.empty() || line.front() == u';') continue;
    size_t eq = line.find(u'=');
    if (eq != std::u16string::npos)
      line = Trim(std::u16string_view(line).substr(0, eq)) + u"=" +
             Trim(std::u16string_view(line).substr(eq + 1));
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace

extern "C" DWORD WINAPI GetPrivateProfileSectionW(LPCWSTR lpAppName, LPWSTR lpReturnedString,
                                                  DWORD nSize, LPCWSTR lpFileName) {
  if (!lpReturnedString || nSize == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  lpReturnedString[0] = 0;
  if (nSize > 1) lpReturnedString[1] = 0;
  if (!lpAppName || !lpFileName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string bytes;
  if (!bw::inf::ReadWholeFile(lpFileName, &bytes)) return 0;  // the open's error stays
  std::vector<std::u16string> lines = SectionLines(bw::inf::DecodeText(bytes), lpAppName);
  // Lines are copied while they fit with both terminators; one that does
  // not is cut, and the answer is then the buffer's size less two, as the
  // system reports a buffer too small.
  DWORD used = 0;
  for (const std::u16string &line : lines) {
    if (used + line.size() + 2 > nSize) {
      if (nSize < 2) return 0;
      DWORD room = nSize - 2 - used;
      memcpy(lpReturnedString + used, line.data(), room * sizeof(WCHAR));
      lpReturnedString[nSize - 2] = 0;
      lpReturnedString[nSize - 1] = 0;
      return nSize - 2;
    }
    memcpy(lpReturnedString + used, line.data(), line.size() * sizeof(WCHAR));
    used += static_cast<DWORD>(line.size());
    lpReturnedString[used++] = 0;
  }
  lpReturnedString[used] = 0;
  SetLastError(ERROR_SUCCESS);
  return used;
}
