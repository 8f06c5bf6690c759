// Volume information: the layout of the answers and the requests' frame.
#include "platform/drivers/fscommon/fs_volume_info.h"

namespace {

// A name at the end of an answer: as much as fits.
NTSTATUS CopyName(PWCHAR To, ULONG Room, PCWSTR Name, ULONG Length, ULONG Head,
                  ULONG_PTR *Information) {
  ULONG n = Length < Room ? Length : Room;
  if (n) RtlCopyMemory(To, Name, n * sizeof(WCHAR));
  *Information = Head + n * sizeof(WCHAR);
  return n == Length ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

}  // namespace

NTSTATUS FsAnswerVolumeInformation(FsVolume *Volume, FS_INFORMATION_CLASS Class,
                                   const FsVolumeFacts *Facts, PVOID Buffer, ULONG Length,
                                   ULONG_PTR *Information) {
  switch (Class) {
    case FileFsVolumeInformation: {
      ULONG head = FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
      if (Length < head) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_VOLUME_INFORMATION>(Buffer);
      RtlZeroMemory(info, head);
      info->VolumeSerialNumber = Facts->Serial;
      info->VolumeLabelLength = Facts->LabelLength * sizeof(WCHAR);
      return CopyName(info->VolumeLabel, (Length - head) / sizeof(WCHAR), Facts->Label,
                      Facts->LabelLength, head, Information);
    }
    case FileFsSizeInformation: {
      if (Length < sizeof(FILE_FS_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_SIZE_INFORMATION>(Buffer);
      info->TotalAllocationUnits.QuadPart = static_cast<LONGLONG>(Facts->TotalClusters);
      info->AvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(Facts->FreeClusters);
      info->SectorsPerAllocationUnit = Facts->SectorsPerCluster;
      info->BytesPerSector = Facts->BytesPerSector;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    case FileFsFullSizeInformation: {
      if (Length < sizeof(FILE_FS_FULL_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_FULL_SIZE_INFORMATION>(Buffer);
      info->TotalAllocationUnits.QuadPart = static_cast<LONGLONG>(Facts->TotalClusters);
      info->CallerAvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(Facts->FreeClusters);
      info->ActualAvailableAllocationUnits.QuadPart = static_cast<LONGLONG>(Facts->FreeClusters);
      info->SectorsPerAllocationUnit = Facts->SectorsPerCluster;
      info->BytesPerSector = Facts->BytesPerSector;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    case FileFsAttributeInformation: {
      ULONG head = FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
      if (Length < head) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(Buffer);
      info->FileSystemAttributes = Facts->Attributes;
      info->MaximumComponentNameLength = Facts->MaxComponent;
      info->FileSystemNameLength = Facts->NameLength * sizeof(WCHAR);
      return CopyName(info->FileSystemName, (Length - head) / sizeof(WCHAR), Facts->Name,
                      Facts->NameLength, head, Information);
    }
    case FileFsDeviceInformation: {
      if (Length < sizeof(FILE_FS_DEVICE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_DEVICE_INFORMATION>(Buffer);
      info->DeviceType =
          Volume->Vpb->RealDevice ? Volume->Vpb->RealDevice->DeviceType : FILE_DEVICE_DISK;
      info->Characteristics =
          Volume->Vpb->RealDevice ? Volume->Vpb->RealDevice->Characteristics : 0;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    case FileFsSectorSizeInformation: {
      if (Length < sizeof(FILE_FS_SECTOR_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_SECTOR_SIZE_INFORMATION>(Buffer);
      RtlZeroMemory(info, sizeof *info);
      info->LogicalBytesPerSector = Facts->BytesPerSector;
      info->PhysicalBytesPerSectorForAtomicity = Facts->BytesPerSector;
      info->PhysicalBytesPerSectorForPerformance = Facts->BytesPerSector;
      info->FileSystemEffectivePhysicalBytesPerSectorForAtomicity = Facts->BytesPerSector;
      info->Flags = SSINFO_FLAGS_ALIGNED_DEVICE;
      *Information = sizeof *info;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

NTSTATUS FsQueryVolumeInformation(FsVolume *Volume, PIRP Irp, FsQueryVolume Query,
                                  BOOLEAN (*ContentsGone)(FsVolume *Volume)) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG_PTR information = 0;
  FsEnter(Volume);
  NTSTATUS status = STATUS_VOLUME_DISMOUNTED;
  if (!ContentsGone || !ContentsGone(Volume))
    status = Query(Volume, stack->Parameters.QueryVolume.FsInformationClass, FsRequestBuffer(Irp),
                   stack->Parameters.QueryVolume.Length, &information);
  FsLeave(Volume);
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS FsSetVolumeInformation(FsVolume *Volume, PIRP Irp, FsSetLabel SetLabel,
                                BOOLEAN (*ContentsGone)(FsVolume *Volume)) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->Parameters.SetVolume.FsInformationClass != FileFsLabelInformation)
    return FsComplete(Irp, STATUS_INVALID_PARAMETER, 0);
  auto *info = static_cast<PFILE_FS_LABEL_INFORMATION>(FsRequestBuffer(Irp));
  ULONG length = stack->Parameters.SetVolume.Length;
  ULONG head = FIELD_OFFSET(FILE_FS_LABEL_INFORMATION, VolumeLabel);
  FsEnter(Volume);
  NTSTATUS status = STATUS_VOLUME_DISMOUNTED;
  if (ContentsGone && ContentsGone(Volume))
    status = STATUS_VOLUME_DISMOUNTED;
  else if (length < head || info->VolumeLabelLength > length - head || info->VolumeLabelLength % 2)
    status = STATUS_INVALID_PARAMETER;
  else
    status = SetLabel(Volume, info->VolumeLabel, info->VolumeLabelLength / sizeof(WCHAR));
  FsLeave(Volume);
  return FsComplete(Irp, status, 0);
}

VOID FsSetVpbLabel(FsVolume *Volume, PCWSTR Label, ULONG Length) {
  KIRQL irql;
  IoAcquireVpbSpinLock(&irql);
  RtlCopyMemory(Volume->Vpb->VolumeLabel, Label, Length * sizeof(WCHAR));
  Volume->Vpb->VolumeLabelLength = static_cast<USHORT>(Length * sizeof(WCHAR));
  IoReleaseVpbSpinLock(irql);
}
