// Loading and unloading a driver by its service key, as ZwLoadDriver does:
// the key names the image (ImagePath) and says what the service is (Type);
// the image is a file of the system's volumes, here one that lies on a host
// folder (drive C: or Z:), loaded with the loader of loader.cpp.
#include "bw/host.h"
#include "bw/user_session.h"
#include "config/registry.h"
#include "config/registry_store.h"
#include "hostfs/hostfs.h"
#include "internal.h"
#include "io/io_internal.h"

#include <wdm.h>

#include <string>

namespace bw {

PDRIVER_OBJECT ReferenceLoadedDriver(std::u16string_view service);

namespace {

constexpr std::u16string_view kServices = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\";
constexpr ULONG kKernelDriver = 1, kFileSystemDriver = 2;

// The service name of a key path "\Registry\Machine\System\CurrentControlSet\Services\<name>".
bool ServiceNameOf(PUNICODE_STRING keyPath, std::u16string *name) {
  if (!keyPath || !keyPath->Buffer) return false;
  std::u16string path = ToU16(keyPath);
  if (path.size() <= kServices.size() ||
      !RegistryStore::NamesEqual(std::u16string_view(path).substr(0, kServices.size() - 1),
                                 kServices.substr(0, kServices.size() - 1)) ||
      path[kServices.size() - 1] != u'\\')
    return false;
  *name = path.substr(kServices.size());
  return !name->empty() && name->find(u'\\') == std::u16string::npos;
}

std::u16string StringValue(const RegistryStore::KeyRef &key, std::u16string_view name, bool *found) {
  RegistryStore::Value value;
  *found = NT_SUCCESS(Registry().QueryValue(key, name, &value)) &&
           (value.type == kRegSz || value.type == kRegExpandSz);
  if (!*found) return {};
  std::u16string text(reinterpret_cast<const char16_t *>(value.data.data()), value.data.size() / 2);
  while (!text.empty() && text.back() == 0) text.pop_back();
  return text;
}

// The NT path of the image: ImagePath as it is when it starts with a
// backslash ("\SystemRoot\...", "\??\C:\..."), else relative to
// \SystemRoot; without one, \SystemRoot\System32\drivers\<name>.sys.
std::u16string ImagePathOf(const RegistryStore::KeyRef &key, const std::u16string &service) {
  bool found = false;
  std::u16string image = StringValue(key, u"ImagePath", &found);
  if (!found || image.empty()) return u"\\SystemRoot\\System32\\drivers\\" + service + u".sys";
  if (image[0] == u'\\') return image;
  return u"\\SystemRoot\\" + image;
}

// The host file behind an NT path: the image must lie on a host folder's
// volume, since the host loads it from there.
NTSTATUS HostFileOf(const std::u16string &ntPath, std::string *hostPath) {
  UNICODE_STRING name{static_cast<USHORT>(ntPath.size() * 2), static_cast<USHORT>(ntPath.size() * 2),
                      const_cast<PWCHAR>(ntPath.data())};
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  HANDLE handle = nullptr;
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status = ZwCreateFile(&handle, FILE_READ_DATA | SYNCHRONIZE, &attributes, &iosb, nullptr,
                                 0, FILE_SHARE_READ, FILE_OPEN,
                                 FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
  if (!NT_SUCCESS(status)) return status;
  PFILE_OBJECT file = nullptr;
  status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, KernelMode,
                                     reinterpret_cast<PVOID *>(&file), nullptr);
  if (NT_SUCCESS(status)) {
    {
      std::lock_guard<std::mutex> guard(HostFsLock());
      HostOpen *open = IsHostFile(file) ? OpenOf(file) : nullptr;
      if (open)
        *hostPath = open->path;
      else
        status = STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    ObfDereferenceObject(file);
  }
  ZwClose(handle);
  return status;
}

}  // namespace

NTSTATUS LoadServiceDriver(std::u16string_view service, std::string *error) {
  std::u16string name(service);
  RegistryStore::KeyRef key;
  NTSTATUS status = Registry().OpenKey(nullptr, std::u16string(kServices) + name, &key);
  if (!NT_SUCCESS(status)) {
    if (error) *error = "the service has no key";
    return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  RegistryStore::Value type;
  if (!NT_SUCCESS(Registry().QueryValue(key, u"Type", &type)) || type.type != kRegDword ||
      type.data.size() != sizeof(ULONG)) {
    if (error) *error = "the service key has no Type";
    return STATUS_DRIVER_UNABLE_TO_LOAD;
  }
  ULONG kind = 0;
  memcpy(&kind, type.data.data(), sizeof kind);
  if (kind != kKernelDriver && kind != kFileSystemDriver) {
    if (error) *error = "the service is not a driver";
    return STATUS_INVALID_IMAGE_FORMAT;
  }
  if (PDRIVER_OBJECT loaded = ReferenceLoadedDriver(name)) {
    ObfDereferenceObject(loaded);
    if (error) *error = "the driver is already loaded";
    return STATUS_IMAGE_ALREADY_LOADED;
  }
  std::string hostPath;
  status = HostFileOf(ImagePathOf(key, name), &hostPath);
  if (!NT_SUCCESS(status)) {
    if (error) *error = "cannot open the driver's image: " + StatusText(status);
    return status;
  }
  return LoadDriver(hostPath, name, error);
}

NTSTATUS UnloadServiceDriver(std::u16string_view service) {
  PDRIVER_OBJECT driver = ReferenceLoadedDriver(service);
  if (!driver) return STATUS_OBJECT_NAME_NOT_FOUND;
  // A driver without an unload routine stays; so does a Plug and Play
  // driver while it has devices, which go with their devnodes first.
  bool refuse = !driver->DriverUnload ||
                (driver->DriverExtension && driver->DriverExtension->AddDevice &&
                 driver->DeviceObject);
  ObfDereferenceObject(driver);
  if (refuse) return STATUS_INVALID_DEVICE_REQUEST;
  return UnloadDriver(service);
}

}  // namespace bw

using namespace bw;

NTSTATUS ZwLoadDriver(PUNICODE_STRING DriverServiceName) {
  std::u16string service;
  if (!ServiceNameOf(DriverServiceName, &service)) return STATUS_OBJECT_NAME_NOT_FOUND;
  return LoadServiceDriver(service, nullptr);
}

NTSTATUS ZwUnloadDriver(PUNICODE_STRING DriverServiceName) {
  std::u16string service;
  if (!ServiceNameOf(DriverServiceName, &service)) return STATUS_OBJECT_NAME_NOT_FOUND;
  RegistryStore::KeyRef key;
  if (!NT_SUCCESS(Registry().OpenKey(nullptr, std::u16string(kServices) + service, &key)))
    return STATUS_OBJECT_NAME_NOT_FOUND;
  return UnloadServiceDriver(service);
}
