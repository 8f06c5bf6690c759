// Renames and links as the I/O manager sends them. A bare name goes to the
// file system as it is (Parameters.SetFile.FileObject NULL: the same
// folder). A path is opened first, as the target's folder: IRP_MJ_CREATE
// with SL_OPEN_TARGET_DIRECTORY, which the file system answers by opening
// the folder that would hold the last component and telling in
// Information whether that component exists (FILE_EXISTS or
// FILE_DOES_NOT_EXIST). A folder on another volume ends the request with
// STATUS_NOT_SAME_DEVICE; otherwise the target file object's FileName is
// cut to the last component and the request goes to the file system with
// Parameters.SetFile.FileObject naming it and ReplaceIfExists from the
// caller's record.
#include "internal.h"
#include "io/io_internal.h"

#include <cstring>
#include <string>

namespace bw {

namespace {

constexpr ULONG kIoTag = 0x20206F49;  // "Io  "

// Keeps only the last component of the target's name.
NTSTATUS CutToLastComponent(PFILE_OBJECT target, std::u16string_view last) {
  auto *buffer = static_cast<PWSTR>(calloc(last.size() + 1, sizeof(WCHAR)));
  if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(buffer, last.data(), last.size() * sizeof(WCHAR));
  free(target->FileName.Buffer);
  target->FileName.Buffer = buffer;
  target->FileName.Length = static_cast<USHORT>(last.size() * sizeof(WCHAR));
  target->FileName.MaximumLength = target->FileName.Length + sizeof(WCHAR);
  return STATUS_SUCCESS;
}

NTSTATUS SendSetInformation(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID record, ULONG length,
                            FILE_INFORMATION_CLASS infoClass, PFILE_OBJECT target,
                            BOOLEAN replace, PIO_STATUS_BLOCK iosb) {
  IO_STACK_LOCATION shape{};
  shape.MajorFunction = IRP_MJ_SET_INFORMATION;
  shape.Parameters.SetFile.Length = length;
  shape.Parameters.SetFile.FileInformationClass = infoClass;
  shape.Parameters.SetFile.FileObject = target;
  shape.Parameters.SetFile.ReplaceIfExists = replace;
  return SendFileInformationRequest(file, mode, shape, record, length, false, false, iosb, true);
}

}  // namespace

NTSTATUS FileRenameOrLink(PFILE_OBJECT file, KPROCESSOR_MODE mode, PVOID buffer, ULONG length,
                          FILE_INFORMATION_CLASS infoClass, PIO_STATUS_BLOCK iosb) {
  // FILE_LINK_INFORMATION has the same layout.
  constexpr ULONG kHead = FIELD_OFFSET(FILE_RENAME_INFORMATION, FileName);
  // The record is captured before it is read, so that the caller cannot
  // change it between the checks and the use.
  auto *record = static_cast<PFILE_RENAME_INFORMATION>(
      ExAllocatePoolWithTag(NonPagedPoolNx, length, kIoTag));
  if (!record) return STATUS_INSUFFICIENT_RESOURCES;
  memcpy(record, buffer, length);
  struct Free {
    PVOID p;
    ~Free() { ExFreePoolWithTag(p, kIoTag); }
  } freeRecord{record};
  ULONG nameBytes = record->FileNameLength;
  if (nameBytes == 0 || nameBytes % sizeof(WCHAR) || nameBytes > length - kHead)
    return STATUS_INVALID_PARAMETER;
  std::u16string_view name(record->FileName, nameBytes / sizeof(WCHAR));
  const BOOLEAN replace = record->ReplaceIfExists ? TRUE : FALSE;
  if (name.find(u'\\') == std::u16string_view::npos && !record->RootDirectory)
    return SendSetInformation(file, mode, record, length, infoClass, nullptr, replace, iosb);
  // A name relative to another folder's handle is not taken: every caller
  // of this system names the target by its full path.
  if (record->RootDirectory) return STATUS_NOT_SUPPORTED;
  if (name[0] != u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
  size_t slash = name.rfind(u'\\');
  std::u16string_view last = name.substr(slash + 1);
  if (last.empty()) return STATUS_OBJECT_NAME_INVALID;

  // The folder is opened for adding an entry: a file (FILE_ADD_FILE) or a
  // folder (FILE_ADD_SUBDIRECTORY), by the caller's rights when the caller
  // is a user program.
  FILE_STANDARD_INFORMATION standard{};
  IO_STATUS_BLOCK queried{};
  IO_STACK_LOCATION query{};
  query.MajorFunction = IRP_MJ_QUERY_INFORMATION;
  query.Parameters.QueryFile.Length = sizeof standard;
  query.Parameters.QueryFile.FileInformationClass = FileStandardInformation;
  bool directory = NT_SUCCESS(SendFileInformationRequest(file, KernelMode, query, &standard,
                                                         sizeof standard, true, false, &queried)) &&
                   standard.Directory;
  PFILE_OBJECT target = nullptr;
  ULONG_PTR exists = 0;
  NTSTATUS status = OpenFileObject(
      name, (directory ? FILE_ADD_SUBDIRECTORY : FILE_ADD_FILE) | SYNCHRONIZE,
      FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN,
      FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT, mode, &target, &exists,
      SL_OPEN_TARGET_DIRECTORY);
  if (!NT_SUCCESS(status)) return status;
  if (IoGetRelatedDeviceObject(target) != IoGetRelatedDeviceObject(file)) {
    ObfDereferenceObject(target);
    return STATUS_NOT_SAME_DEVICE;
  }
  status = CutToLastComponent(target, last);
  if (NT_SUCCESS(status))
    status = SendSetInformation(file, mode, record, length, infoClass, target, replace, iosb);
  ObfDereferenceObject(target);  // cleanup and close: it never had a handle
  return status;
}

}  // namespace bw
