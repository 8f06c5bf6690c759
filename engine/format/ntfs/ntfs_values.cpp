#include "engine/format/ntfs/ntfs_values.h"

#include "engine/format/ntfs/ntfs_types.h"

namespace {

constexpr ULONG STANDARD_SHORT_BYTES = 48;
constexpr ULONG STANDARD_LONG_BYTES = 72;
constexpr UCHAR NAMESPACE_WIN32_AND_DOS = 3;

// Creation, modification, MFT change and access time.
VOID AppendTimes(NtfsWriter *Writer, const NtfsGeometry *Geometry) {
  for (int i = 0; i < 4; ++i) NtfsAppend64(Writer, Geometry->FormatTime);
}

}  // namespace

NTSTATUS NtfsWriteStandardInformation(NtfsWriter *Writer, const NtfsGeometry *Geometry, USHORT Id,
                                      NtfsStandardInformationForm Form, ULONG FileAttributes,
                                      ULONG SecurityId) {
  ULONG length = Form == NtfsStandardLong ? STANDARD_LONG_BYTES : STANDARD_SHORT_BYTES;
  ULONGLONG end = 0;
  NTSTATUS status =
      NtfsBeginResident(Writer, NTFS_AT_STANDARD_INFORMATION, nullptr, Id, length, &end);
  if (!NT_SUCCESS(status)) return status;
  AppendTimes(Writer, Geometry);
  NtfsAppend32(Writer, FileAttributes);
  NtfsAppendZeros(Writer, 12);  // maximum versions, version, class id
  if (Form == NtfsStandardLong) {
    NtfsAppend32(Writer, 0);  // owner id
    NtfsAppend32(Writer, SecurityId);
    NtfsAppend64(Writer, 0);  // quota charged
    NtfsAppend64(Writer, 0);  // update sequence number
  }
  return NtfsEndAttribute(Writer, end);
}

ULONG NtfsFileNameValueLength(ULONG NameChars) {
  return 66 + 2 * NameChars;
}

NTSTATUS NtfsAppendFileNameValue(NtfsWriter *Writer, const NtfsGeometry *Geometry,
                                 const NtfsFileNameInfo &Info, const NtfsName &Name) {
  NtfsAppend64(Writer, Info.Parent);
  AppendTimes(Writer, Geometry);
  NtfsAppend64(Writer, Info.Allocated);
  NtfsAppend64(Writer, Info.DataSize);
  NtfsAppend32(Writer, Info.FileAttributes);
  NtfsAppend32(Writer, 0);  // extended attributes / reparse tag
  NtfsAppend8(Writer, static_cast<UCHAR>(Name.Chars));
  NtfsAppend8(Writer, NAMESPACE_WIN32_AND_DOS);
  return NtfsAppendName(Writer, Name);
}

NTSTATUS NtfsWriteFileName(NtfsWriter *Writer, const NtfsGeometry *Geometry, USHORT Id,
                           const NtfsFileNameInfo &Info) {
  NtfsName name;
  NTSTATUS status = NtfsMakeName(Info.Name, NTFS_MAX_NAME_CHARS, &name);
  if (!NT_SUCCESS(status)) return NtfsFail(Writer, status);
  ULONGLONG end = 0;
  status = NtfsBeginResident(Writer, NTFS_AT_FILE_NAME, nullptr, Id,
                             NtfsFileNameValueLength(name.Chars), &end);
  if (!NT_SUCCESS(status)) return status;
  NtfsAppendFileNameValue(Writer, Geometry, Info, name);
  return NtfsEndAttribute(Writer, end);
}
