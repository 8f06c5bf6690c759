// The INF store in the Windows folder.
#include "platform/user/src/setupapi/inf_store.h"

#include "platform/user/src/setupapi/inf_file.h"
#include "platform/user/src/setupapi/setup_paths.h"

#include <set>

namespace bw::setup {

bool IsOemInfName(std::u16string_view name) {
  // At most nine digits: every name stands for a number.
  if (name.size() < 8 || name.size() > 16 || !inf::EqualNoCase(name.substr(0, 3), u"oem") ||
      !inf::EqualNoCase(name.substr(name.size() - 4), u".inf"))
    return false;
  for (size_t i = 3; i < name.size() - 4; ++i)
    if (name[i] < u'0' || name[i] > u'9') return false;
  return true;
}

std::vector<std::u16string> StoredInfs() {
  std::vector<std::u16string> names;
  WIN32_FIND_DATAW found;
  std::u16string pattern = InfStoreFolder() + u"\\oem*.inf";
  HANDLE search = FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsOemInfName(found.cFileName))
      names.emplace_back(found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

bool ReplaceFile(const std::u16string &source, const std::u16string &target) {
  std::string wanted, present;
  if (!inf::ReadWholeFile(source.c_str(), &wanted)) return false;
  if (inf::ReadWholeFile(target.c_str(), &present) && present == wanted) return true;
  std::u16string fresh = target + u".new";
  if (!CopyFileW(source.c_str(), fresh.c_str(), FALSE)) return false;
  if (!MoveFileExW(fresh.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    DWORD error = GetLastError();
    DeleteFileW(fresh.c_str());
    SetLastError(error);
    return false;
  }
  return true;
}

bool PlaceInStore(LPCWSTR source, std::u16string *name) {
  std::string bytes;
  if (!inf::ReadWholeFile(source, &bytes)) return false;
  std::set<unsigned> used;
  for (const auto &stored : StoredInfs()) {
    std::string other;
    std::u16string path = InfStoreFolder() + u"\\" + stored;
    if (inf::ReadWholeFile(path.c_str(), &other) && other == bytes) {
      *name = stored;
      return true;
    }
    used.insert(static_cast<unsigned>(std::stoul(std::string(stored.begin() + 3, stored.end() - 4))));
  }
  unsigned n = 0;
  while (used.count(n)) ++n;
  std::string number = std::to_string(n);
  *name = u"oem" + std::u16string(number.begin(), number.end()) + u".inf";
  return CopyFileW(source, (InfStoreFolder() + u"\\" + *name).c_str(), TRUE) != FALSE;
}

}  // namespace bw::setup
