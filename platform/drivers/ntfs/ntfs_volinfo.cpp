// Volume information: label and serial, sizes, the file system's name and
// abilities; and the label set in $Volume.
#include "platform/drivers/fscommon/fs_volume_info.h"
#include "platform/drivers/ntfs/ntfs_volume.h"

namespace {

constexpr ULONG kNtfsFileSystemAttributes = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
                                            FILE_UNICODE_ON_DISK | FILE_PERSISTENT_ACLS | FILE_FILE_COMPRESSION |
                                            FILE_SUPPORTS_HARD_LINKS;
// An NTFS label holds at most 32 characters.
constexpr ULONG kMaxLabel = 32;

NTSTATUS Query(FsVolume *Fs, FS_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length, ULONG_PTR *Information) {
  auto *volume = static_cast<NtfsVolume *>(Fs);
  NtfsLibVolumeInfo v;
  NTSTATUS status = NtfsStatus(NtfsLibQueryVolume(volume->Lib, &v));
  if (!NT_SUCCESS(status)) return status;
  FsVolumeFacts facts{};
  facts.Serial = volume->Serial;
  facts.Label = reinterpret_cast<PCWSTR>(v.Label);
  facts.LabelLength = v.LabelLength;
  facts.TotalClusters = v.TotalClusters;
  facts.FreeClusters = v.FreeClusters;
  facts.SectorsPerCluster = v.ClusterSize / v.SectorSize;
  facts.BytesPerSector = v.SectorSize;
  facts.Attributes = kNtfsFileSystemAttributes;
  facts.MaxComponent = kNtfsMaxName;
  facts.Name = u"NTFS";
  facts.NameLength = 4;
  return FsAnswerVolumeInformation(volume, Class, &facts, Buffer, Length, Information);
}

NTSTATUS SetLabel(FsVolume *Fs, PCWSTR Label, ULONG Length) {
  auto *volume = static_cast<NtfsVolume *>(Fs);
  if (Length > kMaxLabel) return STATUS_INVALID_VOLUME_LABEL;
  for (ULONG i = 0; i < Length; ++i)
    if (Label[i] < 0x20) return STATUS_INVALID_VOLUME_LABEL;
  NTSTATUS status = NtfsStatus(NtfsLibSetLabel(volume->Lib, reinterpret_cast<const char16_t *>(Label),
                                               static_cast<uint16_t>(Length)));
  if (NT_SUCCESS(status)) FsSetVpbLabel(volume, Label, Length);
  return status;
}

}  // namespace

NTSTATUS NtfsQueryVolumeInformation(NtfsVolume *Volume, PIRP Irp) {
  return FsQueryVolumeInformation(Volume, Irp, Query, NtfsLibraryGone);
}

NTSTATUS NtfsSetVolumeInformation(NtfsVolume *Volume, PIRP Irp) {
  return FsSetVolumeInformation(Volume, Irp, SetLabel, NtfsLibraryGone);
}
