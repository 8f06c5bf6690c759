// Volume information: label and serial, sizes, the file system's name and
// abilities; and the label set in $Volume.
#include "platform/drivers/ntfs/ntfs_volume.h"

namespace {

constexpr ULONG kNtfsFileSystemAttributes = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
                                            FILE_UNICODE_ON_DISK | FILE_PERSISTENT_ACLS | FILE_FILE_COMPRESSION |
                                            FILE_SUPPORTS_HARD_LINKS;
// An NTFS label holds at most 32 characters.
constexpr ULONG kMaxLabel = 32;

NTSTATUS Query(NtfsVolume *Volume, FS_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length, ULONG_PTR *Information) {
  NtfsLibVolumeInfo v;
  NTSTATUS status = NtfsStatus(NtfsLibQueryVolume(Volume->Lib, &v));
  if (!NT_SUCCESS(status)) return status;
  ULONG sectorsPerCluster = v.ClusterSize / v.SectorSize;
  switch (Class) {
    case FileFsVolumeInformation: {
      ULONG head = FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
      if (Length < head) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_VOLUME_INFORMATION>(Buffer);
      RtlZeroMemory(info, head);
      info->VolumeSerialNumber = Volume->Serial;
      info->VolumeLabelLength = v.LabelLength * sizeof(WCHAR);
      ULONG room = (Length - head) / sizeof(WCHAR);
      ULONG n = v.LabelLength < room ? v.LabelLength : room;
      RtlCopyMemory(info->VolumeLabel, v.Label, n * sizeof(WCHAR));
      *Information = head + n * sizeof(WCHAR);
      return n == v.LabelLength ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case FileFsSizeInformation: {
      if (Length < sizeof(FILE_FS_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_SIZE_INFORMATION>(Buffer);
      info->TotalAllocationUnits.QuadPart = static_cast<LONGLONG>(v.TotalClusters);
      info->AvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(v.FreeClusters);
      info->SectorsPerAllocationUnit = sectorsPerCluster;
      info->BytesPerSector = v.SectorSize;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    case FileFsFullSizeInformation: {
      if (Length < sizeof(FILE_FS_FULL_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_FULL_SIZE_INFORMATION>(Buffer);
      info->TotalAllocationUnits.QuadPart = static_cast<LONGLONG>(v.TotalClusters);
      info->CallerAvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(v.FreeClusters);
      info->ActualAvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(v.FreeClusters);
      info->SectorsPerAllocationUnit = sectorsPerCluster;
      info->BytesPerSector = v.SectorSize;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    case FileFsAttributeInformation: {
      ULONG head = FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
      if (Length < head) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(Buffer);
      info->FileSystemAttributes = kNtfsFileSystemAttributes;
      info->MaximumComponentNameLength = kNtfsMaxName;
      static const WCHAR kName[] = {u'N', u'T', u'F', u'S'};
      ULONG n = 4;
      info->FileSystemNameLength = n * sizeof(WCHAR);
      ULONG room = (Length - head) / sizeof(WCHAR);
      ULONG copied = n < room ? n : room;
      RtlCopyMemory(info->FileSystemName, kName, copied * sizeof(WCHAR));
      *Information = head + copied * sizeof(WCHAR);
      return copied == n ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case FileFsDeviceInformation: {
      if (Length < sizeof(FILE_FS_DEVICE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_DEVICE_INFORMATION>(Buffer);
      info->DeviceType = Volume->Vpb->RealDevice ? Volume->Vpb->RealDevice->DeviceType : FILE_DEVICE_DISK;
      info->Characteristics = Volume->Vpb->RealDevice ? Volume->Vpb->RealDevice->Characteristics : 0;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    case FileFsSectorSizeInformation: {
      if (Length < sizeof(FILE_FS_SECTOR_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_SECTOR_SIZE_INFORMATION>(Buffer);
      RtlZeroMemory(info, sizeof *info);
      info->LogicalBytesPerSector = v.SectorSize;
      info->PhysicalBytesPerSectorForAtomicity = v.SectorSize;
      info->PhysicalBytesPerSectorForPerformance = v.SectorSize;
      info->FileSystemEffectivePhysicalBytesPerSectorForAtomicity = v.SectorSize;
      info->Flags = SSINFO_FLAGS_ALIGNED_DEVICE;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS SetLabel(NtfsVolume *Volume, const FILE_FS_LABEL_INFORMATION *info, ULONG Length) {
  ULONG head = FIELD_OFFSET(FILE_FS_LABEL_INFORMATION, VolumeLabel);
  if (Length < head || info->VolumeLabelLength > Length - head || info->VolumeLabelLength % 2)
    return STATUS_INVALID_PARAMETER;
  ULONG n = info->VolumeLabelLength / sizeof(WCHAR);
  if (n > kMaxLabel) return STATUS_INVALID_VOLUME_LABEL;
  for (ULONG i = 0; i < n; ++i) {
    WCHAR c = info->VolumeLabel[i];
    if (c < 0x20) return STATUS_INVALID_VOLUME_LABEL;
  }
  NTSTATUS status = NtfsStatus(NtfsLibSetLabel(Volume->Lib, reinterpret_cast<const char16_t *>(info->VolumeLabel),
                                               static_cast<uint16_t>(n)));
  if (NT_SUCCESS(status)) {
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    RtlCopyMemory(Volume->Vpb->VolumeLabel, info->VolumeLabel, n * sizeof(WCHAR));
    Volume->Vpb->VolumeLabelLength = static_cast<USHORT>(n * sizeof(WCHAR));
    IoReleaseVpbSpinLock(irql);
  }
  return status;
}

}  // namespace

NTSTATUS NtfsQueryVolumeInformation(NtfsVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG_PTR information = 0;
  FsEnter(Volume);
  NTSTATUS status = Volume->Lib ? Query(Volume, stack->Parameters.QueryVolume.FsInformationClass,
                                        FsRequestBuffer(Irp), stack->Parameters.QueryVolume.Length, &information)
                                : STATUS_VOLUME_DISMOUNTED;
  FsLeave(Volume);
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NtfsSetVolumeInformation(NtfsVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.SetVolume.FsInformationClass != FileFsLabelInformation)
    return FsComplete(Irp, STATUS_INVALID_PARAMETER, 0);
  FsEnter(Volume);
  NTSTATUS status = Volume->Lib ? SetLabel(Volume, static_cast<PFILE_FS_LABEL_INFORMATION>(FsRequestBuffer(Irp)),
                                           stack->Parameters.SetVolume.Length)
                                : STATUS_VOLUME_DISMOUNTED;
  FsLeave(Volume);
  return FsComplete(Irp, status, 0);
}
