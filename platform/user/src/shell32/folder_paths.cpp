// SHGetSpecialFolderPathW: the folders the system's programs keep their data
// in. All lie on the system drive C: (under the daemon's root); the common
// application-data folder is made when missing, since every Windows has it.
#include <shlobj.h>

#include <pwd.h>
#include <unistd.h>

#include <string>

namespace {

// The host user's name, as the account name under C:\Users.
std::u16string UserName() {
  std::string name;
  if (passwd *entry = getpwuid(getuid())) name = entry->pw_name;
  if (name.empty()) name = "user";
  return std::u16string(name.begin(), name.end());
}

// Makes the folder and its missing parents; true when it exists then.
bool MakeFolders(const std::u16string &path) {
  for (size_t at = path.find(u'\\', 3);; at = path.find(u'\\', at + 1)) {
    std::u16string part = path.substr(0, at);
    if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) return false;
    if (at == std::u16string::npos) return true;
  }
}

}  // namespace

BOOL WINAPI SHGetSpecialFolderPathW(HWND, LPWSTR pszPath, int csidl, BOOL fCreate) {
  if (!pszPath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  bool create = fCreate || (csidl & CSIDL_FLAG_CREATE);
  std::u16string path;
  switch (csidl & ~CSIDL_FLAG_CREATE) {
    case CSIDL_COMMON_APPDATA:
      path = u"C:\\ProgramData";
      create = true;
      break;
    case CSIDL_APPDATA:
      path = u"C:\\Users\\" + UserName() + u"\\AppData\\Roaming";
      break;
    case CSIDL_LOCAL_APPDATA:
      path = u"C:\\Users\\" + UserName() + u"\\AppData\\Local";
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return FALSE;
  }
  if (path.size() >= MAX_PATH) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return FALSE;
  }
  if (create) {
    if (!MakeFolders(path)) return FALSE;
  } else if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    return FALSE;
  }
  memcpy(pszPath, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
  return TRUE;
}
