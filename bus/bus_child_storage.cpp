// The longer storage answers of a child: property queries and the extended
// drive geometry.
#include "bus/bus.h"

#include <ntddstor.h>

namespace {

VOID FillDevice(VirtualDisk *Disk, PVOID Buffer) {
  auto *descriptor = static_cast<PSTORAGE_DEVICE_DESCRIPTOR>(Buffer);
  descriptor->RemovableMedia = BusDiskRemovable(Disk);
  descriptor->CommandQueueing = TRUE;
  descriptor->BusType = BusTypeUnknown;
}

VOID FillAdapter(VirtualDisk *Disk, PVOID Buffer) {
  auto *descriptor = static_cast<PSTORAGE_ADAPTER_DESCRIPTOR>(Buffer);
  descriptor->MaximumTransferLength = Disk->MaximumTransfer;
  descriptor->MaximumPhysicalPages = Disk->MaximumPhysicalPages;
  descriptor->AlignmentMask = 1;
  descriptor->AdapterUsesPio = TRUE;
  descriptor->AdapterScansDown = TRUE;
  descriptor->CommandQueueing = TRUE;
  descriptor->AcceleratedTransfer = TRUE;
  descriptor->BusType = BusTypeUnknown;
  descriptor->BusMajorVersion = 1;
  descriptor->BusMinorVersion = 0;
}

VOID FillAlignment(VirtualDisk *Disk, PVOID Buffer) {
  auto *descriptor = static_cast<PSTORAGE_ACCESS_ALIGNMENT_DESCRIPTOR>(Buffer);
  descriptor->BytesPerCacheLine = Disk->SectorSize;
  descriptor->BytesPerLogicalSector = Disk->SectorSize;
  descriptor->BytesPerPhysicalSector = Disk->SectorSize;
}

}  // namespace

// The header alone (Version, Size) tells a caller how much to ask for; the
// descriptor follows only when it fits whole.
NTSTATUS BusPdoQueryProperty(VirtualDisk *Disk, PIRP Irp, PIO_STACK_LOCATION Stack, ULONG_PTR *Information) {
  ULONG in = Stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = Stack->Parameters.DeviceIoControl.OutputBufferLength;
  PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  if (!buffer || in < sizeof(STORAGE_PROPERTY_ID)) return STATUS_INVALID_PARAMETER;
  ULONG property;
  RtlCopyMemory(&property, buffer, sizeof(property));
  ULONG size = 0;
  VOID (*fill)(VirtualDisk *, PVOID) = nullptr;
  switch (property) {
    case StorageDeviceProperty:
      size = sizeof(STORAGE_DEVICE_DESCRIPTOR);
      fill = FillDevice;
      break;
    case StorageAdapterProperty:
      size = sizeof(STORAGE_ADAPTER_DESCRIPTOR);
      fill = FillAdapter;
      break;
    case StorageAccessAlignmentProperty:
      size = sizeof(STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR);
      fill = FillAlignment;
      break;
    default:
      return STATUS_INVALID_DEVICE_REQUEST;
  }
  if (out < sizeof(STORAGE_DESCRIPTOR_HEADER)) return STATUS_BUFFER_TOO_SMALL;
  RtlZeroMemory(buffer, out);
  auto *header = static_cast<PSTORAGE_DESCRIPTOR_HEADER>(buffer);
  header->Version = 1;
  header->Size = size;
  *Information = sizeof(STORAGE_DESCRIPTOR_HEADER);
  if (out >= size) {
    fill(Disk, buffer);
    *Information = size;
  }
  return STATUS_SUCCESS;
}

NTSTATUS BusPdoGeometryEx(VirtualDisk *Disk, PIRP Irp, ULONG OutputLength, ULONG_PTR *Information) {
  constexpr ULONG kBase = FIELD_OFFSET(DISK_GEOMETRY_EX, Data);
  constexpr ULONG kWithPartition = kBase + sizeof(DISK_PARTITION_INFO);
  constexpr ULONG kWithDetection = kWithPartition + sizeof(DISK_DETECTION_INFO);
  auto *buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  if (OutputLength < kBase || !buffer) return STATUS_BUFFER_TOO_SMALL;
  ULONG length = OutputLength >= kWithDetection ? kWithDetection
                 : OutputLength >= kWithPartition ? kWithPartition
                                                  : kBase;
  RtlZeroMemory(buffer, length);
  auto *geometry = reinterpret_cast<PDISK_GEOMETRY_EX>(buffer);
  geometry->Geometry = Disk->Geometry;
  geometry->DiskSize.QuadPart = static_cast<LONGLONG>(Disk->Size);
  if (length >= kWithPartition) {
    auto *partition = reinterpret_cast<PDISK_PARTITION_INFO>(buffer + kBase);
    partition->SizeOfPartitionInfo = sizeof(DISK_PARTITION_INFO);
    partition->PartitionStyle = PARTITION_STYLE_MBR;
  }
  if (length >= kWithDetection) {
    auto *detection = reinterpret_cast<PDISK_DETECTION_INFO>(buffer + kWithPartition);
    detection->SizeOfDetectInfo = sizeof(DISK_DETECTION_INFO);
    detection->DetectionType = DetectExInt13;
    detection->ExInt13.ExCylinders = static_cast<ULONG>(Disk->Geometry.Cylinders.QuadPart);
    detection->ExInt13.ExHeads = 1;
    detection->ExInt13.ExSectorsPerTrack = Disk->Geometry.SectorsPerTrack;
    detection->ExInt13.ExSectorsPerDrive = Disk->Size / Disk->SectorSize;
    detection->ExInt13.ExSectorSize = Disk->SectorSize;
  }
  *Information = length;
  return STATUS_SUCCESS;
}
