// The test port: a storage bus whose disks answer SCSI request blocks as a
// port's units do, over memory of their own (testport.h).
#include "platform/kernel/tests/driver/testport.h"

#include <ntdddisk.h>
#include <ntddstor.h>
#include <scsi.h>
#include <srb.h>

#include <cstring>
#include <map>
#include <mutex>
#include <vector>

namespace {

constexpr ULONG kTag = 0x74725054;  // "TPrt"
constexpr ULONG64 kChunk = 64 * 1024;

enum class Kind : ULONG { Control = 1, Bus, Disk };

struct PortDisk {
  Kind kind = Kind::Disk;
  PDEVICE_OBJECT self = nullptr;
  ULONG ordinal = 0;
  TestPortDisk shape{};
  bool removed = false;  // gone from the bus: its removal deletes it
  std::mutex lock;
  std::map<ULONG64, std::vector<UCHAR>> chunks;  // the bytes written, by 64 KiB chunk
  TestPortCounts counts{};
};

struct Bus {
  Kind kind = Kind::Bus;
  PDEVICE_OBJECT self = nullptr, lower = nullptr, pdo = nullptr;
};

PDEVICE_OBJECT gControl;
Bus *gBus;
std::mutex *gLock;                     // the children list
std::vector<PDEVICE_OBJECT> *gChildren;
ULONG gNextOrdinal;

Kind KindOf(PDEVICE_OBJECT device) {
  return device == gControl ? Kind::Control : *static_cast<Kind *>(device->DeviceExtension);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = NT_ERROR(status) ? 0 : information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS KeepStatus(PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

void Copy(PortDisk *disk, bool write, ULONG64 offset, PUCHAR buffer, ULONG length) {
  std::lock_guard<std::mutex> guard(disk->lock);
  while (length) {
    ULONG64 chunk = offset / kChunk;
    ULONG at = static_cast<ULONG>(offset % kChunk);
    ULONG piece = static_cast<ULONG>(kChunk - at < length ? kChunk - at : length);
    auto found = disk->chunks.find(chunk);
    if (write) {
      if (found == disk->chunks.end()) found = disk->chunks.emplace(chunk, std::vector<UCHAR>(kChunk)).first;
      memcpy(found->second.data() + at, buffer, piece);
    } else if (found == disk->chunks.end()) {
      memset(buffer, 0, piece);
    } else {
      memcpy(buffer, found->second.data() + at, piece);
    }
    offset += piece;
    buffer += piece;
    length -= piece;
  }
}

void PutBigEndian(UCHAR *p, ULONG64 value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) p[i] = UCHAR(value);
}
ULONG64 GetBigEndian(const UCHAR *p, int bytes) {
  ULONG64 value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | p[i];
  return value;
}

NTSTATUS SrbDone(PIRP irp, PSCSI_REQUEST_BLOCK srb, UCHAR srbStatus, NTSTATUS status, ULONG transferred) {
  srb->SrbStatus = srbStatus;
  srb->ScsiStatus = 0;
  srb->DataTransferLength = transferred;
  return Complete(irp, status, transferred);
}

NTSTATUS Execute(PortDisk *disk, PIRP irp, PSCSI_REQUEST_BLOCK srb) {
  const UCHAR *cdb = srb->Cdb;
  ULONG64 blocks = disk->shape.size / disk->shape.sectorSize;
  PUCHAR data = nullptr;
  if (irp->MdlAddress) {
    data = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    if (!data) return SrbDone(irp, srb, SRB_STATUS_ERROR, STATUS_INSUFFICIENT_RESOURCES, 0);
    data += static_cast<PUCHAR>(srb->DataBuffer) - static_cast<PUCHAR>(MmGetMdlVirtualAddress(irp->MdlAddress));
  }
  ULONG length = srb->DataTransferLength;
  auto count = [&](ULONG TestPortCounts::*field) {
    std::lock_guard<std::mutex> guard(disk->lock);
    ++(disk->counts.*field);
  };
  switch (cdb[0]) {
    case SCSIOP_TEST_UNIT_READY:
      count(&TestPortCounts::testUnitReady);
      return SrbDone(irp, srb, SRB_STATUS_SUCCESS, STATUS_SUCCESS, 0);
    case SCSIOP_SYNCHRONIZE_CACHE:
      count(&TestPortCounts::synchronizeCache);
      return SrbDone(irp, srb, SRB_STATUS_SUCCESS, STATUS_SUCCESS, 0);
    case SCSIOP_START_STOP_UNIT:
      count(&TestPortCounts::startStop);
      if ((cdb[4] & 0x3) == 0x2) count(&TestPortCounts::ejects);
      return SrbDone(irp, srb, SRB_STATUS_SUCCESS, STATUS_SUCCESS, 0);
    case SCSIOP_INQUIRY: {
      count(&TestPortCounts::inquiries);
      if (!data || length < INQUIRYDATABUFFERSIZE)
        return SrbDone(irp, srb, SRB_STATUS_DATA_OVERRUN, STATUS_BUFFER_TOO_SMALL, 0);
      memset(data, 0, length);
      data[1] = (disk->shape.flags & kTestPortRemovable) ? 0x80 : 0;
      data[2] = data[3] = 2;
      memcpy(data + 8, "BWTEST  ", 8);
      memcpy(data + 16, "Test Port Disk  ", 16);
      return SrbDone(irp, srb, SRB_STATUS_SUCCESS, STATUS_SUCCESS, INQUIRYDATABUFFERSIZE);
    }
    case SCSIOP_READ_CAPACITY:
      count(&TestPortCounts::capacity10);
      if (!data || length < 8) return SrbDone(irp, srb, SRB_STATUS_DATA_OVERRUN, STATUS_BUFFER_TOO_SMALL, 0);
      PutBigEndian(data, blocks - 1 > 0xFFFFFFFF ? 0xFFFFFFFF : blocks - 1, 4);
      PutBigEndian(data + 4, disk->shape.sectorSize, 4);
      return SrbDone(irp, srb, SRB_STATUS_SUCCESS, STATUS_SUCCESS, 8);
    case SCSIOP_READ_CAPACITY16:
      count(&TestPortCounts::capacity16);
      if (!data || length < 12) return SrbDone(irp, srb, SRB_STATUS_DATA_OVERRUN, STATUS_BUFFER_TOO_SMALL, 0);
      memset(data, 0, length);
      PutBigEndian(data, blocks - 1, 8);
      PutBigEndian(data + 8, disk->shape.sectorSize, 4);
      return SrbDone(irp, srb, SRB_STATUS_SUCCESS, STATUS_SUCCESS, length < 32 ? length : 32);
    case SCSIOP_MODE_SENSE: {
      count(&TestPortCounts::modeSense);
      if (!data || length < 4 + 12) return SrbDone(irp, srb, SRB_STATUS_DATA_OVERRUN, STATUS_BUFFER_TOO_SMALL, 0);
      memset(data, 0, length);
      data[2] = (disk->shape.flags & kTestPortWriteProtected) ? 0x80 : 0;
      data[4] = MODE_PAGE_CACHING;
      data[5] = 10;
      data[6] = 0x04;  // write cache enabled
      data[0] = 4 + 12 - 1;
      return SrbDone(irp, srb, SRB_STATUS_SUCCESS, STATUS_SUCCESS, 16);
    }
    case SCSIOP_READ:
    case SCSIOP_WRITE:
    case SCSIOP_READ16:
    case SCSIOP_WRITE16: {
      bool sixteen = cdb[0] == SCSIOP_READ16 || cdb[0] == SCSIOP_WRITE16;
      bool write = cdb[0] == SCSIOP_WRITE || cdb[0] == SCSIOP_WRITE16;
      count(sixteen ? (write ? &TestPortCounts::write16 : &TestPortCounts::read16)
                    : (write ? &TestPortCounts::write10 : &TestPortCounts::read10));
      ULONG64 lba = sixteen ? GetBigEndian(cdb + 2, 8) : GetBigEndian(cdb + 2, 4);
      ULONG64 n = sixteen ? GetBigEndian(cdb + 10, 4) : GetBigEndian(cdb + 7, 2);
      if (!data || n * disk->shape.sectorSize != length || lba >= blocks || n > blocks - lba ||
          static_cast<PUCHAR>(srb->DataBuffer) + length >
              static_cast<PUCHAR>(MmGetMdlVirtualAddress(irp->MdlAddress)) + MmGetMdlByteCount(irp->MdlAddress))
        return SrbDone(irp, srb, SRB_STATUS_BAD_SRB_BLOCK_LENGTH, STATUS_INVALID_PARAMETER, 0);
      if (write && (disk->shape.flags & kTestPortWriteProtected))
        return SrbDone(irp, srb, SRB_STATUS_ERROR, STATUS_MEDIA_WRITE_PROTECTED, 0);
      Copy(disk, write, lba * disk->shape.sectorSize, data, length);
      {
        std::lock_guard<std::mutex> guard(disk->lock);
        if (length > disk->counts.largestTransfer) disk->counts.largestTransfer = length;
      }
      return SrbDone(irp, srb, SRB_STATUS_SUCCESS, STATUS_SUCCESS, length);
    }
    default:
      return SrbDone(irp, srb, SRB_STATUS_BAD_FUNCTION, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS Scsi(PortDisk *disk, PIRP irp) {
  PSCSI_REQUEST_BLOCK srb = IoGetCurrentIrpStackLocation(irp)->Parameters.Scsi.Srb;
  if (!srb) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
  switch (srb->Function) {
    case SRB_FUNCTION_EXECUTE_SCSI:
      return Execute(disk, irp, srb);
    case SRB_FUNCTION_CLAIM_DEVICE: {
      std::lock_guard<std::mutex> guard(disk->lock);
      ++disk->counts.claims;
      srb->DataBuffer = disk->self;
      srb->SrbStatus = SRB_STATUS_SUCCESS;
      break;
    }
    default:
      srb->SrbStatus = SRB_STATUS_SUCCESS;
      break;
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DiskControl(PortDisk *disk, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  void *buffer = irp->AssociatedIrp.SystemBuffer;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kTestPortEcho:
      if (out < sizeof(ULONG)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      *static_cast<ULONG *>(buffer) = kTestPortEchoAnswer;
      return Complete(irp, STATUS_SUCCESS, sizeof(ULONG));
    case IOCTL_STORAGE_QUERY_PROPERTY: {
      if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG))
        return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      if (*static_cast<ULONG *>(buffer) != StorageAdapterProperty)
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
      if (out < sizeof(STORAGE_ADAPTER_DESCRIPTOR)) return Complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
      STORAGE_ADAPTER_DESCRIPTOR adapter{};
      adapter.Version = 1;
      adapter.Size = sizeof adapter;
      adapter.MaximumTransferLength = disk->shape.maxTransfer;
      adapter.MaximumPhysicalPages = 4096;
      memcpy(buffer, &adapter, sizeof adapter);
      return Complete(irp, STATUS_SUCCESS, sizeof adapter);
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS PoolText(const char16_t *text, bool multi, PIRP irp) {
  size_t units = 0;
  while (text[units]) ++units;
  size_t bytes = (units + (multi ? 2 : 1)) * sizeof(WCHAR);
  auto *copy = static_cast<WCHAR *>(ExAllocatePool2(POOL_FLAG_PAGED, bytes, kTag));
  if (!copy) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  memset(copy, 0, bytes);
  memcpy(copy, text, units * sizeof(WCHAR));
  return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(copy));
}

void DeleteDisk(PortDisk *disk) {
  PDEVICE_OBJECT device = disk->self;
  disk->~PortDisk();
  IoDeleteDevice(device);
}

NTSTATUS DiskPnp(PortDisk *disk, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
      switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          return PoolText(u"BWTP\\Disk", false, irp);
        case BusQueryHardwareIDs:
          return PoolText(u"BWTP\\Disk", true, irp);
        case BusQueryCompatibleIDs:
          return PoolText(u"GenDisk", true, irp);
        case BusQueryInstanceID: {
          char16_t text[16] = u"Port";
          ULONG n = disk->ordinal, at = 4;
          char16_t digits[12];
          int d = 0;
          do {
            digits[d++] = static_cast<char16_t>(u'0' + n % 10);
            n /= 10;
          } while (n);
          while (d) text[at++] = digits[--d];
          text[at] = 0;
          return PoolText(text, false, irp);
        }
        default:
          return KeepStatus(irp);
      }
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      if (caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return Complete(irp, STATUS_UNSUCCESSFUL, 0);
      bool removable = disk->shape.flags & kTestPortRemovable;
      caps->Removable = removable;
      caps->EjectSupported = removable;
      caps->UniqueID = 1;
      caps->SurpriseRemovalOK = 1;
      return Complete(irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_DEVICE_TEXT:
      return PoolText(stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription ? u"Test Port Disk"
                                                                                                : u"Test Port",
                      false, irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) return KeepStatus(irp);
      auto *relations =
          static_cast<PDEVICE_RELATIONS>(ExAllocatePool2(POOL_FLAG_PAGED, sizeof(DEVICE_RELATIONS), kTag));
      if (!relations) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      relations->Count = 1;
      relations->Objects[0] = disk->self;
      ObReferenceObject(disk->self);
      return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
    }
    case IRP_MN_REMOVE_DEVICE: {
      bool gone;
      {
        std::lock_guard<std::mutex> guard(*gLock);
        gone = disk->removed;
        if (gone)
          for (size_t i = 0; i < gChildren->size(); ++i)
            if ((*gChildren)[i] == disk->self) {
              gChildren->erase(gChildren->begin() + i);
              break;
            }
      }
      Complete(irp, STATUS_SUCCESS, 0);
      if (gone) DeleteDisk(disk);
      return STATUS_SUCCESS;
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(irp, STATUS_SUCCESS, 0);
    default:
      return KeepStatus(irp);
  }
}

NTSTATUS DiskDispatch(PortDisk *disk, PIRP irp) {
  switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_PNP:
      return DiskPnp(disk, irp);
    case IRP_MJ_POWER:
      PoStartNextPowerIrp(irp);
      return Complete(irp, STATUS_SUCCESS, 0);
    case IRP_MJ_SCSI:
      return Scsi(disk, irp);
    case IRP_MJ_DEVICE_CONTROL:
      return DiskControl(disk, irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_CLEANUP:
      return Complete(irp, STATUS_SUCCESS, 0);
    default:
      return KeepStatus(irp);
  }
}

NTSTATUS Forwarded(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS BusPnp(Bus *bus, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoSetCompletionRoutine(irp, Forwarded, &event, TRUE, TRUE, TRUE);
      if (IoCallDriver(bus->lower, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      return Complete(irp, irp->IoStatus.Status, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS: {
      if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
      std::lock_guard<std::mutex> guard(*gLock);
      std::vector<PDEVICE_OBJECT> present;
      for (PDEVICE_OBJECT child : *gChildren)
        if (!static_cast<PortDisk *>(child->DeviceExtension)->removed) present.push_back(child);
      size_t bytes = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + (present.size() + 1) * sizeof(PDEVICE_OBJECT);
      auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePool2(POOL_FLAG_PAGED, bytes, kTag));
      if (!relations) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      relations->Count = static_cast<ULONG>(present.size());
      for (size_t i = 0; i < present.size(); ++i) {
        relations->Objects[i] = present[i];
        ObReferenceObject(present[i]);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
      break;
    }
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(bus->lower, irp);
      std::vector<PDEVICE_OBJECT> children;
      {
        std::lock_guard<std::mutex> guard(*gLock);
        children.swap(*gChildren);
      }
      for (PDEVICE_OBJECT child : children) DeleteDisk(static_cast<PortDisk *>(child->DeviceExtension));
      IoDetachDevice(bus->lower);
      PDEVICE_OBJECT device = bus->self;
      gBus = nullptr;
      IoDeleteDevice(device);
      return status;
    }
    default:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(bus->lower, irp);
}

NTSTATUS AddDisk(PDRIVER_OBJECT driver, const TestPortDisk &shape, ULONG *ordinal) {
  if (!gBus) return STATUS_INVALID_DEVICE_STATE;
  if (shape.sectorSize < 512 || shape.sectorSize % 512 || !shape.size || shape.size % shape.sectorSize ||
      shape.maxTransfer < shape.sectorSize)
    return STATUS_INVALID_PARAMETER;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PortDisk), nullptr, FILE_DEVICE_DISK,
                                   FILE_AUTOGENERATED_DEVICE_NAME |
                                       ((shape.flags & kTestPortRemovable) ? FILE_REMOVABLE_MEDIA : 0),
                                   FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto *disk = new (device->DeviceExtension) PortDisk;
  disk->self = device;
  disk->shape = shape;
  device->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
  device->SectorSize = static_cast<USHORT>(shape.sectorSize);
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  {
    std::lock_guard<std::mutex> guard(*gLock);
    disk->ordinal = *ordinal = gNextOrdinal++;
    gChildren->push_back(device);
  }
  IoInvalidateDeviceRelations(gBus->pdo, BusRelations);
  return STATUS_SUCCESS;
}

NTSTATUS RemoveDisk(ULONG ordinal) {
  if (!gBus) return STATUS_INVALID_DEVICE_STATE;
  {
    std::lock_guard<std::mutex> guard(*gLock);
    PortDisk *found = nullptr;
    for (PDEVICE_OBJECT child : *gChildren) {
      auto *disk = static_cast<PortDisk *>(child->DeviceExtension);
      if (disk->ordinal == ordinal && !disk->removed) found = disk;
    }
    if (!found) return STATUS_NOT_FOUND;
    found->removed = true;
  }
  IoInvalidateDeviceRelations(gBus->pdo, BusRelations);
  return STATUS_SUCCESS;
}

NTSTATUS ControlDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS, 0);
  void *buffer = irp->AssociatedIrp.SystemBuffer;
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kTestPortAddDisk: {
      if (in < sizeof(TestPortDisk) || out < sizeof(ULONG)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      TestPortDisk shape;
      memcpy(&shape, buffer, sizeof shape);
      ULONG ordinal = 0;
      NTSTATUS status = AddDisk(device->DriverObject, shape, &ordinal);
      if (NT_SUCCESS(status)) memcpy(buffer, &ordinal, sizeof ordinal);
      return Complete(irp, status, sizeof(ULONG));
    }
    case kTestPortRemoveDisk: {
      if (in < sizeof(ULONG)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      return Complete(irp, RemoveDisk(*static_cast<ULONG *>(buffer)), 0);
    }
    case kTestPortCounts: {
      if (in < sizeof(ULONG) || out < sizeof(TestPortCounts)) return Complete(irp, STATUS_INVALID_PARAMETER, 0);
      ULONG ordinal = *static_cast<ULONG *>(buffer);
      std::lock_guard<std::mutex> guard(*gLock);
      for (PDEVICE_OBJECT child : *gChildren) {
        auto *disk = static_cast<PortDisk *>(child->DeviceExtension);
        if (disk->ordinal != ordinal) continue;
        std::lock_guard<std::mutex> diskGuard(disk->lock);
        memcpy(buffer, &disk->counts, sizeof(TestPortCounts));
        return Complete(irp, STATUS_SUCCESS, sizeof(TestPortCounts));
      }
      return Complete(irp, STATUS_NOT_FOUND, 0);
    }
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  switch (KindOf(device)) {
    case Kind::Control:
      return ControlDispatch(device, irp);
    case Kind::Disk:
      return DiskDispatch(static_cast<PortDisk *>(device->DeviceExtension), irp);
    case Kind::Bus:
    default: {
      auto *bus = static_cast<Bus *>(device->DeviceExtension);
      UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
      if (major == IRP_MJ_PNP) return BusPnp(bus, irp);
      if (major == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(bus->lower, irp);
      }
      return Complete(irp, major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE ? STATUS_SUCCESS
                                                                            : STATUS_INVALID_DEVICE_REQUEST,
                      0);
    }
  }
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  if (gBus) return STATUS_INVALID_DEVICE_STATE;
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Bus), nullptr, FILE_DEVICE_CONTROLLER, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  auto *bus = new (device->DeviceExtension) Bus;
  bus->self = device;
  bus->pdo = pdo;
  bus->lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (!bus->lower) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  gBus = bus;
  return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {
  IoDeleteDevice(gControl);
  gControl = nullptr;
  delete gChildren;
  delete gLock;
}

}  // namespace

DRIVER_ENTRY_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING) {
  UNICODE_STRING name = RTL_CONSTANT_STRING(u"\\Device\\BwTestPort");
  NTSTATUS status = IoCreateDevice(Driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &gControl);
  if (!NT_SUCCESS(status)) return status;
  gLock = new std::mutex;
  gChildren = new std::vector<PDEVICE_OBJECT>;
  gNextOrdinal = 0;
  for (PDRIVER_DISPATCH &entry : Driver->MajorFunction) entry = Dispatch;
  Driver->DriverExtension->AddDevice = AddDevice;
  Driver->DriverUnload = Unload;
  gControl->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
