// Notifications of interface arrival and removal: queued as they happen and
// delivered in order by a system thread at passive level, so that a
// listener may open the device or wait without holding up the PnP manager.
#include "pnp/pnp_internal.h"
#include "internal.h"
#include "ob/object.h"
#include "ps/process.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

namespace bw {

namespace {

struct Event {
  uint64_t sequence;
  GUID event;
  GUID interfaceClass;
  std::u16string link;
};

struct Registration {
  GUID interfaceClass;
  PDRIVER_NOTIFICATION_CALLBACK_ROUTINE callback;
  PVOID context;
  PDRIVER_OBJECT driver;  // referenced while registered
  uint64_t since;         // events up to this one were reported on registration or not at all
  bool removed = false;
};

std::mutex gLock;
std::condition_variable gChanged;
std::deque<Event> gEvents;
uint64_t gSequence = 0;
bool gDelivering = false;
bool gStopping = false;
std::vector<std::shared_ptr<Registration>> gRegistrations;
std::thread gThread;
// Held while listeners are called, so that reports reach each listener in
// order and an unregistration waits for a call in flight on another thread.
std::recursive_mutex gDeliveryLock;

void Call(const Registration &r, const GUID &event, const std::u16string &link) {
  std::u16string text = link;
  UNICODE_STRING name{static_cast<USHORT>(text.size() * 2), static_cast<USHORT>(text.size() * 2), text.data()};
  DEVICE_INTERFACE_CHANGE_NOTIFICATION n{};
  n.Version = 1;
  n.Size = sizeof n;
  n.Event = event;
  n.InterfaceClassGuid = r.interfaceClass;
  n.SymbolicLinkName = &name;
  r.callback(&n, r.context);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) KernelFault("a PnP notification callback returned above PASSIVE_LEVEL");
}

void Deliver(const Event &e) {
  std::lock_guard<std::recursive_mutex> delivery(gDeliveryLock);
  std::vector<std::shared_ptr<Registration>> targets;
  {
    std::lock_guard<std::mutex> guard(gLock);
    for (auto &r : gRegistrations)
      if (!r->removed && r->since < e.sequence && IsEqualGUID(r->interfaceClass, e.interfaceClass))
        targets.push_back(r);
  }
  for (auto &r : targets) {
    {
      std::lock_guard<std::mutex> guard(gLock);
      if (r->removed) continue;  // unregistered by an earlier listener of this event
    }
    Call(*r, e.event, e.link);
  }
}

void Loop() {
  PKTHREAD thread = CreateThreadObject(SystemProcess(), 0, true);
  {
    ThreadContext context(thread);
    std::unique_lock<std::mutex> guard(gLock);
    for (;;) {
      gChanged.wait(guard, [] { return gStopping || !gEvents.empty(); });
      if (gEvents.empty()) break;
      Event e = std::move(gEvents.front());
      gEvents.pop_front();
      gDelivering = true;
      guard.unlock();
      Deliver(e);
      guard.lock();
      gDelivering = false;
      gChanged.notify_all();
    }
  }
  TerminateThreadObject(thread, STATUS_SUCCESS);
  ObfDereferenceObject(thread);
}

NTSTATUS Unregister(PVOID entry) {
  if (!entry) return STATUS_INVALID_PARAMETER;
  std::shared_ptr<Registration> found;
  // Waits for a call in flight on another thread; a listener may unregister
  // itself while it runs.
  std::lock_guard<std::recursive_mutex> delivery(gDeliveryLock);
  {
    std::lock_guard<std::mutex> guard(gLock);
    for (auto it = gRegistrations.begin(); it != gRegistrations.end(); ++it)
      if (it->get() == entry) {
        found = *it;
        gRegistrations.erase(it);
        break;
      }
    if (!found) return STATUS_INVALID_PARAMETER;
    found->removed = true;
  }
  if (found->driver) ObfDereferenceObject(found->driver);
  return STATUS_SUCCESS;
}

}  // namespace

void QueueInterfaceNotification(const GUID &event, const GUID &interfaceClass, const std::u16string &link) {
  std::lock_guard<std::mutex> guard(gLock);
  if (gStopping) return;
  gEvents.push_back(Event{++gSequence, event, interfaceClass, link});
  gChanged.notify_all();
}

void NotificationsStart() {
  std::lock_guard<std::mutex> guard(gLock);
  gStopping = false;
  gThread = std::thread(Loop);
}

void NotificationsShutdown() {
  {
    std::lock_guard<std::mutex> guard(gLock);
    gStopping = true;
    gChanged.notify_all();
  }
  if (gThread.joinable()) gThread.join();
  std::lock_guard<std::mutex> guard(gLock);
  gEvents.clear();
  for (auto &r : gRegistrations)
    if (r->driver) ObfDereferenceObject(r->driver);
  gRegistrations.clear();
}

bool WaitNotificationsIdle(int timeoutMs) {
  std::unique_lock<std::mutex> guard(gLock);
  return gChanged.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                           [] { return gEvents.empty() && !gDelivering; });
}

}  // namespace bw

using namespace bw;

NTSTATUS IoRegisterPlugPlayNotification(IO_NOTIFICATION_EVENT_CATEGORY EventCategory, ULONG EventCategoryFlags,
                                        PVOID EventCategoryData, PDRIVER_OBJECT DriverObject,
                                        PDRIVER_NOTIFICATION_CALLBACK_ROUTINE CallbackRoutine, PVOID Context,
                                        PVOID *NotificationEntry) {
  if (!CallbackRoutine || !NotificationEntry || !DriverObject) return STATUS_INVALID_PARAMETER;
  *NotificationEntry = nullptr;
  // Interface changes are the only events this system raises.
  if (EventCategory != EventCategoryDeviceInterfaceChange) return STATUS_NOT_IMPLEMENTED;
  if (!EventCategoryData) return STATUS_INVALID_PARAMETER;
  auto r = std::make_shared<Registration>();
  r->interfaceClass = *static_cast<const GUID *>(EventCategoryData);
  r->callback = CallbackRoutine;
  r->context = Context;
  r->driver = DriverObject;
  ObfReferenceObject(DriverObject);

  std::lock_guard<std::recursive_mutex> delivery(gDeliveryLock);
  std::vector<std::u16string> existing;
  {
    std::lock_guard<std::mutex> interfaces(InterfaceLock());
    if (EventCategoryFlags & PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES)
      existing = EnabledInterfaces(r->interfaceClass);
    std::lock_guard<std::mutex> guard(gLock);
    r->since = gSequence;
    gRegistrations.push_back(r);
  }
  *NotificationEntry = r.get();
  // Interfaces enabled now are reported here, before the call returns;
  // later changes come from the notification thread.
  for (const auto &link : existing) {
    {
      std::lock_guard<std::mutex> guard(gLock);
      if (r->removed) break;
    }
    Call(*r, GUID_DEVICE_INTERFACE_ARRIVAL, link);
  }
  return STATUS_SUCCESS;
}

NTSTATUS IoUnregisterPlugPlayNotification(PVOID NotificationEntry) { return Unregister(NotificationEntry); }

NTSTATUS IoUnregisterPlugPlayNotificationEx(PVOID NotificationEntry) { return Unregister(NotificationEntry); }
