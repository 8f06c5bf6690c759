// Directory queries (NtQueryDirectoryFile): the I/O manager checks the
// class and the buffer, captures the search name, and sends
// IRP_MJ_DIRECTORY_CONTROL / IRP_MN_QUERY_DIRECTORY to the file system,
// which keeps the search's pattern and place in its own context of the
// file object.
#include "internal.h"
#include "io/io_internal.h"

#include <string>

namespace bw {

namespace {

ULONG DirectoryMinimum(FILE_INFORMATION_CLASS c) {
  switch (c) {
    case FileDirectoryInformation: return sizeof(FILE_DIRECTORY_INFORMATION);
    case FileFullDirectoryInformation: return sizeof(FILE_FULL_DIR_INFORMATION);
    case FileBothDirectoryInformation: return sizeof(FILE_BOTH_DIR_INFORMATION);
    case FileNamesInformation: return sizeof(FILE_NAMES_INFORMATION);
    case FileIdBothDirectoryInformation: return sizeof(FILE_ID_BOTH_DIR_INFORMATION);
    case FileIdFullDirectoryInformation: return sizeof(FILE_ID_FULL_DIR_INFORMATION);
    default: return 0;
  }
}

}  // namespace

NTSTATUS FileQueryDirectory(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID buffer, ULONG length,
                            FILE_INFORMATION_CLASS infoClass, bool singleEntry,
                            PUNICODE_STRING fileName, bool restartScan, PIO_STATUS_BLOCK iosb) {
  if (!buffer) return STATUS_INVALID_PARAMETER;
  ULONG minimum = DirectoryMinimum(infoClass);
  if (!minimum) return STATUS_INVALID_INFO_CLASS;
  if (length < minimum) return STATUS_INFO_LENGTH_MISMATCH;
  if (!UserBufferValid(mode, buffer, length)) return STATUS_ACCESS_VIOLATION;
  // The name is captured: the file system reads the I/O manager's copy,
  // never the caller's memory.
  std::u16string name;
  UNICODE_STRING captured{};
  if (fileName) {
    if (fileName->Length % sizeof(WCHAR) || (fileName->Length && !fileName->Buffer) ||
        !UserBufferValid(mode, fileName->Buffer, fileName->Length))
      return STATUS_INVALID_PARAMETER;
    name.assign(fileName->Buffer, fileName->Length / sizeof(WCHAR));
    captured.Buffer = name.data();
    captured.Length = fileName->Length;
    captured.MaximumLength = fileName->Length;
  }
  IO_STACK_LOCATION shape{};
  shape.MajorFunction = IRP_MJ_DIRECTORY_CONTROL;
  shape.MinorFunction = IRP_MN_QUERY_DIRECTORY;
  shape.Flags = static_cast<UCHAR>((restartScan ? SL_RESTART_SCAN : 0) |
                                   (singleEntry ? SL_RETURN_SINGLE_ENTRY : 0));
  shape.Parameters.QueryDirectory.Length = length;
  shape.Parameters.QueryDirectory.FileName = fileName ? &captured : nullptr;
  shape.Parameters.QueryDirectory.FileInformationClass = infoClass;
  shape.Parameters.QueryDirectory.FileIndex = 0;
  // File systems take the caller's buffer as it is (Irp->UserBuffer), as
  // they do on Windows, unless their volume device asks for buffered I/O.
  const bool buffered = IoGetRelatedDeviceObject(file)->Flags & DO_BUFFERED_IO;
  return SendFileInformationRequest(file, mode, shape, buffer, length, true, !buffered, iosb);
}

}  // namespace bw
