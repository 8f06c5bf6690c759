// The system drive under the machine root, so that setup finds the Windows
// folder, its INF store and the drivers folder as on Windows.
#include "platform/daemon/system_drive.h"

#include "bw/host.h"

#include <ntddk.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace bw {

namespace {

std::u16string Wide(const std::string &text) { return std::u16string(text.begin(), text.end()); }

NTSTATUS Link(const std::u16string &name, const std::u16string &target) {
  UNICODE_STRING link{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                      const_cast<PWCHAR>(name.data())};
  UNICODE_STRING to{static_cast<USHORT>(target.size() * 2), static_cast<USHORT>(target.size() * 2),
                    const_cast<PWCHAR>(target.data())};
  NTSTATUS status = IoCreateSymbolicLink(&link, &to);
  // A link the system made already stays as it is.
  return status == STATUS_OBJECT_NAME_COLLISION ? STATUS_SUCCESS : status;
}

}  // namespace

bool PrepareSystemDrive(const std::string &root, std::string *error) {
  char absolute[PATH_MAX];
  if (!realpath(root.c_str(), absolute)) {
    *error = "cannot resolve " + root + ": " + strerror(errno);
    return false;
  }
  std::string drive = std::string(absolute) + "/C";
  for (const char *folder : {"", "/Windows", "/Windows/INF", "/Windows/System32", "/Windows/System32/drivers"}) {
    std::string path = drive + folder;
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = "cannot create " + path + ": " + strerror(errno);
      return false;
    }
  }
  std::u16string target = u"\\Device\\HostRoot" + Wide(drive);
  for (auto &c : target)
    if (c == u'/') c = u'\\';
  if (!NT_SUCCESS(Link(u"\\??\\C:", target)) || !NT_SUCCESS(Link(u"\\SystemRoot", target + u"\\Windows"))) {
    *error = "cannot name the system drive";
    return false;
  }
  return true;
}

}  // namespace bw
