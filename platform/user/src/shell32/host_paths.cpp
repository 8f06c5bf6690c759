#include "platform/user/src/shell32/host_paths.h"

#include "platform/transport/wire.h"
#include "platform/user/src/client/host_text.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace bw::shell32 {

namespace {

// /proc/mounts writes space, tab, newline and backslash as octal escapes.
std::string Unescape(const std::string &field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      int value = 0;
      bool octal = true;
      for (size_t k = 1; k <= 3; ++k) {
        char c = field[i + k];
        if (c < '0' || c > '7') octal = false;
        value = value * 8 + (c - '0');
      }
      if (octal) {
        out += static_cast<char>(value);
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

// The host folder holding the drive's root.
bool DriveFolder(char16_t letter, std::string *folder, DWORD *error) {
  char16_t name[3] = {letter, u':', 0};
  std::vector<WCHAR> target(1024);
  if (!QueryDosDeviceW(name, target.data(), static_cast<DWORD>(target.size()))) {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  std::u16string device(target.data());
  if (device == u"\\Device\\HostSystemDrive") {
    std::string root = wire::DefaultRoot() + "/C";
    char resolved[PATH_MAX];
    *folder = realpath(root.c_str(), resolved) ? resolved : root;
    return true;
  }
  if (device == u"\\Device\\HostRoot") {
    folder->clear();
    return true;
  }
  *folder = LettermountFolder(letter);
  if (folder->empty()) {
    *error = ERROR_ACCESS_DENIED;
    return false;
  }
  return true;
}

// `base` + "/" + `name` in the host's spelling of the name: the entry
// spelled so if there is one, else the one that differs only in case (a
// folder that is itself case-blind, as lettermount's is, answers to any
// spelling, but its entries have one).
std::string Component(const std::string &base, const std::string &name) {
  std::string found;
  if (DIR *dir = opendir(base.empty() ? "/" : base.c_str())) {
    while (dirent *entry = readdir(dir)) {
      if (name == entry->d_name) {
        found = name;
        break;
      }
      if (found.empty() && strcasecmp(entry->d_name, name.c_str()) == 0) found = entry->d_name;
    }
    closedir(dir);
  }
  return base + "/" + (found.empty() ? name : found);
}

}  // namespace

std::string LettermountFolder(char16_t letter) {
  std::ifstream mounts("/proc/self/mounts");
  return LettermountFolder(letter, mounts);
}

std::string LettermountFolder(char16_t letter, std::istream &mounts) {
  char upper = static_cast<char>(letter >= u'a' && letter <= u'z' ? letter - 32 : letter);
  std::string source = std::string("lettermount-") + upper + ":";
  std::string line;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string what, where;
    if (!(fields >> what >> where)) continue;
    if (strcasecmp(Unescape(what).c_str(), source.c_str()) == 0) return Unescape(where);
  }
  return {};
}

bool HostPathOf(std::u16string_view path, std::string *host, DWORD *error) {
  if (path.substr(0, 4) == u"\\\\?\\") path.remove_prefix(4);
  bool lettered = path.size() >= 2 && path[1] == u':' &&
                  ((path[0] >= u'A' && path[0] <= u'Z') || (path[0] >= u'a' && path[0] <= u'z'));
  if (!lettered || (path.size() > 2 && path[2] != u'\\' && path[2] != u'/')) {
    *error = ERROR_PATH_NOT_FOUND;
    return false;
  }
  std::string folder;
  if (!DriveFolder(path[0], &folder, error)) return false;
  // Components, "." and ".." resolved within the drive.
  std::vector<std::u16string_view> parts;
  size_t i = 3;
  while (i < path.size()) {
    size_t j = path.find_first_of(u"\\/", i);
    if (j == std::u16string_view::npos) j = path.size();
    std::u16string_view part = path.substr(i, j - i);
    if (part == u"..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != u".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out = folder;
  for (auto part : parts) out = Component(out, user::ToHost(part));
  *host = out.empty() ? "/" : out;
  return true;
}

}  // namespace bw::shell32
