// Driver and device objects, device stacks, symbolic links, shutdown
// registration and work items.
#include "internal.h"
#include "io/io_internal.h"
#include "ps/process.h"
#include "se/sddl.h"
#include "nt/pool.h"

#include <map>
#include <condition_variable>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>
#include <wdmsec.h>

namespace bw {

namespace {

std::atomic<ULONG> gAutoNameCounter{1};
std::mutex gLiveDeviceLock;
std::map<PDRIVER_OBJECT, size_t> gLiveDevices;  // device objects not yet freed, per driver
std::mutex gShutdownLock;
std::vector<PDEVICE_OBJECT> gShutdownDevices;  // referenced, in registration order
std::mutex gStackLock;                          // guards AttachedDevice chains

// Device objects carry their extension and host state in the body:
// DEVICE_OBJECT | DEVOBJ_EXTENSION (our DeviceState) | device extension.
constexpr size_t Align16(size_t n) { return (n + 15) & ~size_t(15); }
constexpr size_t kStateOffset = Align16(sizeof(DEVICE_OBJECT));
constexpr size_t kExtensionOffset = kStateOffset + Align16(sizeof(DeviceState));

void DestroyDevice(void *body) {
  auto *device = static_cast<PDEVICE_OBJECT>(body);
  if (StateOf(device)->ownsVpb && device->Vpb) ExFreePool(device->Vpb);
  StateOf(device)->~DeviceState();
  if (device->DriverObject) {
    {
      std::lock_guard<std::mutex> guard(gLiveDeviceLock);
      auto it = gLiveDevices.find(device->DriverObject);
      if (it != gLiveDevices.end() && --it->second == 0) gLiveDevices.erase(it);
    }
    ObfDereferenceObject(device->DriverObject);
  }
}

void DestroyDriver(void *body) {
  auto *driver = static_cast<PDRIVER_OBJECT>(body);
  if (driver->DriverExtension) {
    free(driver->DriverExtension->ServiceKeyName.Buffer);
    free(driver->DriverExtension);
  }
  free(driver->DriverName.Buffer);
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

_OBJECT_TYPE DeviceType{u"Device", DestroyDevice, 0x120089, 0x120116, 0x1200A0, 0x1F01FF};
_OBJECT_TYPE DriverType{u"Driver", DestroyDriver, 0x20000, 0x20000, 0x20000, 0x1F01FF};

DeviceState *StateOf(PDEVICE_OBJECT device) {
  return reinterpret_cast<DeviceState *>(reinterpret_cast<char *>(device) + kStateOffset);
}

PDRIVER_OBJECT CreateDriverObject(std::u16string_view serviceName) {
  auto *driver = static_cast<PDRIVER_OBJECT>(CreateObject(&DriverType, sizeof(DRIVER_OBJECT)));
  if (!driver) return nullptr;
  driver->Type = IO_TYPE_DRIVER;
  driver->Size = sizeof(DRIVER_OBJECT);
  for (auto &f : driver->MajorFunction) f = InvalidDeviceRequest;
  std::u16string name = u"\\Driver\\" + std::u16string(serviceName);
  driver->DriverName.Buffer = static_cast<PWSTR>(calloc(name.size() + 1, sizeof(WCHAR)));
  memcpy(driver->DriverName.Buffer, name.data(), name.size() * sizeof(WCHAR));
  driver->DriverName.Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
  driver->DriverName.MaximumLength = static_cast<USHORT>((name.size() + 1) * sizeof(WCHAR));
  auto *ext = static_cast<PDRIVER_EXTENSION>(calloc(1, sizeof(DRIVER_EXTENSION)));
  ext->DriverObject = driver;
  ext->ServiceKeyName.Buffer = static_cast<PWSTR>(calloc(serviceName.size() + 1, sizeof(WCHAR)));
  memcpy(ext->ServiceKeyName.Buffer, serviceName.data(), serviceName.size() * sizeof(WCHAR));
  ext->ServiceKeyName.Length = static_cast<USHORT>(serviceName.size() * sizeof(WCHAR));
  ext->ServiceKeyName.MaximumLength = ext->ServiceKeyName.Length + sizeof(WCHAR);
  driver->DriverExtension = ext;
  return driver;
}

void ShutdownNotifyAll() {
  std::vector<PDEVICE_OBJECT> devices;
  {
    std::lock_guard<std::mutex> guard(gShutdownLock);
    devices.swap(gShutdownDevices);
  }
  for (PDEVICE_OBJECT device : devices) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_SHUTDOWN, device, nullptr, 0, nullptr, &event,
                                            &iosb);
    if (irp) CallAndWait(device, irp, &event, &iosb);
    StateOf(device)->shutdownRegistered = false;
    ObfDereferenceObject(device);
  }
}

void DeviceStatesShutdown() {
  std::lock_guard<std::mutex> guard(gShutdownLock);
  for (PDEVICE_OBJECT device : gShutdownDevices) ObfDereferenceObject(device);
  gShutdownDevices.clear();
}

}  // namespace bw

using namespace bw;

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject) {
  if (!DriverObject || !DeviceObject) return STATUS_INVALID_PARAMETER;
  *DeviceObject = nullptr;
  std::u16string name = ToU16(DeviceName);
  if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
    char buf[32];
    snprintf(buf, sizeof buf, "\\Device\\%08X", gAutoNameCounter++);
    name = ToU16(buf);
  }
  auto *device = static_cast<PDEVICE_OBJECT>(
      CreateObject(&bw::DeviceType, kExtensionOffset + Align16(DeviceExtensionSize)));
  if (!device) return STATUS_INSUFFICIENT_RESOURCES;
  new (StateOf(device)) DeviceState;
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->ReferenceCount = 0;
  device->DriverObject = DriverObject;
  ObfReferenceObject(DriverObject);
  {
    std::lock_guard<std::mutex> guard(gLiveDeviceLock);
    ++gLiveDevices[DriverObject];
  }
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                  (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
  device->Characteristics = DeviceCharacteristics & ~FILE_AUTOGENERATED_DEVICE_NAME;
  if (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)
    device->Characteristics |= FILE_AUTOGENERATED_DEVICE_NAME;
  device->DeviceExtension =
      DeviceExtensionSize ? reinterpret_cast<char *>(device) + kExtensionOffset : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->AlignmentRequirement = 0;
  device->SectorSize = (DeviceType == FILE_DEVICE_DISK || DeviceType == FILE_DEVICE_DISK_FILE_SYSTEM)
                           ? 512
                           : 0;
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  device->DeviceObjectExtension = reinterpret_cast<struct _DEVOBJ_EXTENSION *>(StateOf(device));
  // A device that can hold a volume gets the parameter block its file
  // system is mounted through.
  if (DeviceTypeHasVpb(DeviceType)) {
    device->Vpb = AllocateVpb(device);
    if (!device->Vpb) {
      ObfDereferenceObject(device);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    StateOf(device)->ownsVpb = true;
  }
  if (!name.empty()) {
    NTSTATUS status = InsertObject(name, device);
    if (!NT_SUCCESS(status)) {
      ObfDereferenceObject(device);
      return status;
    }
  }
  // New devices go to the head of the driver's list, as on Windows.
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

NTSTATUS IoCreateDeviceSecure(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PCUNICODE_STRING DefaultSDDLString, LPCGUID,
                              PDEVICE_OBJECT *DeviceObject) {
  if (!DefaultSDDLString || !DefaultSDDLString->Buffer) return STATUS_INVALID_PARAMETER;
  PSECURITY_DESCRIPTOR sd = nullptr;
  NTSTATUS status = SddlToSecurityDescriptor(
      std::u16string_view(DefaultSDDLString->Buffer, DefaultSDDLString->Length / sizeof(WCHAR)),
      &sd, 0x20206553 /* "Se  " */);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateDevice(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                          DeviceCharacteristics, Exclusive, DeviceObject);
  if (!NT_SUCCESS(status)) {
    ExFreePool(sd);
    return status;
  }
  HeaderOf(*DeviceObject)->securityDescriptor = sd;
  (*DeviceObject)->SecurityDescriptor = sd;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  DeviceState *state = StateOf(DeviceObject);
  if (state->deleted) KernelFault("IoDeleteDevice of a device that was already deleted");
  state->deleted = true;
  if (state->shutdownRegistered) IoUnregisterShutdownNotification(DeviceObject);
  {
    // A bus deletes a PDO that left while handling its IRP_MN_REMOVE_DEVICE,
    // before the function driver above has detached: the object stays until
    // that detach lets it go. Any other device must stand alone.
    std::lock_guard<std::mutex> guard(gStackLock);
    if (DeviceObject->AttachedDevice && !state->devNode)
      KernelFault("IoDeleteDevice of a device that still has a device attached");
  }
  RemoveObject(DeviceObject);
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  for (PDEVICE_OBJECT *p = &driver->DeviceObject; *p; p = &(*p)->NextDevice) {
    if (*p == DeviceObject) {
      *p = DeviceObject->NextDevice;
      break;
    }
  }
  ObfDereferenceObject(DeviceObject);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
  std::lock_guard<std::mutex> guard(gStackLock);
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice) top = top->AttachedDevice;
  if (StateOf(top)->deleted) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement =
      std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
  if (!SourceDevice->SectorSize) SourceDevice->SectorSize = top->SectorSize;
  SourceDevice->DeviceObjectExtension = SourceDevice->DeviceObjectExtension;
  // An attached device shares the volume of the device it sits on.
  if (StateOf(SourceDevice)->ownsVpb) {
    ExFreePool(SourceDevice->Vpb);
    StateOf(SourceDevice)->ownsVpb = false;
  }
  SourceDevice->Vpb = top->Vpb;
  // The lower device is remembered in Reserved so IoGetLowerDeviceObject can walk down.
  SourceDevice->Reserved = top;
  ObfReferenceObject(top);
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  std::lock_guard<std::mutex> guard(gStackLock);
  PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
  if (!above) KernelFault("IoDetachDevice of a device with nothing attached");
  TargetDevice->AttachedDevice = nullptr;
  above->Reserved = nullptr;
  ObfDereferenceObject(TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> guard(gStackLock);
  while (DeviceObject->AttachedDevice) DeviceObject = DeviceObject->AttachedDevice;
  return DeviceObject;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> guard(gStackLock);
  while (DeviceObject->AttachedDevice) DeviceObject = DeviceObject->AttachedDevice;
  ObfReferenceObject(DeviceObject);
  return DeviceObject;
}

PDEVICE_OBJECT IoGetLowerDeviceObject(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> guard(gStackLock);
  auto *lower = static_cast<PDEVICE_OBJECT>(DeviceObject->Reserved);
  if (lower) ObfReferenceObject(lower);
  return lower;
}

NTSTATUS IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard<std::mutex> guard(gShutdownLock);
  if (StateOf(DeviceObject)->shutdownRegistered) return STATUS_SUCCESS;
  StateOf(DeviceObject)->shutdownRegistered = true;
  DeviceObject->Flags |= DO_SHUTDOWN_REGISTERED;
  ObfReferenceObject(DeviceObject);
  gShutdownDevices.push_back(DeviceObject);
  return STATUS_SUCCESS;
}

VOID IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT found = nullptr;
  {
    std::lock_guard<std::mutex> guard(gShutdownLock);
    auto it = std::find(gShutdownDevices.begin(), gShutdownDevices.end(), DeviceObject);
    if (it != gShutdownDevices.end()) {
      found = *it;
      gShutdownDevices.erase(it);
    }
    StateOf(DeviceObject)->shutdownRegistered = false;
    DeviceObject->Flags &= ~DO_SHUTDOWN_REGISTERED;
  }
  if (found) ObfDereferenceObject(found);
}

NTSTATUS IoAllocateDriverObjectExtension(PDRIVER_OBJECT, PVOID, ULONG, PVOID *) {
  return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  if (!SymbolicLinkName || !DeviceName) return STATUS_INVALID_PARAMETER;
  PVOID link = CreateObject(&SymbolicLinkType, sizeof(SymbolicLinkBody));
  if (!link) return STATUS_INSUFFICIENT_RESOURCES;
  new (link) SymbolicLinkBody{ToU16(DeviceName)};
  std::u16string name = ToU16(SymbolicLinkName);
  // "\??\X" and "\DosDevices\X" create in the global directory.
  for (std::u16string prefix : {u"\\??\\", u"\\DosDevices\\"})
    if (name.size() > prefix.size() && EqualNoCase(name.substr(0, prefix.size()), prefix))
      name = u"\\GLOBAL??\\" + name.substr(prefix.size());
  NTSTATUS status = InsertObject(name, link);
  ObfDereferenceObject(link);
  return status;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  if (!SymbolicLinkName) return STATUS_INVALID_PARAMETER;
  LookupResult result;
  NTSTATUS status = LookupObject(ToU16(SymbolicLinkName), true, &result);
  if (!NT_SUCCESS(status)) return status;
  if (HeaderOf(result.object)->type != &SymbolicLinkType) {
    ObfDereferenceObject(result.object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  RemoveObject(result.object);
  ObfDereferenceObject(result.object);
  return STATUS_SUCCESS;
}

NTSTATUS ZwOpenSymbolicLinkObject(PHANDLE LinkHandle, ACCESS_MASK DesiredAccess,
                                  POBJECT_ATTRIBUTES ObjectAttributes) {
  if (!LinkHandle || !ObjectAttributes || !ObjectAttributes->ObjectName)
    return STATUS_INVALID_PARAMETER;
  LookupResult result;
  NTSTATUS status = LookupObject(ToU16(ObjectAttributes->ObjectName), true, &result);
  if (!NT_SUCCESS(status)) return status;
  if (HeaderOf(result.object)->type != &SymbolicLinkType) {
    ObfDereferenceObject(result.object);
    return STATUS_OBJECT_TYPE_MISMATCH;
  }
  status = ObOpenObjectByPointer(result.object, ObjectAttributes->Attributes, nullptr,
                                 DesiredAccess, &SymbolicLinkType, KernelMode, LinkHandle);
  ObfDereferenceObject(result.object);
  return status;
}

NTSTATUS ZwQuerySymbolicLinkObject(HANDLE LinkHandle, PUNICODE_STRING LinkTarget,
                                   PULONG ReturnedLength) {
  if (!LinkTarget) return STATUS_INVALID_PARAMETER;
  PVOID object = nullptr;
  NTSTATUS status =
      ObReferenceObjectByHandle(LinkHandle, 0, &SymbolicLinkType, KernelMode, &object, nullptr);
  if (!NT_SUCCESS(status)) return status;
  const std::u16string &target = static_cast<SymbolicLinkBody *>(object)->target;
  ULONG bytes = static_cast<ULONG>(target.size() * sizeof(WCHAR));
  if (ReturnedLength) *ReturnedLength = bytes;
  if (bytes > LinkTarget->MaximumLength) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    memcpy(LinkTarget->Buffer, target.data(), bytes);
    LinkTarget->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= LinkTarget->MaximumLength)
      LinkTarget->Buffer[bytes / sizeof(WCHAR)] = 0;
  }
  ObfDereferenceObject(object);
  return status;
}

// Work items run on the kernel's worker threads and keep their device
// referenced while queued.
struct _IO_WORKITEM {
  PDEVICE_OBJECT DeviceObject;
  std::atomic<bool> Queued;
};

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  auto *item = new (std::nothrow) _IO_WORKITEM;
  if (!item) return nullptr;
  item->DeviceObject = DeviceObject;
  item->Queued = false;
  return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  if (IoWorkItem->Queued) KernelFault("IoFreeWorkItem of a work item that is still queued");
  delete IoWorkItem;
}

namespace {

// Work items queued through a driver's device keep its image loaded until
// their routine has returned, as the device reference does on Windows.
std::mutex gDriverWorkLock;
std::condition_variable gDriverWorkDone;
std::map<PDRIVER_OBJECT, size_t> gDriverWork;

void DriverWorkStarted(PDRIVER_OBJECT Driver) {
  std::lock_guard<std::mutex> guard(gDriverWorkLock);
  ++gDriverWork[Driver];
}

void DriverWorkFinished(PDRIVER_OBJECT Driver) {
  std::lock_guard<std::mutex> guard(gDriverWorkLock);
  if (--gDriverWork[Driver] == 0) {
    gDriverWork.erase(Driver);
    gDriverWorkDone.notify_all();
  }
}

}  // namespace

namespace bw {

void WaitForDriverWorkItems(PDRIVER_OBJECT Driver) {
  std::unique_lock<std::mutex> guard(gDriverWorkLock);
  gDriverWorkDone.wait(guard, [Driver] { return gDriverWork.count(Driver) == 0; });
}

size_t LiveDeviceObjects(PDRIVER_OBJECT Driver) {
  std::lock_guard<std::mutex> guard(gLiveDeviceLock);
  auto it = gLiveDevices.find(Driver);
  return it == gLiveDevices.end() ? 0 : it->second;
}

}  // namespace bw

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE, PVOID Context) {
  if (IoWorkItem->Queued.exchange(true)) KernelFault("work item queued twice");
  PDEVICE_OBJECT device = IoWorkItem->DeviceObject;
  PDRIVER_OBJECT driver = device->DriverObject;
  ObfReferenceObject(device);
  DriverWorkStarted(driver);
  QueueSystemWork([IoWorkItem, WorkerRoutine, Context, device, driver] {
    IoWorkItem->Queued = false;
    WorkerRoutine(device, Context);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
      KernelFault("work item routine returned above PASSIVE_LEVEL");
    ObfDereferenceObject(device);
    DriverWorkFinished(driver);
  });
}

BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  return MajorVersion < 6 || (MajorVersion == 6 && MinorVersion <= 0x30);
}
