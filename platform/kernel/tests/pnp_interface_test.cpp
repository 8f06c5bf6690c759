// Device interfaces: their names, links that open the device's stack, the
// list the PnP manager gives, and arrival and removal notifications.
#include "platform/kernel/tests/pnp_fixture.h"

#include "ob/object.h"

#include <thread>

namespace bw::test {
namespace {

using ::testing::ElementsAre;

const std::u16string kClass = u"{1b4a7d2e-9c31-4f0e-8a52-3d6e710c9b44}";

std::vector<std::u16string> Interfaces(PDEVICE_OBJECT pdo = nullptr, ULONG flags = 0) {
  PZZWSTR list = nullptr;
  EXPECT_STATUS(STATUS_SUCCESS, IoGetDeviceInterfaces(&GUID_PNPTEST_INTERFACE, pdo, flags, &list));
  std::vector<std::u16string> links;
  if (!list) return links;
  for (const WCHAR *p = list; *p; p += std::char_traits<char16_t>::length(p) + 1) links.emplace_back(p);
  ExFreePool(list);
  return links;
}

struct Listener {
  std::mutex lock;
  std::vector<std::string> events;  // "+link" or "-link"
  std::thread::id caller;
  bool sawStarted = true;
  bool passive = true;

  static NTSTATUS Callback(PVOID structure, PVOID context) {
    auto *self = static_cast<Listener *>(context);
    auto *n = static_cast<PDEVICE_INTERFACE_CHANGE_NOTIFICATION>(structure);
    bool arrival = IsEqualGUID(n->Event, GUID_DEVICE_INTERFACE_ARRIVAL);
    std::u16string link(n->SymbolicLinkName->Buffer, n->SymbolicLinkName->Length / 2);
    // An arriving interface's device has finished its start.
    std::u16string path = link.substr(4, link.size() - 4 - kClass.size() - 1);
    for (auto &c : path)
      if (c == u'#') c = u'\\';
    bool started = !arrival || PnpTest::NodeOf(path).state == "started";
    std::lock_guard<std::mutex> guard(self->lock);
    self->events.push_back((arrival ? "+" : "-") + ToUtf8(link));
    self->caller = std::this_thread::get_id();
    self->sawStarted = self->sawStarted && started && n->Version == 1 && n->Size == sizeof(*n) &&
                       IsEqualGUID(n->InterfaceClassGuid, GUID_PNPTEST_INTERFACE);
    self->passive = self->passive && KeGetCurrentIrql() == PASSIVE_LEVEL;
    return STATUS_SUCCESS;
  }
  std::vector<std::string> Take() {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> out;
    out.swap(events);
    return out;
  }
};

std::string Link(const char *instance) { return "\\??\\PNPTEST#Child#" + std::string(instance) + "#" + ToUtf8(kClass); }

TEST_F(PnpTest, StartedDeviceHasItsInterfaceLinkedToThePdoAndListed) {
  StartBus();
  ULONG c1 = Plug(0, Child("c1", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  ULONG c2 = Plug(0, Child("c2", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  // Registered but never enabled: its start failed.
  ULONG failed = Plug(0, Child("bad", {u"PNPTEST\\FailStart", u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  std::u16string link = ToU16(Link("c1"));
  EXPECT_THAT(Interfaces(), ElementsAre(link, ToU16(Link("c2"))));
  EXPECT_THAT(Interfaces(Pdo(c2)), ElementsAre(ToU16(Link("c2"))));
  EXPECT_THAT(Interfaces(Pdo(failed)), ElementsAre());
  EXPECT_THAT(Interfaces(Pdo(failed), DEVICE_INTERFACE_INCLUDE_NONACTIVE), ElementsAre(ToU16(Link("bad"))));

  // The link opens the top of the PDO's stack.
  UNICODE_STRING name{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2), link.data()};
  PFILE_OBJECT file = nullptr;
  PDEVICE_OBJECT top = nullptr;
  ASSERT_STATUS(STATUS_SUCCESS, IoGetDeviceObjectPointer(&name, FILE_READ_ATTRIBUTES, &file, &top));
  EXPECT_EQ(Pdo(c1)->AttachedDevice, top);
  EXPECT_EQ(Pdo(c1), file->DeviceObject);
  ObfDereferenceObject(file);

  // Enabling twice, disabling what is off, unknown links.
  EXPECT_STATUS(STATUS_OBJECT_NAME_EXISTS, IoSetDeviceInterfaceState(&name, TRUE));
  std::u16string unknown = u"\\??\\PNPTEST#Child#none#" + kClass;
  UNICODE_STRING unknownName{static_cast<USHORT>(unknown.size() * 2), static_cast<USHORT>(unknown.size() * 2),
                             unknown.data()};
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&unknownName, TRUE));
  std::u16string badLink = ToU16(Link("bad"));
  UNICODE_STRING bad{static_cast<USHORT>(badLink.size() * 2), static_cast<USHORT>(badLink.size() * 2), badLink.data()};
  EXPECT_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, IoSetDeviceInterfaceState(&bad, FALSE));

  // Only PDOs the PnP manager knows have interfaces.
  UNICODE_STRING out{};
  EXPECT_STATUS(STATUS_INVALID_DEVICE_REQUEST,
                IoRegisterDeviceInterface(Pdo(c1)->AttachedDevice, &GUID_PNPTEST_INTERFACE, nullptr, &out));
  // A reference string follows the class; registering again gives the same name.
  UNICODE_STRING reference = RTL_CONSTANT_STRING(u"part1");
  ASSERT_STATUS(STATUS_SUCCESS, IoRegisterDeviceInterface(Pdo(c1), &GUID_PNPTEST_INTERFACE, &reference, &out));
  EXPECT_EQ(link + u"\\part1", std::u16string(out.Buffer, out.Length / 2));
  RtlFreeUnicodeString(&out);
  ASSERT_STATUS(STATUS_SUCCESS, IoRegisterDeviceInterface(Pdo(c1), &GUID_PNPTEST_INTERFACE, nullptr, &out));
  EXPECT_EQ(link, std::u16string(out.Buffer, out.Length / 2));
  RtlFreeUnicodeString(&out);

  // Removal takes the link away.
  Unplug(c1);
  EXPECT_FALSE(ObjectExists(link));
  EXPECT_THAT(Interfaces(), ElementsAre(ToU16(Link("c2"))));
}

TEST_F(PnpTest, ListenersHearExistingInterfacesAtOnceThenArrivalsAndRemovalsInOrder) {
  StartBus();
  ULONG c1 = Plug(0, Child("c1", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  Listener existing, later;
  PVOID existingEntry = nullptr, laterEntry = nullptr;
  GUID interfaceClass = GUID_PNPTEST_INTERFACE;
  PDRIVER_OBJECT driver = Pdo(c1)->DriverObject;
  ASSERT_STATUS(STATUS_SUCCESS,
                IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange,
                                               PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
                                               &interfaceClass, driver, Listener::Callback, &existing,
                                               &existingEntry));
  // Reported before the registration returned, on the caller's thread.
  EXPECT_THAT(existing.Take(), ElementsAre("+" + Link("c1")));
  EXPECT_EQ(std::this_thread::get_id(), existing.caller);
  ASSERT_STATUS(STATUS_SUCCESS, IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0,
                                                               &interfaceClass, driver, Listener::Callback, &later,
                                                               &laterEntry));
  EXPECT_THAT(later.Take(), ElementsAre());

  ULONG c2 = Plug(0, Child("c2", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  Unplug(c1);
  for (Listener *l : {&existing, &later}) {
    EXPECT_THAT(l->Take(), ElementsAre("+" + Link("c2"), "-" + Link("c1")));
    EXPECT_NE(std::this_thread::get_id(), l->caller);  // the notification thread
    EXPECT_TRUE(l->sawStarted);
    EXPECT_TRUE(l->passive);
  }

  // After unregistering, nothing more.
  EXPECT_STATUS(STATUS_SUCCESS, IoUnregisterPlugPlayNotificationEx(existingEntry));
  Unplug(c2);
  EXPECT_THAT(existing.Take(), ElementsAre());
  EXPECT_THAT(later.Take(), ElementsAre("-" + Link("c2")));
  EXPECT_STATUS(STATUS_SUCCESS, IoUnregisterPlugPlayNotification(laterEntry));

  // Other event categories are not raised here.
  PVOID entry = nullptr;
  EXPECT_STATUS(STATUS_NOT_IMPLEMENTED,
                IoRegisterPlugPlayNotification(EventCategoryTargetDeviceChange, 0, &interfaceClass, driver,
                                               Listener::Callback, &later, &entry));
}

// A listener that unregisters itself from inside its own call.
struct SelfRemover {
  PVOID entry = nullptr;
  int calls = 0;
  static NTSTATUS Callback(PVOID, PVOID context) {
    auto *self = static_cast<SelfRemover *>(context);
    ++self->calls;
    EXPECT_STATUS(STATUS_SUCCESS, IoUnregisterPlugPlayNotification(self->entry));
    return STATUS_SUCCESS;
  }
};

TEST_F(PnpTest, ListenerMayUnregisterItselfWhileItRuns) {
  StartBus();
  ULONG c1 = Plug(0, Child("c1", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  SelfRemover remover;
  GUID interfaceClass = GUID_PNPTEST_INTERFACE;
  ASSERT_STATUS(STATUS_SUCCESS,
                IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, &interfaceClass,
                                               Pdo(c1)->DriverObject, SelfRemover::Callback, &remover,
                                               &remover.entry));
  Plug(0, Child("c2", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  Plug(0, Child("c3", {u"PNPTEST\\Leaf"}, {}, PNPTEST_UNIQUE_ID));
  EXPECT_EQ(1, remover.calls);
}

}  // namespace
}  // namespace bw::test
