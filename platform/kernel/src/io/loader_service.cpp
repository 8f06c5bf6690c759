// ZwLoadDriver: loads the driver a service key names. ImagePath is an NT
// path ("\SystemRoot\System32\drivers\x.sys", or one through a drive
// letter); its symbolic links are followed to the host root's device,
// whose names are host paths.
#include "bw/user_session.h"
#include <ntifs.h>
#include "internal.h"
#include "config/registry.h"
#include "config/registry_store.h"
#include "ob/object.h"

namespace bw {

namespace {

const std::u16string kHostRoot = u"\\Device\\HostRoot";

// The target of the symbolic link `name`; false when it is none.
bool LinkTarget(const std::u16string &name, std::u16string *target) {
  UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2),
                      const_cast<PWCHAR>(name.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &text, OBJ_KERNEL_HANDLE | OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  HANDLE link = nullptr;
  if (!NT_SUCCESS(ZwOpenSymbolicLinkObject(&link, SYMBOLIC_LINK_QUERY, &attributes))) return false;
  WCHAR buffer[1024];
  UNICODE_STRING out{0, sizeof buffer, buffer};
  NTSTATUS status = ZwQuerySymbolicLinkObject(link, &out, nullptr);
  ZwClose(link);
  if (!NT_SUCCESS(status)) return false;
  target->assign(buffer, out.Length / 2);
  return true;
}

// The host path of an NT path that leads to the host root's device.
bool HostPathOfImage(std::u16string path, std::string *host) {
  // A relative image path is relative to the Windows folder.
  if (path.empty() || path[0] != u'\\') path = u"\\SystemRoot\\" + path;
  for (int depth = 0; depth < 16; ++depth) {
    if (path.size() > kHostRoot.size() && EqualNoCase(path.substr(0, kHostRoot.size()), kHostRoot) &&
        path[kHostRoot.size()] == u'\\') {
      std::u16string rest = path.substr(kHostRoot.size());
      for (auto &c : rest)
        if (c == u'\\') c = u'/';
      *host = ToUtf8(rest);
      return true;
    }
    // The longest leading link is replaced by its target.
    bool replaced = false;
    for (size_t cut = path.size(); cut > 1 && !replaced; cut = path.rfind(u'\\', cut - 1)) {
      std::u16string target;
      if (cut != std::u16string::npos && LinkTarget(path.substr(0, cut), &target)) {
        path = target + path.substr(cut);
        replaced = true;
      }
      if (cut == 0 || cut == std::u16string::npos) break;
    }
    if (!replaced) return false;
  }
  return false;
}

}  // namespace

}  // namespace bw

using namespace bw;

NTSTATUS ZwLoadDriver(PUNICODE_STRING DriverServiceName) {
  if (!DriverServiceName || !DriverServiceName->Buffer) return STATUS_INVALID_PARAMETER;
  std::u16string keyPath = ToU16(DriverServiceName);
  size_t cut = keyPath.rfind(u'\\');
  if (cut == std::u16string::npos || cut + 1 == keyPath.size()) return STATUS_INVALID_PARAMETER;
  std::u16string service = keyPath.substr(cut + 1);
  RegistryStore::KeyRef key;
  if (!NT_SUCCESS(Registry().OpenKey(nullptr, keyPath, &key))) return STATUS_OBJECT_NAME_NOT_FOUND;
  RegistryStore::Value image;
  if (!NT_SUCCESS(Registry().QueryValue(key, u"ImagePath", &image))) return STATUS_OBJECT_NAME_NOT_FOUND;
  std::u16string path(reinterpret_cast<const char16_t *>(image.data.data()), image.data.size() / 2);
  while (!path.empty() && path.back() == 0) path.pop_back();
  for (const auto &loaded : LoadedDrivers())
    if (EqualNoCase(loaded, service)) return STATUS_IMAGE_ALREADY_LOADED;
  std::string host;
  if (!HostPathOfImage(path, &host)) return STATUS_OBJECT_PATH_NOT_FOUND;
  return LoadDriver(host, service, nullptr);
}
