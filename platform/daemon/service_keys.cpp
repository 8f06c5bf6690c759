// The service control manager's view of the registry and the loader.
#include "platform/daemon/service_keys.h"

#include "bw/user_session.h"
#include "nt/status_list.h"
#include "platform/daemon/registry_key.h"

namespace bw {

namespace {
char16_t Upper(char16_t c) { return c >= u'a' && c <= u'z' ? c - 32 : c; }
}  // namespace

bool SameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

std::u16string ServiceKeyPath(const std::u16string &name) { return kServicesKey + u"\\" + name; }

std::vector<std::u16string> ServiceNames() {
  RegistryKey services;
  if (!NT_SUCCESS(services.Open(kServicesKey))) return {};
  return services.Subkeys();
}

bool FindServiceKey(const std::u16string &name, std::u16string *stored) {
  for (const std::u16string &n : ServiceNames())
    if (SameName(n, name)) {
      // A key without a Type is no service (a driver loaded by hand keeps
      // its key for its parameters), as the manager's database skips it.
      RegistryKey key;
      ULONG type = 0;
      if (!NT_SUCCESS(key.Open(ServiceKeyPath(n))) || !key.Dword(u"Type", &type)) return false;
      *stored = n;
      return true;
    }
  return false;
}

bool ServiceRunning(const std::u16string &name) {
  for (const std::u16string &loaded : LoadedDrivers())
    if (SameName(loaded, name)) return true;
  return false;
}

std::u16string DriverImagePath(const std::u16string &path) {
  static const std::u16string kWindows = u"C:\\Windows\\";
  if (path.size() > kWindows.size() && SameName(std::u16string_view(path).substr(0, kWindows.size()), kWindows))
    return u"\\SystemRoot\\" + path.substr(kWindows.size());
  if (path.size() >= 3 && path[1] == u':' && path[2] == u'\\') return u"\\??\\" + path;
  return path;
}

uint32_t Win32ErrorOf(NTSTATUS status) {
#define BW_TRANSLATE(name, value, error) \
  if (static_cast<uint32_t>(status) == static_cast<uint32_t>(value)) return error;
  BW_STATUS_LIST(BW_TRANSLATE)
#undef BW_TRANSLATE
  return 317;  // ERROR_MR_MID_NOT_FOUND, as the system's translation answers an unknown status
}

}  // namespace bw
