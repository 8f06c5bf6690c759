// The root enumerator: devices listed under Enum\Root in the registry get
// PDOs of the driver "\Driver\PnpManager", which answers the PnP manager's
// questions from their keys, as Windows' own root bus does.
#include "pnp/pnp_internal.h"
#include "internal.h"
#include "io/io_internal.h"
#include "config/registry.h"
#include "ob/object.h"

#include <algorithm>
#include <cstring>

namespace bw {

PDRIVER_OBJECT CreateDriverObject(std::u16string_view serviceName);

namespace {

constexpr ULONG kRootTag = 0x4D706E50;  // "PnpM"
constexpr uint8_t kDoNotCreate = 0x4;   // CSCONFIGFLAG_DO_NOT_CREATE
PDRIVER_OBJECT gRootDriver = nullptr;

struct RootPdoExtension {
  std::u16string *deviceId;    // "Root\<DEVICE>"
  std::u16string *instanceId;  // "NNNN"
};

RootPdoExtension *ExtensionOf(PDEVICE_OBJECT pdo) {
  return static_cast<RootPdoExtension *>(pdo->DeviceExtension);
}

std::u16string InstancePathOf(PDEVICE_OBJECT pdo) {
  return *ExtensionOf(pdo)->deviceId + u"\\" + *ExtensionOf(pdo)->instanceId;
}

// A pool copy of `text` with one terminator, or of a list with two.
PWCHAR PoolText(const std::u16string &text, bool multi) {
  size_t chars = text.size() + (multi ? 2 : 1);
  auto *copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kRootTag));
  if (!copy) return nullptr;
  memset(copy, 0, chars * sizeof(WCHAR));
  memcpy(copy, text.data(), text.size() * sizeof(WCHAR));
  return copy;
}

bool ReadValue(PDEVICE_OBJECT pdo, std::u16string_view name, RegistryStore::Value *value) {
  RegistryStore::KeyRef key;
  if (!NT_SUCCESS(Registry().OpenKey(nullptr, kEnumKey + u"\\" + InstancePathOf(pdo), &key))) return false;
  return NT_SUCCESS(Registry().QueryValue(key, name, value));
}

// A registry string or list as the text a query returns, without the
// terminators the value carries.
bool ReadText(PDEVICE_OBJECT pdo, std::u16string_view name, std::u16string *text) {
  RegistryStore::Value value;
  if (!ReadValue(pdo, name, &value)) return false;
  text->assign(reinterpret_cast<const char16_t *>(value.data.data()), value.data.size() / 2);
  while (!text->empty() && text->back() == 0) text->pop_back();
  return !text->empty();
}

NTSTATUS RootQueryId(PDEVICE_OBJECT pdo, PIO_STACK_LOCATION stack, PIRP irp) {
  std::u16string text;
  bool multi = false;
  switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID: text = *ExtensionOf(pdo)->deviceId; break;
    case BusQueryInstanceID: text = *ExtensionOf(pdo)->instanceId; break;
    case BusQueryHardwareIDs:
      multi = true;
      if (!ReadText(pdo, u"HardwareID", &text)) return irp->IoStatus.Status;
      break;
    case BusQueryCompatibleIDs:
      multi = true;
      if (!ReadText(pdo, u"CompatibleIDs", &text)) return irp->IoStatus.Status;
      break;
    default: return irp->IoStatus.Status;
  }
  PWCHAR reply = PoolText(text, multi);
  if (!reply) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(reply);
  return STATUS_SUCCESS;
}

NTSTATUS RootPnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID: status = RootQueryId(pdo, stack, irp); break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
        status = STATUS_UNSUCCESSFUL;
        break;
      }
      caps->UniqueID = 1;
      caps->SilentInstall = 1;
      caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
      for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT: {
      std::u16string text;
      if (stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription ||
          !ReadText(pdo, u"DeviceDesc", &text))
        break;
      PWCHAR reply = PoolText(text, false);
      if (!reply) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(reply);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) break;
      auto *relations = static_cast<PDEVICE_RELATIONS>(
          ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kRootTag));
      if (!relations) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      relations->Count = 1;
      relations->Objects[0] = pdo;
      ObfReferenceObject(pdo);
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      // The PDO itself goes when its devnode does.
      status = STATUS_SUCCESS;
      break;
    default: break;
  }
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RootPower(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
    irp->IoStatus.Status = STATUS_SUCCESS;
  NTSTATUS status = irp->IoStatus.Status;
  PoStartNextPowerIrp(irp);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

std::vector<std::u16string> RegistryRootDevices() {
  std::vector<std::u16string> paths;
  RegistryStore::KeyRef root;
  if (!NT_SUCCESS(Registry().OpenKey(nullptr, kEnumKey + u"\\Root", &root))) return paths;
  RegistryStore::KeyInfo device;
  for (ULONG i = 0; NT_SUCCESS(Registry().EnumerateKey(root, i, &device)); ++i) {
    RegistryStore::KeyRef deviceKey;
    if (!NT_SUCCESS(Registry().OpenKey(root, device.name, &deviceKey))) continue;
    RegistryStore::KeyInfo instance;
    for (ULONG j = 0; NT_SUCCESS(Registry().EnumerateKey(deviceKey, j, &instance)); ++j) {
      // A device kept out of this configuration stays registered, unenumerated.
      RegistryStore::KeyRef instanceKey;
      RegistryStore::Value flags;
      if (NT_SUCCESS(Registry().OpenKey(deviceKey, instance.name, &instanceKey)) &&
          NT_SUCCESS(Registry().QueryValue(instanceKey, u"CSConfigFlags", &flags)) &&
          flags.type == kRegDword && flags.data.size() == 4 && (flags.data[0] & kDoNotCreate))
        continue;
      paths.push_back(u"Root\\" + device.name + u"\\" + instance.name);
    }
  }
  return paths;
}

}  // namespace

void RootEnumeratorInit() {
  gRootDriver = CreateDriverObject(u"PnpManager");
  if (!gRootDriver || !NT_SUCCESS(InsertObject(gRootDriver->DriverName.Buffer, gRootDriver)))
    KernelFault("cannot create the PnP manager's driver object");
  gRootDriver->MajorFunction[IRP_MJ_PNP] = RootPnp;
  gRootDriver->MajorFunction[IRP_MJ_POWER] = RootPower;
}

void RootEnumeratorShutdown() {
  if (!gRootDriver) return;
  if (gRootDriver->DeviceObject) KernelFault("root devices left at shutdown");
  RemoveObject(gRootDriver);
  ObfDereferenceObject(gRootDriver);
  gRootDriver = nullptr;
}

bool IsRootPdo(PDEVICE_OBJECT pdo) { return pdo && gRootDriver && pdo->DriverObject == gRootDriver; }

PDEVICE_OBJECT CreateRootPdo(std::u16string_view deviceId, std::u16string_view instanceId) {
  PDEVICE_OBJECT pdo = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(gRootDriver, sizeof(RootPdoExtension), nullptr, FILE_DEVICE_CONTROLLER,
                                 FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &pdo)))
    return nullptr;
  ExtensionOf(pdo)->deviceId = new std::u16string(deviceId);
  ExtensionOf(pdo)->instanceId = new std::u16string(instanceId);
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  ObfReferenceObject(pdo);  // the devnode's
  return pdo;
}

void DeleteRootPdo(PDEVICE_OBJECT pdo) {
  delete ExtensionOf(pdo)->deviceId;
  delete ExtensionOf(pdo)->instanceId;
  ExtensionOf(pdo)->deviceId = ExtensionOf(pdo)->instanceId = nullptr;
  IoDeleteDevice(pdo);
}

void EnumerateRoot() {
  std::vector<std::u16string> listed = RegistryRootDevices();
  DevNode &root = TreeRoot();
  std::vector<DevNode *> missing;
  for (auto &child : root.children) {
    if (!child->rootEnumerated) continue;
    bool found = std::any_of(listed.begin(), listed.end(),
                             [&](const std::u16string &p) { return EqualNoCase(p, child->instancePath); });
    if (!found) missing.push_back(child.get());
  }
  for (DevNode *node : missing) RemoveDevNode(node, false, DevNodeState::Removed, false);

  std::vector<DevNode *> added;
  for (const auto &path : listed) {
    bool known = std::any_of(root.children.begin(), root.children.end(),
                             [&](const std::unique_ptr<DevNode> &c) { return EqualNoCase(c->instancePath, path); });
    if (known) continue;
    size_t cut = path.rfind(u'\\');
    PDEVICE_OBJECT pdo = CreateRootPdo(path.substr(0, cut), path.substr(cut + 1));
    if (!pdo) continue;
    auto node = std::make_unique<DevNode>();
    node->pdo = pdo;
    node->parent = &root;
    node->rootEnumerated = true;
    node->instancePath = path;  // known before the queries, so that it is not taken twice
    DevNode *raw = node.get();
    {
      std::lock_guard<std::mutex> guard(PnpLock());
      root.children.push_back(std::move(node));
      SetDevNodeOf(pdo, raw);
    }
    added.push_back(raw);
  }
  for (DevNode *node : added) ProcessNewDevNode(*node);
}

}  // namespace bw
