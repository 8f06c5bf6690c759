// Driver loading: a driver is a shared object exporting DriverEntry, loaded
// the way the system loads a .sys file for its service.
#include "bw/host.h"
#include "bw/user_session.h"
#include "internal.h"
#include "io/io_internal.h"
#include "ps/process.h"
#include "config/registry.h"
#include "config/registry_store.h"
#include "pnp/pnp_internal.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <thread>
#include <vector>

namespace bw {

PDRIVER_OBJECT CreateDriverObject(std::u16string_view serviceName);

namespace {

struct LoadedDriver {
  std::u16string service;
  void *module;
  PDRIVER_OBJECT driver;
  int image;         // the private copy the module was loaded from, or -1
  std::string path;  // the file it was copied from
};

std::mutex gLoaderLock;
std::vector<LoadedDriver> gDrivers;

// Runs `call` on a fresh thread of the system process, as the system runs
// DriverEntry and unload routines in its own worker threads.
template <typename F>
void RunInSystemThread(F call) {
  std::thread worker([&] {
    PKTHREAD thread = CreateThreadObject(SystemProcess(), 0, true);
    {
      ThreadContext context(thread);
      call();
    }
    TerminateThreadObject(thread, STATUS_SUCCESS);
    ObfDereferenceObject(thread);
  });
  worker.join();
}

// Windows reads a driver's image into memory, so its file may be replaced
// while it runs (an installation copies a new one over it). A shared object
// stays mapped from its file instead, so the module is loaded from a
// private copy that nothing can change under the running code. The copy
// stays open while the module is loaded: its path names it to the dynamic
// loader, which would take a name it knows for the module it already has.
void *LoadPrivateImage(const std::string &path, int *image) {
  *image = -1;
  // A library the process already has (no driver, then) is not loaded twice.
  if (void *present = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD)) return present;
  int source = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (source < 0) return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);  // dlerror() tells why
  std::string name = path.substr(path.rfind('/') + 1);
  int copy = memfd_create(name.c_str(), MFD_CLOEXEC);
  bool copied = copy >= 0;
  char buffer[1 << 16];
  for (ssize_t n; copied && (n = read(source, buffer, sizeof buffer)) != 0;) {
    if (n < 0 || write(copy, buffer, static_cast<size_t>(n)) != n) copied = false;
  }
  close(source);
  if (!copied) {
    if (copy >= 0) close(copy);
    return dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  void *module = dlopen(("/proc/self/fd/" + std::to_string(copy)).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module) {
    *image = copy;
  } else {
    close(copy);
  }
  return module;
}

void UnloadImage(void *module, int image) {
  dlclose(module);
  if (image >= 0) close(image);
}

}  // namespace

void *LoadedDriverModule(const std::string &modulePath) {
  std::lock_guard<std::mutex> guard(gLoaderLock);
  for (auto &d : gDrivers)
    if (d.path == modulePath) return d.module;
  return nullptr;
}

NTSTATUS LoadDriver(const std::string &modulePath, std::u16string_view serviceName,
                    std::string *error) {
  std::lock_guard<std::mutex> guard(gLoaderLock);
  for (auto &d : gDrivers)
    if (EqualNoCase(d.service, serviceName)) {
      if (error) *error = "the driver is already loaded";
      return STATUS_IMAGE_ALREADY_LOADED;
    }
  int image = -1;
  void *module = LoadPrivateImage(modulePath, &image);
  if (!module) {
    if (error) *error = std::string("cannot load ") + modulePath + ": " + dlerror();
    return STATUS_DRIVER_UNABLE_TO_LOAD;
  }
  auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(module, "DriverEntry"));
  if (!entry) {
    if (error) *error = modulePath + " does not export DriverEntry";
    UnloadImage(module, image);
    return STATUS_PROCEDURE_NOT_FOUND;
  }
  PDRIVER_OBJECT driver = CreateDriverObject(serviceName);
  if (!driver) {
    UnloadImage(module, image);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  NTSTATUS status = InsertObject(driver->DriverName.Buffer, driver);
  if (!NT_SUCCESS(status)) {
    ObfDereferenceObject(driver);
    UnloadImage(module, image);
    if (error) *error = "the driver object name is taken";
    return status;
  }
  driver->DriverInit = entry;
  driver->DriverStart = module;
  std::u16string registryPath =
      u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(serviceName);
  // A loaded driver always has its service key.
  {
    RegistryStore::KeyRef key;
    NTSTATUS keyStatus = Registry().CreateKey(nullptr, registryPath, &key);
    if (!NT_SUCCESS(keyStatus)) {
      if (error) *error = "cannot create the service key: " + StatusText(keyStatus);
      RemoveObject(driver);
      ObfDereferenceObject(driver);
      UnloadImage(module, image);
      return keyStatus;
    }
  }
  UNICODE_STRING path;
  path.Buffer = registryPath.data();
  path.Length = static_cast<USHORT>(registryPath.size() * sizeof(WCHAR));
  path.MaximumLength = path.Length;
  RunInSystemThread([&] { status = entry(driver, &path); });
  if (!NT_SUCCESS(status)) {
    if (error) *error = "DriverEntry failed with " + StatusText(status);
    if (driver->DeviceObject)
      KernelFault("a driver whose DriverEntry failed left device objects behind");
    RemoveObject(driver);
    ObfDereferenceObject(driver);
    UnloadImage(module, image);
    return status;
  }
  gDrivers.push_back(LoadedDriver{std::u16string(serviceName), module, driver, image, modulePath});
  // Devices that waited for this service get it now.
  PnpDriverLoaded(serviceName);
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT ReferenceLoadedDriver(std::u16string_view service) {
  std::lock_guard<std::mutex> guard(gLoaderLock);
  for (auto &d : gDrivers)
    if (EqualNoCase(d.service, service)) {
      ObfReferenceObject(d.driver);
      return d.driver;
    }
  return nullptr;
}

NTSTATUS UnloadDriver(std::u16string_view serviceName) {
  PDRIVER_OBJECT unloading = nullptr;
  {
    std::lock_guard<std::mutex> guard(gLoaderLock);
    for (auto &d : gDrivers)
      if (EqualNoCase(d.service, serviceName)) unloading = d.driver;
    if (!unloading) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!unloading->DriverUnload) return STATUS_INVALID_DEVICE_REQUEST;
  }
  // As Windows unloads a PnP driver only once its devices are removed, the
  // devnodes whose stacks hold its devices are removed first.
  PnpDriverUnloading(unloading);
  LoadedDriver loaded{};
  {
    std::lock_guard<std::mutex> guard(gLoaderLock);
    auto it = gDrivers.begin();
    for (; it != gDrivers.end(); ++it)
      if (it->driver == unloading) break;
    if (it == gDrivers.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    loaded = *it;
    gDrivers.erase(it);
  }
  PDRIVER_OBJECT driver = loaded.driver;
  RunInSystemThread([&] { driver->DriverUnload(driver); });
  if (driver->DeviceObject) KernelFault("driver unloaded with device objects left");
  // The image stays until work items its unload could not wait for are done.
  WaitForDriverWorkItems(driver);
  // A device of it that was deleted but is still referenced (another
  // driver's open file on it, say) still sends its last requests to the
  // driver's routines: its image stays mapped for the rest of the run.
  bool imageInUse = LiveDeviceObjects(driver) != 0;
  RemoveObject(driver);
  ObfDereferenceObject(driver);
  if (!imageInUse) UnloadImage(loaded.module, loaded.image);
  return STATUS_SUCCESS;
}

namespace {

struct SystemDriver {
  const char *file;
  const char16_t *service;
};
// In load order: file systems mount volumes the mount manager has named;
// the last file system loaded is asked first, so NTFS before FAT before
// raw. The disk class driver is there before any bus reports a disk.
constexpr SystemDriver kSystemDrivers[] = {{"mountmgr.sys", u"MountMgr"},
                                           {"raw.sys", u"RAW"},
                                           {"fat.sys", u"FastFat"},
                                           {"ntfs.sys", u"Ntfs"},
                                           {"disk.sys", u"disk"}};

bool IsLoaded(std::u16string_view service) {
  std::lock_guard<std::mutex> guard(gLoaderLock);
  for (auto &d : gDrivers)
    if (EqualNoCase(d.service, service)) return true;
  return false;
}

}  // namespace

NTSTATUS LoadSystemDrivers(const std::string &folder, std::string *error) {
  for (const SystemDriver &d : kSystemDrivers) {
    std::string why;
    NTSTATUS status = LoadDriver(folder + "/" + d.file, d.service, &why);
    if (!NT_SUCCESS(status)) {
      if (error) *error = std::string(d.file) + ": " + why;
      UnloadSystemDrivers();
      return status;
    }
  }
  return STATUS_SUCCESS;
}

void UnloadSystemDrivers() {
  for (auto it = std::rbegin(kSystemDrivers); it != std::rend(kSystemDrivers); ++it)
    if (IsLoaded(it->service)) UnloadDriver(it->service);
}

std::vector<std::u16string> LoadedDrivers() {
  std::lock_guard<std::mutex> guard(gLoaderLock);
  std::vector<std::u16string> names;
  for (auto &d : gDrivers) names.push_back(d.service);
  return names;
}

}  // namespace bw
