// Volumes the Plug and Play manager announces: every enabled volume
// interface (GUID_DEVINTERFACE_VOLUME) arrives as a volume of a newly
// arrived disk, with an automatic drive letter; its removal takes the
// volume's links away. The notifications name the interface's link, which
// outlives nothing once the device is gone, so the volume's own name is
// remembered by interface from its arrival on.
#include "platform/drivers/mountmgr/mountmgr.h"

#include <ntddstor.h>
#include <wdm.h>

#include <map>
#include <mutex>

namespace mountmgr {

namespace {

PVOID gNotification;
std::mutex *gInterfacesLock;
std::map<std::u16string, std::u16string> *gInterfaces;  // interface link -> volume device name

std::u16string Text(const UNICODE_STRING *s) {
  return s && s->Buffer ? std::u16string(s->Buffer, s->Length / sizeof(WCHAR)) : std::u16string();
}

NTSTATUS InterfaceChanged(PVOID notification, PVOID) {
  auto *change = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(notification);
  std::u16string link = Text(change->SymbolicLinkName);
  if (link.empty()) return STATUS_SUCCESS;
  if (IsEqualGUID(change->Event, GUID_DEVICE_INTERFACE_ARRIVAL)) {
    std::u16string device;
    if (NT_SUCCESS(VolumeArrival(link, true, &device))) {
      std::lock_guard<std::mutex> guard(*gInterfacesLock);
      (*gInterfaces)[link] = device;
    }
  } else if (IsEqualGUID(change->Event, GUID_DEVICE_INTERFACE_REMOVAL)) {
    std::u16string device;
    {
      std::lock_guard<std::mutex> guard(*gInterfacesLock);
      auto found = gInterfaces->find(link);
      if (found == gInterfaces->end()) return STATUS_SUCCESS;
      device = found->second;
      gInterfaces->erase(found);
    }
    VolumeRemoval(device);
  }
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS WatchVolumeInterfaces(PDRIVER_OBJECT driver) {
  gInterfacesLock = new std::mutex;
  gInterfaces = new std::map<std::u16string, std::u16string>;
  NTSTATUS status = IoRegisterPlugPlayNotification(
      EventCategoryDeviceInterfaceChange, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
      const_cast<GUID *>(&GUID_DEVINTERFACE_VOLUME), driver, InterfaceChanged, nullptr, &gNotification);
  if (!NT_SUCCESS(status)) StopWatchingVolumeInterfaces();
  return status;
}

void StopWatchingVolumeInterfaces() {
  // Returns once no callback runs any more.
  if (gNotification) IoUnregisterPlugPlayNotificationEx(gNotification);
  gNotification = nullptr;
  delete gInterfaces;
  delete gInterfacesLock;
  gInterfaces = nullptr;
  gInterfacesLock = nullptr;
}

}  // namespace mountmgr
