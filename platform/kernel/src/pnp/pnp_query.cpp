// What the PnP manager asks a new PDO before it looks for its driver: its
// ids, capabilities, text and bus information. Replies are pool blocks the
// bus allocated; the PnP manager frees them.
#include "pnp/pnp_internal.h"
#include "internal.h"
#include "ob/object.h"

#include <cstring>

namespace bw {

namespace {

// A reply string of at most this many characters; longer ones are cut, as
// a reply without its terminator would be read past its end.
constexpr size_t kMaxReplyChars = 4096;

size_t BoundedLength(const WCHAR *text) {
  size_t n = 0;
  while (n < kMaxReplyChars && text[n]) ++n;
  return n;
}

NTSTATUS QueryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, PWCHAR *reply) {
  ULONG_PTR information = 0;
  NTSTATUS status = SendPnpIrp(
      pdo, IRP_MN_QUERY_ID, [&](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; },
      &information);
  *reply = NT_SUCCESS(status) ? reinterpret_cast<PWCHAR>(information) : nullptr;
  return status;
}

bool QueryString(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, std::u16string *out) {
  PWCHAR reply = nullptr;
  if (!NT_SUCCESS(QueryId(pdo, type, &reply)) || !reply) return false;
  out->assign(reply, BoundedLength(reply));
  ExFreePool(reply);
  return true;
}

void QueryList(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, std::vector<std::u16string> *out) {
  PWCHAR reply = nullptr;
  if (!NT_SUCCESS(QueryId(pdo, type, &reply)) || !reply) return;
  *out = MultiStringList(reply);
  ExFreePool(reply);
}

void QueryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type, std::u16string *out) {
  ULONG_PTR information = 0;
  NTSTATUS status = SendPnpIrp(
      pdo, IRP_MN_QUERY_DEVICE_TEXT,
      [&](PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceText.DeviceTextType = type;
        s->Parameters.QueryDeviceText.LocaleId = 0x409;
      },
      &information);
  auto *reply = reinterpret_cast<PWCHAR>(information);
  if (!NT_SUCCESS(status) || !reply) return;
  out->assign(reply, BoundedLength(reply));
  ExFreePool(reply);
}

// A child that is not unique on its bus is known by its parent's prefix and
// the id its bus gave it, as the PnP manager names such instances.
std::u16string ParentPrefix(const DevNode &parent) {
  uint32_t hash = 2166136261u;
  for (char16_t c : parent.instancePath) {
    char16_t upper = (c >= u'a' && c <= u'z') ? c - 32 : c;
    hash = (hash ^ upper) * 16777619u;
  }
  int depth = 0;
  for (const DevNode *n = &parent; n->parent; n = n->parent) ++depth;
  char text[32];
  snprintf(text, sizeof text, "%d&%08x&0&", depth, hash);
  return ToU16(text);
}

}  // namespace

std::vector<std::u16string> MultiStringList(const WCHAR *list) {
  std::vector<std::u16string> result;
  size_t total = 0;
  while (*list && total < kMaxReplyChars) {
    size_t n = BoundedLength(list);
    result.emplace_back(list, n);
    total += n + 1;
    list += n + 1;
  }
  return result;
}

bool QueryDeviceFacts(DevNode &node) {
  PDEVICE_OBJECT pdo = node.pdo;
  if (!QueryString(pdo, BusQueryDeviceID, &node.deviceId) || node.deviceId.empty()) return false;
  QueryString(pdo, BusQueryInstanceID, &node.instanceId);
  QueryList(pdo, BusQueryHardwareIDs, &node.hardwareIds);
  QueryList(pdo, BusQueryCompatibleIDs, &node.compatibleIds);

  DEVICE_CAPABILITIES caps;
  memset(&caps, 0, sizeof caps);
  caps.Size = sizeof(DEVICE_CAPABILITIES);
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  if (NT_SUCCESS(SendPnpIrp(
          pdo, IRP_MN_QUERY_CAPABILITIES,
          [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; },
          nullptr)))
    node.caps = caps;
  else
    node.caps = DEVICE_CAPABILITIES{};

  QueryText(pdo, DeviceTextDescription, &node.description);
  QueryText(pdo, DeviceTextLocationInformation, &node.location);

  ULONG_PTR information = 0;
  if (NT_SUCCESS(SendPnpIrp(pdo, IRP_MN_QUERY_BUS_INFORMATION, nullptr, &information)) &&
      information) {
    auto *info = reinterpret_cast<PPNP_BUS_INFORMATION>(information);
    node.busInformation = *info;
    node.hasBusInformation = true;
    ExFreePool(info);
  }

  if (node.rootEnumerated || node.caps.UniqueID)
    node.instancePath = node.deviceId + u"\\" + node.instanceId;
  else
    node.instancePath = node.deviceId + u"\\" + ParentPrefix(*node.parent) + node.instanceId;
  return true;
}

}  // namespace bw
