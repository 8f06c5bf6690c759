// Folders by DIRID and the GUID text of INF files.
#include "platform/user/src/setupapi/setup_paths.h"

#include <cstdio>

namespace bw::setup {

std::u16string WindowsFolder() {
  WCHAR folder[MAX_PATH];
  UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return u"C:\\Windows";  // the system's own place
  return std::u16string(folder, length);
}

std::u16string InfStoreFolder() { return WindowsFolder() + u"\\INF"; }

bool DirIdFolder(unsigned dirId, std::u16string_view infFolder, std::u16string *folder) {
  switch (dirId) {
    case 1: *folder = std::u16string(infFolder); return true;
    case 10: *folder = WindowsFolder(); return true;
    case 11: *folder = WindowsFolder() + u"\\System32"; return true;
    case 12: *folder = WindowsFolder() + u"\\System32\\drivers"; return true;
    case 17: *folder = InfStoreFolder(); return true;
    case 24: *folder = WindowsFolder().substr(0, 2) + u"\\"; return true;
    default: return false;
  }
}

bool ParseGuid(std::u16string_view text, GUID *guid) {
  if (text.size() != 38 || text.front() != u'{' || text.back() != u'}') return false;
  std::string ascii;
  for (char16_t c : text) {
    if (c > 0x7F) return false;
    ascii += static_cast<char>(c);
  }
  static const int kDashes[] = {9, 14, 19, 24};
  for (int d : kDashes)
    if (ascii[d] != '-') return false;
  for (size_t i = 1; i < 37; ++i) {
    if (i == 9 || i == 14 || i == 19 || i == 24) continue;
    if (!isxdigit(static_cast<unsigned char>(ascii[i]))) return false;
  }
  unsigned d1, d2, d3, b[8];
  if (sscanf(ascii.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1],
             &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
    return false;
  guid->Data1 = d1;
  guid->Data2 = static_cast<uint16_t>(d2);
  guid->Data3 = static_cast<uint16_t>(d3);
  for (int i = 0; i < 8; ++i) guid->Data4[i] = static_cast<uint8_t>(b[i]);
  return true;
}

std::u16string FormatGuid(const GUID &g) {
  char text[40];
  snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2,
           g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
           g.Data4[6], g.Data4[7]);
  return std::u16string(text, text + 38);
}

std::u16string FolderOf(std::u16string_view path) {
  size_t cut = path.find_last_of(u"\\/");
  if (cut == std::u16string_view::npos) return u".";
  // "C:\a.inf" keeps the root's backslash.
  if (cut == 2 && path.size() > 1 && path[1] == u':') return std::u16string(path.substr(0, 3));
  return std::u16string(path.substr(0, cut));
}

std::u16string FileNameOf(std::u16string_view path) {
  size_t cut = path.find_last_of(u"\\/:");
  return std::u16string(cut == std::u16string_view::npos ? path : path.substr(cut + 1));
}

bool CopyOut(std::u16string_view text, PWSTR buffer, DWORD capacity, PDWORD required) {
  DWORD needed = static_cast<DWORD>(text.size() + 1);
  if (required) *required = needed;
  if (!buffer) {
    if (capacity) {
      SetLastError(ERROR_INVALID_USER_BUFFER);
      return false;
    }
    return true;
  }
  if (capacity < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return false;
  }
  memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
  buffer[text.size()] = 0;
  return true;
}

}  // namespace bw::setup
