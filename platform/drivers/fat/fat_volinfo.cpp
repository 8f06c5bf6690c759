// Volume information: label and serial, sizes, the file system's name and
// abilities; and the label set in the root folder and the boot sector.
#include "platform/drivers/fat/fat_volume.h"
#include "platform/drivers/fscommon/fs_volume_info.h"

namespace {

NTSTATUS Query(FsVolume *Fs, FS_INFORMATION_CLASS Class, PVOID Buffer, ULONG Length, ULONG_PTR *Information) {
  auto *volume = static_cast<FatVolume *>(Fs);
  FatVolumeCore *core = &volume->Core;
  WCHAR label[11];
  ULONG labelLength = 0;
  // Only the label's answer reads the label, and only when there is room
  // for an answer at all.
  if (Class == FileFsVolumeInformation && Length >= FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel)) {
    UCHAR raw[11];
    BOOLEAN found = FALSE;
    NTSTATUS status = FatReadLabel(core, raw, &found);
    if (!NT_SUCCESS(status)) return status;
    if (found) {
      labelLength = 11;
      while (labelLength && raw[labelLength - 1] == ' ') --labelLength;
    }
    for (ULONG i = 0; i < labelLength; ++i) label[i] = raw[i];
  }
  FsVolumeFacts facts{};
  facts.Serial = core->Serial;
  facts.Label = label;
  facts.LabelLength = labelLength;
  facts.TotalClusters = core->ClusterCount;
  facts.FreeClusters = core->FreeClusters;
  facts.SectorsPerCluster = core->SectorsPerCluster;
  facts.BytesPerSector = core->BytesPerSector;
  facts.Attributes = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  facts.MaxComponent = kFatMaxName;
  facts.Name = core->FatBits == 32 ? u"FAT32" : u"FAT";
  facts.NameLength = core->FatBits == 32 ? 5 : 3;
  return FsAnswerVolumeInformation(volume, Class, &facts, Buffer, Length, Information);
}

// A label is at most 11 characters a short name may hold (blanks too),
// kept in upper case.
NTSTATUS SetLabel(FsVolume *Fs, PCWSTR Label, ULONG Length) {
  auto *volume = static_cast<FatVolume *>(Fs);
  ULONG n = Length;
  if (n > 11) return STATUS_INVALID_VOLUME_LABEL;
  UCHAR label[11];
  RtlFillMemory(label, 11, ' ');
  for (ULONG i = 0; i < n; ++i) {
    WCHAR c = RtlUpcaseUnicodeChar(Label[i]);
    if (c < 0x20 || c > 0x7E) return STATUS_INVALID_VOLUME_LABEL;
    switch (c) {
      case u'*': case u'?': case u'/': case u'\\': case u'|': case u'.': case u',': case u';': case u':':
      case u'+': case u'=': case u'[': case u']': case u'<': case u'>': case u'"':
        return STATUS_INVALID_VOLUME_LABEL;
      default:
        label[i] = static_cast<UCHAR>(c);
    }
  }
  NTSTATUS status = FatWriteLabel(&volume->Core, label);
  if (NT_SUCCESS(status)) status = FatFlushTable(&volume->Core);
  if (NT_SUCCESS(status)) {
    static const UCHAR kNoName[11] = {'N', 'O', ' ', 'N', 'A', 'M', 'E', ' ', ' ', ' ', ' '};
    status = FatSetBootLabel(&volume->Core, n ? label : kNoName);
  }
  if (NT_SUCCESS(status)) {
    while (n && label[n - 1] == ' ') --n;
    WCHAR shown[11];
    for (ULONG i = 0; i < n; ++i) shown[i] = label[i];
    FsSetVpbLabel(volume, shown, n);
  }
  return status;
}

}  // namespace

NTSTATUS FatQueryVolumeInformation(FatVolume *Volume, PIRP Irp) {
  return FsQueryVolumeInformation(Volume, Irp, Query, nullptr);
}

NTSTATUS FatSetVolumeInformation(FatVolume *Volume, PIRP Irp) {
  return FsSetVolumeInformation(Volume, Irp, SetLabel, nullptr);
}
