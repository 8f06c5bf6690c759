// IoGetDeviceProperty: what the PnP manager learnt of a PDO when it was
// enumerated.
#include "pnp/pnp_internal.h"
#include "io/io_internal.h"
#include "ob/object.h"

#include <cstring>

using namespace bw;

namespace {

std::u16string MultiString(const std::vector<std::u16string> &list) {
  std::u16string text;
  for (const auto &s : list) {
    text += s;
    text += u'\0';
  }
  text += u'\0';
  return text;
}

std::u16string String(const std::u16string &s) { return s + u'\0'; }

}  // namespace

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
  if (!DeviceObject || !ResultLength) return STATUS_INVALID_PARAMETER;
  *ResultLength = 0;
  std::u16string text;
  std::vector<uint8_t> bytes;
  {
    std::lock_guard<std::mutex> guard(PnpLock());
    auto *node = static_cast<DevNode *>(StateOf(DeviceObject)->devNode);
    if (!node || node->pdo != DeviceObject) return STATUS_INVALID_DEVICE_REQUEST;
    auto number = [&](ULONG value) {
      bytes.resize(sizeof value);
      memcpy(bytes.data(), &value, sizeof value);
    };
    switch (DeviceProperty) {
      case DevicePropertyDeviceDescription:
        if (node->description.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        text = String(node->description);
        break;
      case DevicePropertyHardwareID:
        if (node->hardwareIds.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        text = MultiString(node->hardwareIds);
        break;
      case DevicePropertyCompatibleIDs:
        if (node->compatibleIds.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        text = MultiString(node->compatibleIds);
        break;
      case DevicePropertyLocationInformation:
        if (node->location.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
        text = String(node->location);
        break;
      case DevicePropertyPhysicalDeviceObjectName:
        text = String(HeaderOf(DeviceObject)->name);
        break;
      case DevicePropertyEnumeratorName:
        text = String(node->deviceId.substr(0, node->deviceId.find(u'\\')));
        break;
      case DevicePropertyBusTypeGuid:
        if (!node->hasBusInformation) return STATUS_OBJECT_NAME_NOT_FOUND;
        bytes.resize(sizeof(GUID));
        memcpy(bytes.data(), &node->busInformation.BusTypeGuid, sizeof(GUID));
        break;
      case DevicePropertyLegacyBusType:
        if (!node->hasBusInformation) return STATUS_OBJECT_NAME_NOT_FOUND;
        number(static_cast<ULONG>(node->busInformation.LegacyBusType));
        break;
      case DevicePropertyBusNumber:
        if (!node->hasBusInformation) return STATUS_OBJECT_NAME_NOT_FOUND;
        number(node->busInformation.BusNumber);
        break;
      case DevicePropertyAddress:
        if (node->caps.Address == 0xFFFFFFFF) return STATUS_OBJECT_NAME_NOT_FOUND;
        number(node->caps.Address);
        break;
      case DevicePropertyUINumber:
        if (node->caps.UINumber == 0xFFFFFFFF) return STATUS_OBJECT_NAME_NOT_FOUND;
        number(node->caps.UINumber);
        break;
      default:
        // Class, driver key, configuration and install properties live in
        // setup's keys, which this system does not keep.
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
  }
  if (bytes.empty()) {
    bytes.resize(text.size() * sizeof(WCHAR));
    memcpy(bytes.data(), text.data(), bytes.size());
  }
  *ResultLength = static_cast<ULONG>(bytes.size());
  if (BufferLength < bytes.size()) return STATUS_BUFFER_TOO_SMALL;
  if (!PropertyBuffer) return STATUS_INVALID_PARAMETER;
  memcpy(PropertyBuffer, bytes.data(), bytes.size());
  return STATUS_SUCCESS;
}
