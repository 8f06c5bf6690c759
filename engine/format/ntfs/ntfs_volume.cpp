// $Volume: the volume's GUID, label, version and its own descriptor.
#include "engine/format/ntfs/ntfs_security.h"
#include "engine/format/ntfs/ntfs_types.h"

NTSTATUS NtfsWriteVolumeRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base) {
  NtfsName label;
  NTSTATUS status = NtfsMakeName(Geometry->Label, NTFS_MAX_LABEL_CHARS, &label);
  if (!NT_SUCCESS(status)) return NtfsFail(Writer, status);

  NtfsBeginRecord(
      Writer, Base,
      NtfsRecordHeader{NTFS_RECORD_VOLUME, 1, NTFS_RECORD_IN_USE, 7, NTFS_RECORD_VOLUME});
  NtfsWriteStandardInformation(Writer, Geometry, 0, NtfsStandardShort, NTFS_FILE_HIDDEN_SYSTEM, 0);
  NtfsWriteFileName(Writer, Geometry, 1, NtfsSystemFileName(Geometry, NTFS_RECORD_VOLUME));
  NtfsWriteResident(Writer, NTFS_AT_OBJECT_ID, nullptr, 6, Geometry->VolumeGuid,
                    sizeof(Geometry->VolumeGuid));

  ULONGLONG end = 0;
  NtfsBeginResident(Writer, NTFS_AT_SECURITY_DESCRIPTOR, nullptr, 2,
                    NtfsDescriptorLength(NtfsDescriptorVolume), &end);
  NtfsAppendDescriptor(Writer, NtfsDescriptorVolume);
  NtfsEndAttribute(Writer, end);

  NtfsBeginResident(Writer, NTFS_AT_VOLUME_NAME, nullptr, 4, label.Chars * sizeof(WCHAR), &end);
  NtfsAppendName(Writer, label);
  NtfsEndAttribute(Writer, end);

  NtfsBeginResident(Writer, NTFS_AT_VOLUME_INFORMATION, nullptr, 5, 12, &end);
  NtfsAppend64(Writer, 0);
  NtfsAppend8(Writer, 3);   // major version
  NtfsAppend8(Writer, 1);   // minor version
  NtfsAppend16(Writer, 0);  // flags: clean
  NtfsEndAttribute(Writer, end);

  NtfsWriteResident(Writer, NTFS_AT_DATA, nullptr, 3, nullptr, 0);
  return NtfsEndRecord(Writer, Base);
}
