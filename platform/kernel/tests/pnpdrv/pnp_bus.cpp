// pnpbus.sys: a bus on a root device (or on one of its own children) whose
// children tests plug in and pull out. Its child PDOs answer the PnP
// manager's questions from the record the test gave.
#include "platform/kernel/tests/pnpdrv/pnpdrv.h"

#define PNPTEST_HOOK extern "C" __attribute__((visibility("default")))

namespace {

constexpr ULONG kTag = 0x42706E50;  // "PnpB"
constexpr ULONG kMaxChildren = 32;

enum Kind { KindBus = 1, KindChild = 2 };

struct BusExtension {
  Kind kind;
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT lower;
  ULONG ownerId;  // 0: on a root device; else the child it sits on
  char name[16];
};

struct ChildExtension {
  Kind kind;
  PDEVICE_OBJECT self;
  ULONG id;
  ULONG parent;
  PnpTestChild record;
  BOOLEAN present;   // reported in its bus's relations
  BOOLEAN deleted;
  ULONG pnpState;
};

PnpTestLog *gLog;
FAST_MUTEX gLock;
ChildExtension *gChildren[kMaxChildren + 1];  // by id
BusExtension *gBuses[kMaxChildren + 1];       // by owner id (0: the root one)
ULONG gNextId = 1;
BOOLEAN gRefuseAdd;
BOOLEAN gVetoRemove;

void Log(const char *who, const char *name, const char *what) {
  if (!gLog) return;
  char text[48];
  ULONG n = 0;
  for (const char *p = who; *p && n < 20; ++p) text[n++] = *p;
  text[n++] = ' ';
  for (const char *p = name; *p && n < 46; ++p) text[n++] = *p;
  text[n] = 0;
  gLog(text, what);
}

const char *MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "RELATIONS";
    case IRP_MN_QUERY_CAPABILITIES: return "CAPS";
    case IRP_MN_QUERY_DEVICE_TEXT: return "TEXT";
    case IRP_MN_QUERY_ID: return "ID";
    case IRP_MN_QUERY_PNP_DEVICE_STATE: return "STATE";
    case IRP_MN_QUERY_BUS_INFORMATION: return "BUS_INFO";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE";
    case IRP_MN_EJECT: return "EJECT";
    default: return "OTHER";
  }
}

ULONG WideLength(const WCHAR *s) {
  ULONG n = 0;
  while (s[n]) ++n;
  return n;
}

ULONG MultiLength(const WCHAR *s) {
  ULONG n = 0;
  while (s[n]) n += WideLength(s + n) + 1;
  return n + 1;
}

NTSTATUS PoolCopy(const WCHAR *text, ULONG chars, ULONG_PTR *out) {
  auto *copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kTag));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(copy, text, chars * sizeof(WCHAR));
  *out = reinterpret_cast<ULONG_PTR>(copy);
  return STATUS_SUCCESS;
}

NTSTATUS PoolAscii(const char *text, ULONG_PTR *out) {
  WCHAR wide[24];
  ULONG n = 0;
  for (; text[n] && n < 23; ++n) wide[n] = static_cast<WCHAR>(text[n]);
  wide[n] = 0;
  return PoolCopy(wide, n + 1, out);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS Signal(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, Signal, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

// Child PDOs.

NTSTATUS ChildQueryId(ChildExtension *c, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const WCHAR deviceId[] = u"PNPTEST\\Child";
  switch (stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
      if (c->record.flags & PNPTEST_NO_DEVICE_ID) return irp->IoStatus.Status;
      return PoolCopy(deviceId, WideLength(deviceId) + 1, &irp->IoStatus.Information);
    case BusQueryInstanceID:
      return PoolCopy(c->record.instanceId, WideLength(c->record.instanceId) + 1, &irp->IoStatus.Information);
    case BusQueryHardwareIDs:
      return PoolCopy(c->record.hardwareIds, MultiLength(c->record.hardwareIds), &irp->IoStatus.Information);
    case BusQueryCompatibleIDs:
      if (!c->record.compatibleIds[0]) return irp->IoStatus.Status;
      return PoolCopy(c->record.compatibleIds, MultiLength(c->record.compatibleIds),
                      &irp->IoStatus.Information);
    default:
      return irp->IoStatus.Status;
  }
}

NTSTATUS ChildPnp(ChildExtension *c, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Log("pdo", c->record.name, MinorName(stack->MinorFunction));
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID: status = ChildQueryId(c, irp); break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->RawDeviceOK = (c->record.flags & PNPTEST_RAW_OK) != 0;
      caps->SurpriseRemovalOK = (c->record.flags & PNPTEST_SURPRISE_OK) != 0;
      caps->UniqueID = (c->record.flags & PNPTEST_UNIQUE_ID) != 0;
      caps->EjectSupported = (c->record.flags & PNPTEST_EJECT_OK) != 0;
      caps->Address = c->id;
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_DEVICE_TEXT:
      if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation)
        status = PoolAscii(c->record.name, &irp->IoStatus.Information);
      else
        status = PoolAscii("Test child", &irp->IoStatus.Information);
      break;
    case IRP_MN_QUERY_BUS_INFORMATION: {
      auto *info = static_cast<PPNP_BUS_INFORMATION>(
          ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), kTag));
      if (!info) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      info->BusTypeGuid = GUID_PNPTEST_INTERFACE;
      info->LegacyBusType = PNPBus;
      info->BusNumber = c->parent;
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(info);
      status = STATUS_SUCCESS;
      break;
    }
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
      irp->IoStatus.Information = c->pnpState;
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_START_DEVICE:
      status = (c->record.flags & PNPTEST_PDO_FAILS_START) ? STATUS_DEVICE_NOT_READY : STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE:
      status = STATUS_SUCCESS;
      // A child still on its bus keeps its PDO; one that left goes.
      ExAcquireFastMutex(&gLock);
      if (!c->present && !c->deleted) {
        c->deleted = TRUE;
        gChildren[c->id] = nullptr;
        ExReleaseFastMutex(&gLock);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoDeleteDevice(c->self);
        return status;
      }
      ExReleaseFastMutex(&gLock);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_EJECT:
      status = STATUS_SUCCESS;
      break;
    default: break;
  }
  return Complete(irp, status);
}

// Bus FDOs.

NTSTATUS ReportChildren(BusExtension *bus, PIRP irp) {
  ExAcquireFastMutex(&gLock);
  ULONG count = 0;
  for (ULONG i = 1; i <= kMaxChildren; ++i)
    if (gChildren[i] && gChildren[i]->parent == bus->ownerId && gChildren[i]->present) ++count;
  auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
      PagedPool, sizeof(DEVICE_RELATIONS) + count * sizeof(PDEVICE_OBJECT), kTag));
  if (!relations) {
    ExReleaseFastMutex(&gLock);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  relations->Count = 0;
  for (ULONG i = 1; i <= kMaxChildren; ++i)
    if (gChildren[i] && gChildren[i]->parent == bus->ownerId && gChildren[i]->present) {
      ObReferenceObject(gChildren[i]->self);
      relations->Objects[relations->Count++] = gChildren[i]->self;
    }
  ExReleaseFastMutex(&gLock);
  irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
  return STATUS_SUCCESS;
}

NTSTATUS BusPnp(BusExtension *bus, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Log("bus", bus->name, MinorName(stack->MinorFunction));
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      return Complete(irp, ForwardAndWait(bus->lower, irp));
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        NTSTATUS status = ReportChildren(bus, irp);
        if (!NT_SUCCESS(status)) return Complete(irp, status);
        irp->IoStatus.Status = STATUS_SUCCESS;
      }
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (gVetoRemove) return Complete(irp, STATUS_UNSUCCESSFUL);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      // Children of a bus that goes go with it.
      ExAcquireFastMutex(&gLock);
      ChildExtension *gone[kMaxChildren];
      ULONG n = 0;
      for (ULONG i = 1; i <= kMaxChildren; ++i)
        if (gChildren[i] && gChildren[i]->parent == bus->ownerId) {
          gone[n++] = gChildren[i];
          gChildren[i]->deleted = TRUE;
          gChildren[i] = nullptr;
        }
      gBuses[bus->ownerId] = nullptr;
      ExReleaseFastMutex(&gLock);
      for (ULONG i = 0; i < n; ++i) IoDeleteDevice(gone[i]->self);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(bus->lower, irp);
      IoDetachDevice(bus->lower);
      IoDeleteDevice(bus->self);
      return status;
    }
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default: break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(bus->lower, irp);
}

const char *PowerName(PIO_STACK_LOCATION stack) {
  if (stack->MinorFunction != IRP_MN_SET_POWER) return "POWER";
  if (stack->Parameters.Power.Type == DevicePowerState) return "SET_POWER D";
  switch (stack->Parameters.Power.State.SystemState) {
    case PowerSystemWorking: return "SET_POWER S0";
    case PowerSystemSleeping1: return "SET_POWER S1";
    case PowerSystemSleeping3: return "SET_POWER S3";
    case PowerSystemHibernate: return "SET_POWER S4";
    default: return "SET_POWER S?";
  }
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  Kind kind = *static_cast<Kind *>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction == IRP_MJ_PNP) {
    if (kind == KindChild) return ChildPnp(static_cast<ChildExtension *>(device->DeviceExtension), irp);
    return BusPnp(static_cast<BusExtension *>(device->DeviceExtension), irp);
  }
  if (stack->MajorFunction == IRP_MJ_POWER) {
    if (kind == KindChild) {
      Log("pdo", static_cast<ChildExtension *>(device->DeviceExtension)->record.name, PowerName(stack));
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_SUCCESS);
    }
    auto *bus = static_cast<BusExtension *>(device->DeviceExtension);
    Log("bus", bus->name, PowerName(stack));
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(bus->lower, irp);
  }
  if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE)
    return Complete(irp, STATUS_SUCCESS);
  return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (gRefuseAdd) return STATUS_NO_SUCH_DEVICE;
  // On a root device the bus is bus 0; on one of its own children it is
  // that child's bus.
  ULONG owner = 0;
  ExAcquireFastMutex(&gLock);
  for (ULONG i = 1; i <= kMaxChildren; ++i)
    if (gChildren[i] && gChildren[i]->self == pdo) owner = i;
  BOOLEAN taken = gBuses[owner] != nullptr;
  ExReleaseFastMutex(&gLock);
  if (taken) return STATUS_INVALID_DEVICE_STATE;
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto *bus = static_cast<BusExtension *>(fdo->DeviceExtension);
  RtlZeroMemory(bus, sizeof(*bus));
  bus->kind = KindBus;
  bus->self = fdo;
  bus->pdo = pdo;
  bus->ownerId = owner;
  if (owner == 0) {
    RtlCopyMemory(bus->name, "root", 5);
  } else {
    ExAcquireFastMutex(&gLock);
    RtlCopyMemory(bus->name, gChildren[owner]->record.name, sizeof(bus->name));
    ExReleaseFastMutex(&gLock);
  }
  bus->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  ExAcquireFastMutex(&gLock);
  gBuses[owner] = bus;
  ExReleaseFastMutex(&gLock);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {}

}  // namespace

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  ExInitializeFastMutex(&gLock);
  for (ULONG i = 0; i <= kMaxChildren; ++i) gChildren[i] = nullptr, gBuses[i] = nullptr;
  gNextId = 1;
  gRefuseAdd = gVetoRemove = FALSE;
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

PNPTEST_HOOK void PnpTestSetLog(PnpTestLog *log) { gLog = log; }

PNPTEST_HOOK void PnpBusConfigure(BOOLEAN refuseAdd, BOOLEAN vetoRemove) {
  gRefuseAdd = refuseAdd;
  gVetoRemove = vetoRemove;
}

PNPTEST_HOOK ULONG PnpBusPlug(ULONG parent, const PnpTestChild *record) {
  ExAcquireFastMutex(&gLock);
  BusExtension *bus = parent <= kMaxChildren ? gBuses[parent] : nullptr;
  ULONG id = gNextId;
  ExReleaseFastMutex(&gLock);
  if (!bus || id > kMaxChildren) return 0;
  PDEVICE_OBJECT pdo;
  if (!NT_SUCCESS(IoCreateDevice(bus->self->DriverObject, sizeof(ChildExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                 FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
    return 0;
  auto *child = static_cast<ChildExtension *>(pdo->DeviceExtension);
  RtlZeroMemory(child, sizeof(*child));
  child->kind = KindChild;
  child->self = pdo;
  child->id = id;
  child->parent = parent;
  child->record = *record;
  child->present = TRUE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  ExAcquireFastMutex(&gLock);
  gChildren[id] = child;
  gNextId = id + 1;
  ExReleaseFastMutex(&gLock);
  IoInvalidateDeviceRelations(bus->pdo, BusRelations);
  return id;
}

PNPTEST_HOOK void PnpBusUnplug(ULONG id) {
  ExAcquireFastMutex(&gLock);
  ChildExtension *child = id <= kMaxChildren ? gChildren[id] : nullptr;
  BusExtension *bus = child ? gBuses[child->parent] : nullptr;
  if (child) child->present = FALSE;
  ExReleaseFastMutex(&gLock);
  if (bus) IoInvalidateDeviceRelations(bus->pdo, BusRelations);
}

PNPTEST_HOOK void PnpBusSetState(ULONG id, ULONG pnpState) {
  ExAcquireFastMutex(&gLock);
  ChildExtension *child = id <= kMaxChildren ? gChildren[id] : nullptr;
  if (child) child->pnpState = pnpState;
  ExReleaseFastMutex(&gLock);
  if (child) IoInvalidateDeviceState(child->self);
}

PNPTEST_HOOK void PnpBusEject(ULONG id) {
  ExAcquireFastMutex(&gLock);
  ChildExtension *child = id <= kMaxChildren ? gChildren[id] : nullptr;
  ExReleaseFastMutex(&gLock);
  if (child) IoRequestDeviceEject(child->self);
}

PNPTEST_HOOK PDEVICE_OBJECT PnpBusPdo(ULONG id) {
  ExAcquireFastMutex(&gLock);
  ChildExtension *child = id <= kMaxChildren ? gChildren[id] : nullptr;
  ExReleaseFastMutex(&gLock);
  return child ? child->self : nullptr;
}
