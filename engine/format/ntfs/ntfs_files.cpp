// Records of the plain metadata files and the reserved and free slots.
#include "engine/format/ntfs/ntfs_files.h"

#include "engine/format/ntfs/ntfs_types.h"

namespace {

constexpr ULONG FIRST_PLACEHOLDER = 12;
constexpr ULONG FIRST_FREE_PLACEHOLDER = 16;

// Records whose only stream is one non-resident $DATA.
struct PlainFile {
  ULONG Number;
  USHORT NextId;
  NtfsStandardInformationForm Form;
  USHORT FileNameId;
};

const PlainFile gPlainFiles[] = {
    {NTFS_RECORD_MFTMIRR, 3, NtfsStandardLong, 2},  {NTFS_RECORD_LOGFILE, 3, NtfsStandardLong, 2},
    {NTFS_RECORD_ATTRDEF, 4, NtfsStandardShort, 2}, {NTFS_RECORD_BITMAP, 3, NtfsStandardLong, 2},
    {NTFS_RECORD_BOOT, 4, NtfsStandardShort, 2},    {NTFS_RECORD_UPCASE, 4, NtfsStandardLong, 1},
};

// The $DATA stream of a plain file: its run, data size and attribute id.
NtfsNonResidentStream PlainData(const NtfsGeometry *Geometry, ULONG Number) {
  NtfsNonResidentStream data{NTFS_AT_DATA, nullptr, 1, {}, FALSE, 0, 0};
  switch (Number) {
    case NTFS_RECORD_MFTMIRR:
      data.Run = Geometry->MftMirr;
      data.DataSize = NtfsExtentBytes(Geometry, Geometry->MftMirr);
      break;
    case NTFS_RECORD_LOGFILE:
      data.Run = Geometry->LogFile;
      data.DataSize = NtfsExtentBytes(Geometry, Geometry->LogFile);
      break;
    case NTFS_RECORD_ATTRDEF:
      data.Run = Geometry->AttrDef;
      data.DataSize = NTFS_ATTRDEF_BYTES;
      break;
    case NTFS_RECORD_BITMAP:
      data.Run = Geometry->Bitmap;
      data.DataSize = Geometry->BitmapBytes;
      break;
    case NTFS_RECORD_BOOT:
      data.Run = Geometry->Boot;
      data.DataSize = NtfsExtentBytes(Geometry, Geometry->Boot);
      break;
    case NTFS_RECORD_UPCASE:
      data.Run = Geometry->UpCase;
      data.DataSize = NTFS_UPCASE_BYTES;
      data.Id = 3;
      break;
  }
  data.InitializedSize = data.DataSize;
  return data;
}

NTSTATUS WritePlainFile(NtfsWriter *Writer, NtfsGeometry *Geometry, const PlainFile &File,
                        ULONGLONG Base) {
  NtfsBeginRecord(Writer, Base,
                  NtfsRecordHeader{NtfsSystemFileSequence(File.Number), 1, NTFS_RECORD_IN_USE,
                                   File.NextId, File.Number});
  NtfsWriteStandardInformation(Writer, Geometry, 0, File.Form, NTFS_FILE_HIDDEN_SYSTEM,
                               NTFS_SECURITY_ID_FILES);
  NtfsWriteFileName(Writer, Geometry, File.FileNameId, NtfsSystemFileName(Geometry, File.Number));
  NtfsWriteNonResident(Writer, Geometry, PlainData(Geometry, File.Number));
  return NtfsEndRecord(Writer, Base);
}

NTSTATUS WriteMftRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base) {
  NtfsBeginRecord(Writer, Base, NtfsRecordHeader{1, 1, NTFS_RECORD_IN_USE, 4, NTFS_RECORD_MFT});
  NtfsWriteStandardInformation(Writer, Geometry, 0, NtfsStandardLong, NTFS_FILE_HIDDEN_SYSTEM,
                               NTFS_SECURITY_ID_FILES);
  NtfsWriteFileName(Writer, Geometry, 2, NtfsSystemFileName(Geometry, NTFS_RECORD_MFT));
  NtfsWriteNonResident(Writer, Geometry,
                       NtfsNonResidentStream{NTFS_AT_DATA, nullptr, 1, Geometry->Mft, FALSE,
                                             Geometry->MftDataSize, Geometry->MftDataSize});
  ULONGLONG bitmapBytes = NtfsExtentBytes(Geometry, Geometry->MftBitmap);
  NtfsWriteNonResident(Writer, Geometry,
                       NtfsNonResidentStream{NTFS_AT_BITMAP, nullptr, 3, Geometry->MftBitmap, FALSE,
                                             bitmapBytes, bitmapBytes});
  return NtfsEndRecord(Writer, Base);
}

NTSTATUS WriteBadClusRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONGLONG Base) {
  NtfsBeginRecord(
      Writer, Base,
      NtfsRecordHeader{NTFS_RECORD_BADCLUS, 1, NTFS_RECORD_IN_USE, 4, NTFS_RECORD_BADCLUS});
  NtfsWriteStandardInformation(Writer, Geometry, 0, NtfsStandardLong, NTFS_FILE_HIDDEN_SYSTEM,
                               NTFS_SECURITY_ID_FILES);
  NtfsWriteFileName(Writer, Geometry, 3, NtfsSystemFileName(Geometry, NTFS_RECORD_BADCLUS));
  NtfsWriteResident(Writer, NTFS_AT_DATA, nullptr, 2, nullptr, 0);
  // $Bad spans the whole volume as one sparse run: no bad clusters yet.
  NtfsExtent whole{0, Geometry->VolumeSize / Geometry->ClusterSize};
  NtfsWriteNonResident(Writer, Geometry,
                       NtfsNonResidentStream{NTFS_AT_DATA, "$Bad", 1, whole, TRUE, 0, 0});
  return NtfsEndRecord(Writer, Base);
}

}  // namespace

USHORT NtfsSystemFileSequence(ULONG Number) {
  return Number == NTFS_RECORD_MFT ? 1 : static_cast<USHORT>(Number);
}

NtfsFileNameInfo NtfsSystemFileName(const NtfsGeometry *Geometry, ULONG Number) {
  NtfsFileNameInfo info{NTFS_ROOT_REFERENCE, "", 0, 0, NTFS_FILE_HIDDEN_SYSTEM};
  switch (Number) {
    case NTFS_RECORD_MFT:
      info.Name = "$MFT";
      info.Allocated = info.DataSize = Geometry->MftDataSize;
      break;
    case NTFS_RECORD_MFTMIRR:
      info.Name = "$MFTMirr";
      info.Allocated = info.DataSize = 4096;
      break;
    case NTFS_RECORD_LOGFILE:
      info.Name = "$LogFile";
      info.Allocated = info.DataSize = NtfsExtentBytes(Geometry, Geometry->LogFile);
      break;
    case NTFS_RECORD_VOLUME:
      info.Name = "$Volume";
      break;
    case NTFS_RECORD_ATTRDEF:
      info.Name = "$AttrDef";
      info.Allocated = 4096;
      info.DataSize = NTFS_ATTRDEF_BYTES;
      break;
    case NTFS_RECORD_ROOT:
      info.Name = ".";
      info.FileAttributes = NTFS_FILE_HIDDEN_SYSTEM_ARCHIVE | NTFS_FILE_DIRECTORY_INDEX;
      break;
    case NTFS_RECORD_BITMAP:
      info.Name = "$Bitmap";
      info.Allocated = 4096;
      info.DataSize = Geometry->BitmapBytes;
      break;
    case NTFS_RECORD_BOOT:
      info.Name = "$Boot";
      info.Allocated = info.DataSize = 8192;
      break;
    case NTFS_RECORD_BADCLUS:
      info.Name = "$BadClus";
      break;
    case NTFS_RECORD_SECURE:
      info.Name = "$Secure";
      info.FileAttributes = NTFS_FILE_HIDDEN_SYSTEM | NTFS_FILE_VIEW_INDEX;
      break;
    case NTFS_RECORD_UPCASE:
      info.Name = "$UpCase";
      info.Allocated = info.DataSize = NTFS_UPCASE_BYTES;
      break;
    case NTFS_RECORD_EXTEND:
      info.Name = "$Extend";
      info.FileAttributes = NTFS_FILE_HIDDEN_SYSTEM | NTFS_FILE_DIRECTORY_INDEX;
      break;
  }
  return info;
}

NTSTATUS NtfsWriteRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONG Number, ULONGLONG Base) {
  for (const PlainFile &file : gPlainFiles) {
    if (file.Number == Number) return WritePlainFile(Writer, Geometry, file, Base);
  }
  switch (Number) {
    case NTFS_RECORD_MFT:
      return WriteMftRecord(Writer, Geometry, Base);
    case NTFS_RECORD_VOLUME:
      return NtfsWriteVolumeRecord(Writer, Geometry, Base);
    case NTFS_RECORD_ROOT:
      return NtfsWriteRootRecord(Writer, Geometry, Base);
    case NTFS_RECORD_BADCLUS:
      return WriteBadClusRecord(Writer, Geometry, Base);
    case NTFS_RECORD_SECURE:
      return NtfsWriteSecureRecord(Writer, Geometry, Base);
    case NTFS_RECORD_EXTEND:
      return NtfsWriteExtendRecord(Writer, Geometry, Base);
    case NTFS_RECORD_QUOTA:
      return NtfsWriteQuotaRecord(Writer, Geometry, Base);
    case NTFS_RECORD_OBJID:
      return NtfsWriteObjIdRecord(Writer, Geometry, Base);
    case NTFS_RECORD_REPARSE:
      return NtfsWriteReparseRecord(Writer, Geometry, Base);
  }
  return NtfsFail(Writer, STATUS_INVALID_PARAMETER);
}

NTSTATUS NtfsWritePlaceholderRecord(NtfsWriter *Writer, NtfsGeometry *Geometry, ULONG Number,
                                    ULONGLONG Base) {
  if (Number < FIRST_PLACEHOLDER || Number >= NTFS_METADATA_RECORDS) {
    return NtfsFail(Writer, STATUS_INVALID_PARAMETER);
  }
  bool reserved = Number < FIRST_FREE_PLACEHOLDER;
  NtfsBeginRecord(
      Writer, Base,
      NtfsRecordHeader{static_cast<USHORT>(Number), static_cast<USHORT>(reserved ? 0 : 1),
                       static_cast<USHORT>(reserved ? NTFS_RECORD_IN_USE : 0), 2,
                       reserved ? Number : 0});
  NtfsWriteStandardInformation(Writer, Geometry, 0, NtfsStandardShort, NTFS_FILE_HIDDEN_SYSTEM, 0);
  if (reserved) NtfsWriteResident(Writer, NTFS_AT_DATA, nullptr, 1, nullptr, 0);
  return NtfsEndRecord(Writer, Base);
}
