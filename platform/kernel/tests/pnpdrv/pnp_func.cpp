// pnpfunc.sys: a function driver for the test bus's children. It reads its
// behaviour from the child's hardware ids, registers an interface on the
// PDO and enables it once started, and guards its device with a remove lock.
#include "platform/kernel/tests/pnpdrv/pnpdrv.h"

#define PNPTEST_HOOK extern "C" __attribute__((visibility("default")))

namespace {

constexpr ULONG kTag = 0x46706E50;  // "PnpF"

enum Behaviour : ULONG { FailStart = 1, Veto = 2, HoldLock = 4 };

struct FuncExtension {
  PDEVICE_OBJECT self;
  PDEVICE_OBJECT pdo;
  PDEVICE_OBJECT lower;
  IO_REMOVE_LOCK removeLock;
  UNICODE_STRING link;
  ULONG behaviour;
  BOOLEAN holding;
  char name[16];
};

PnpTestLog *gLog;
FAST_MUTEX gLock;
FuncExtension *gDevices[32];

void Log(const char *name, const char *what) {
  if (!gLog) return;
  char who[24] = "func ";
  ULONG n = 5;
  for (const char *p = name; *p && n < 23; ++p) who[n++] = *p;
  who[n] = 0;
  gLog(who, what);
}

BOOLEAN HasId(const WCHAR *list, ULONG chars, const WCHAR *id) {
  for (ULONG i = 0; i < chars && list[i];) {
    ULONG j = 0;
    while (id[j] && i + j < chars && list[i + j] == id[j]) ++j;
    if (!id[j] && i + j < chars && !list[i + j]) return TRUE;
    while (i < chars && list[i]) ++i;
    ++i;
  }
  return FALSE;
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

NTSTATUS PassDown(FuncExtension *f, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(f->lower, irp);
}

const char *MinorName(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE: return "START";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "QUERY_REMOVE";
    case IRP_MN_REMOVE_DEVICE: return "REMOVE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "CANCEL_REMOVE";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "RELATIONS";
    case IRP_MN_QUERY_PNP_DEVICE_STATE: return "STATE";
    case IRP_MN_SURPRISE_REMOVAL: return "SURPRISE";
    case IRP_MN_EJECT: return "EJECT";
    default: return "OTHER";
  }
}

void Forget(FuncExtension *f) {
  ExAcquireFastMutex(&gLock);
  for (auto &d : gDevices)
    if (d == f) d = nullptr;
  ExReleaseFastMutex(&gLock);
}

NTSTATUS Pnp(FuncExtension *f, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  Log(f->name, MinorName(stack->MinorFunction));
  NTSTATUS status = IoAcquireRemoveLock(&f->removeLock, irp);
  if (!NT_SUCCESS(status)) return Complete(irp, status);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(f->lower, irp);
      if (NT_SUCCESS(status) && (f->behaviour & FailStart)) status = STATUS_DEVICE_NOT_READY;
      if (NT_SUCCESS(status)) {
        IoSetDeviceInterfaceState(&f->link, TRUE);
        if (f->behaviour & HoldLock) {
          IoAcquireRemoveLock(&f->removeLock, f);
          f->holding = TRUE;
        }
      }
      IoReleaseRemoveLock(&f->removeLock, irp);
      return Complete(irp, status);
    case IRP_MN_QUERY_REMOVE_DEVICE:
      if (f->behaviour & Veto) {
        IoReleaseRemoveLock(&f->removeLock, irp);
        return Complete(irp, STATUS_UNSUCCESSFUL);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      IoSetDeviceInterfaceState(&f->link, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      // Waits for every holder of the lock, the held one too.
      IoReleaseRemoveLockAndWait(&f->removeLock, irp);
      IoSetDeviceInterfaceState(&f->link, FALSE);
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      status = IoCallDriver(f->lower, irp);
      Forget(f);
      IoDetachDevice(f->lower);
      RtlFreeUnicodeString(&f->link);
      IoDeleteDevice(f->self);
      return status;
    }
    default: break;
  }
  status = PassDown(f, irp);
  IoReleaseRemoveLock(&f->removeLock, irp);
  return status;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  auto *f = static_cast<FuncExtension *>(device->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MajorFunction) {
    case IRP_MJ_PNP: return Pnp(f, irp);
    case IRP_MJ_POWER: {
      if (stack->MinorFunction == IRP_MN_SET_POWER) {
        if (stack->Parameters.Power.Type == SystemPowerState) {
          switch (stack->Parameters.Power.State.SystemState) {
            case PowerSystemWorking: Log(f->name, "SET_POWER S0"); break;
            case PowerSystemSleeping1: Log(f->name, "SET_POWER S1"); break;
            case PowerSystemSleeping3: Log(f->name, "SET_POWER S3"); break;
            case PowerSystemHibernate: Log(f->name, "SET_POWER S4"); break;
            default: Log(f->name, "SET_POWER S?"); break;
          }
          // The device follows the system: D0 when working, else D3.
          POWER_STATE device;
          device.DeviceState = stack->Parameters.Power.State.SystemState == PowerSystemWorking ? PowerDeviceD0
                                                                                               : PowerDeviceD3;
          PoSetPowerState(f->self, DevicePowerState, device);
        }
      }
      PoStartNextPowerIrp(irp);
      IoSkipCurrentIrpStackLocation(irp);
      return PoCallDriver(f->lower, irp);
    }
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
      return Complete(irp, STATUS_SUCCESS);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  WCHAR ids[128];
  ULONG length = 0;
  NTSTATUS status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, sizeof(ids), ids, &length);
  if (!NT_SUCCESS(status)) return status;
  ULONG chars = length / sizeof(WCHAR);
  if (HasId(ids, chars, u"PNPTEST\\RefuseAdd")) return STATUS_NOT_SUPPORTED;
  WCHAR location[16];
  status = IoGetDeviceProperty(pdo, DevicePropertyLocationInformation, sizeof(location), location, &length);
  if (!NT_SUCCESS(status)) return status;

  PDEVICE_OBJECT fdo;
  status = IoCreateDevice(driver, sizeof(FuncExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  auto *f = static_cast<FuncExtension *>(fdo->DeviceExtension);
  RtlZeroMemory(f, sizeof(*f));
  f->self = fdo;
  f->pdo = pdo;
  for (ULONG i = 0; i < 15 && location[i]; ++i) f->name[i] = static_cast<char>(location[i]);
  if (HasId(ids, chars, u"PNPTEST\\FailStart")) f->behaviour |= FailStart;
  if (HasId(ids, chars, u"PNPTEST\\Veto")) f->behaviour |= Veto;
  if (HasId(ids, chars, u"PNPTEST\\HoldLock")) f->behaviour |= HoldLock;
  IoInitializeRemoveLock(&f->removeLock, kTag, 0, 0);
  status = IoRegisterDeviceInterface(pdo, &GUID_PNPTEST_INTERFACE, nullptr, &f->link);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(fdo);
    return status;
  }
  f->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  ExAcquireFastMutex(&gLock);
  for (auto &d : gDevices)
    if (!d) {
      d = f;
      break;
    }
  ExReleaseFastMutex(&gLock);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  Log(f->name, "ADD");
  return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {}

}  // namespace

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  ExInitializeFastMutex(&gLock);
  for (auto &d : gDevices) d = nullptr;
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  driver->DriverUnload = Unload;
  return STATUS_SUCCESS;
}

PNPTEST_HOOK void PnpTestSetLog(PnpTestLog *log) { gLog = log; }

PNPTEST_HOOK void PnpFuncReleaseHeld() {
  ExAcquireFastMutex(&gLock);
  for (auto *f : gDevices)
    if (f && f->holding) {
      f->holding = FALSE;
      IoReleaseRemoveLock(&f->removeLock, f);
    }
  ExReleaseFastMutex(&gLock);
}

PNPTEST_HOOK ULONG PnpFuncDeviceCount() {
  ULONG n = 0;
  ExAcquireFastMutex(&gLock);
  for (auto *f : gDevices)
    if (f) ++n;
  ExReleaseFastMutex(&gLock);
  return n;
}
