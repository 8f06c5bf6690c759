// Volume information: label and serial, sizes, the file system's name and
// abilities; and the label set in the root folder and the boot sector.
#include "platform/drivers/fat/fat_volume.h"

namespace {

NTSTATUS Query(FatVolume *Volume, FS_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length, ULONG_PTR *Information) {
  FatVolumeCore *core = &Volume->Core;
  switch (Class) {
    case FileFsVolumeInformation: {
      ULONG head = FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
      if (Length < head) return STATUS_INFO_LENGTH_MISMATCH;
      UCHAR label[11];
      BOOLEAN found = FALSE;
      NTSTATUS status = FatReadLabel(core, label, &found);
      if (!NT_SUCCESS(status)) return status;
      ULONG n = 0;
      if (found) {
        n = 11;
        while (n && label[n - 1] == ' ') --n;
      }
      auto *info = static_cast<PFILE_FS_VOLUME_INFORMATION>(Buffer);
      RtlZeroMemory(info, head);
      info->VolumeSerialNumber = core->Serial;
      info->VolumeLabelLength = n * sizeof(WCHAR);
      ULONG room = (Length - head) / sizeof(WCHAR);
      for (ULONG i = 0; i < n && i < room; ++i) info->VolumeLabel[i] = label[i];
      *Information = head + (n < room ? n : room) * sizeof(WCHAR);
      return n <= room ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
    }
    case FileFsSizeInformation: {
      if (Length < sizeof(FILE_FS_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_SIZE_INFORMATION>(Buffer);
      info->TotalAllocationUnits.QuadPart = core->ClusterCount;
      info->AvailableAllocationUnits.QuadPart = core->FreeClusters;
      info->SectorsPerAllocationUnit = core->SectorsPerCluster;
      info->BytesPerSector = core->BytesPerSector;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    case FileFsFullSizeInformation: {
      if (Length < sizeof(FILE_FS_FULL_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_FULL_SIZE_INFORMATION>(Buffer);
      info->TotalAllocationUnits.QuadPart = core->ClusterCount;
      info->CallerAvailableAllocationUnits.QuadPart = core->FreeClusters;
      info->ActualAvailableAllocationUnits.QuadPart = core->FreeClusters;
      info->SectorsPerAllocationUnit = core->SectorsPerCluster;
      info->BytesPerSector = core->BytesPerSector;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    case FileFsAttributeInformation: {
      ULONG head = FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
      if (Length < head) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(Buffer);
      info->FileSystemAttributes = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
      info->MaximumComponentNameLength = kFatMaxName;
      const char *name = core->FatBits == 32 ? "FAT32" : "FAT";
      ULONG n = core->FatBits == 32 ? 5 : 3;
      info->FileSystemNameLength = n * sizeof(WCHAR);
      ULONG room = (Length - head) / sizeof(WCHAR);
      for (ULONG i = 0; i < n && i < room; ++i) info->FileSystemName[i] = static_cast<WCHAR>(name[i]);
      *Information = head + (n < room ? n : room) * sizeof(WCHAR);
      return n <= room ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
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
      info->LogicalBytesPerSector = core->BytesPerSector;
      info->PhysicalBytesPerSectorForAtomicity = core->BytesPerSector;
      info->PhysicalBytesPerSectorForPerformance = core->BytesPerSector;
      info->FileSystemEffectivePhysicalBytesPerSectorForAtomicity = core->BytesPerSector;
      info->Flags = SSINFO_FLAGS_ALIGNED_DEVICE;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// A label is at most 11 characters a short name may hold (blanks too),
// kept in upper case.
NTSTATUS SetLabel(FatVolume *Volume, const FILE_FS_LABEL_INFORMATION *info, ULONG Length) {
  ULONG head = FIELD_OFFSET(FILE_FS_LABEL_INFORMATION, VolumeLabel);
  if (Length < head || info->VolumeLabelLength > Length - head || info->VolumeLabelLength % 2)
    return STATUS_INVALID_PARAMETER;
  ULONG n = info->VolumeLabelLength / sizeof(WCHAR);
  if (n > 11) return STATUS_INVALID_VOLUME_LABEL;
  UCHAR label[11];
  RtlFillMemory(label, 11, ' ');
  for (ULONG i = 0; i < n; ++i) {
    WCHAR c = RtlUpcaseUnicodeChar(info->VolumeLabel[i]);
    if (c < 0x20 || c > 0x7E) return STATUS_INVALID_VOLUME_LABEL;
    switch (c) {
      case u'*': case u'?': case u'/': case u'\\': case u'|': case u'.': case u',': case u';': case u':':
      case u'+': case u'=': case u'[': case u']': case u'<': case u'>': case u'"':
        return STATUS_INVALID_VOLUME_LABEL;
      default:
        label[i] = static_cast<UCHAR>(c);
    }
  }
  NTSTATUS status = FatWriteLabel(&Volume->Core, label);
  if (NT_SUCCESS(status)) status = FatFlushTable(&Volume->Core);
  if (NT_SUCCESS(status)) {
    static const UCHAR kNoName[11] = {'N', 'O', ' ', 'N', 'A', 'M', 'E', ' ', ' ', ' ', ' '};
    status = FatSetBootLabel(&Volume->Core, n ? label : kNoName);
  }
  if (NT_SUCCESS(status)) {
    while (n && label[n - 1] == ' ') --n;
    KIRQL irql;
    IoAcquireVpbSpinLock(&irql);
    for (ULONG i = 0; i < n; ++i) Volume->Vpb->VolumeLabel[i] = label[i];
    Volume->Vpb->VolumeLabelLength = static_cast<USHORT>(n * sizeof(WCHAR));
    IoReleaseVpbSpinLock(irql);
  }
  return status;
}

}  // namespace

NTSTATUS FatQueryVolumeInformation(FatVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG_PTR information = 0;
  FsEnter(Volume);
  NTSTATUS status = Query(Volume, stack->Parameters.QueryVolume.FsInformationClass, FsRequestBuffer(Irp),
                          stack->Parameters.QueryVolume.Length, &information);
  FsLeave(Volume);
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS FatSetVolumeInformation(FatVolume *Volume, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.SetVolume.FsInformationClass != FileFsLabelInformation)
    return FsComplete(Irp, STATUS_INVALID_PARAMETER, 0);
  FsEnter(Volume);
  NTSTATUS status = SetLabel(Volume, static_cast<PFILE_FS_LABEL_INFORMATION>(FsRequestBuffer(Irp)),
                             stack->Parameters.SetVolume.Length);
  FsLeave(Volume);
  return FsComplete(Irp, status, 0);
}
