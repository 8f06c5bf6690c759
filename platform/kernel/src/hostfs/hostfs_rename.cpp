// Renames and hard links of host files. The target is the folder the I/O
// manager opened with SL_OPEN_TARGET_DIRECTORY (Parameters.SetFile.FileObject,
// whose FileName is the new last component), or, without one, the source's
// own folder with the record's bare name. Windows' rules apply: an existing
// target is replaced only when asked and only when it is a file nobody has
// open and that is not read-only; a folder with open files below it does
// not move.
#include "hostfs/hostfs.h"

#include "ob/object.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace bw {

NTSTATUS HostFsRenameOrLink(PFILE_OBJECT file, HostOpen *open, PIO_STACK_LOCATION stack,
                            PVOID buffer) {
  (void)file;
  const bool link = stack->Parameters.SetFile.FileInformationClass == FileLinkInformation;
  auto *record = static_cast<PFILE_RENAME_INFORMATION>(buffer);
  if (!record) return STATUS_INVALID_PARAMETER;
  const bool replace = stack->Parameters.SetFile.ReplaceIfExists != FALSE;
  if (!(open->access & DELETE) && !link) return STATUS_ACCESS_DENIED;
  if (open->name == u"\\") return STATUS_ACCESS_DENIED;
  if (link && open->node->directory) return STATUS_FILE_IS_A_DIRECTORY;

  std::string folder;
  std::u16string last;
  if (PFILE_OBJECT target = stack->Parameters.SetFile.FileObject) {
    HostOpen *targetOpen = OpenOf(target);
    if (!targetOpen || !targetOpen->node->directory) return STATUS_INVALID_PARAMETER;
    folder = targetOpen->path;
    last = ToU16(&target->FileName);
  } else {
    folder = ParentOf(open->path);
    last.assign(record->FileName, record->FileNameLength / sizeof(WCHAR));
  }
  std::string component;
  NTSTATUS status = HostPathOf(u"\\" + last, &component);
  if (!NT_SUCCESS(status)) return status;
  if (last.find(u'\\') != std::u16string::npos) return STATUS_OBJECT_NAME_INVALID;
  const std::string to = (folder == "/" ? "" : folder) + component;
  const std::string from = open->path;
  if (to == from) return STATUS_SUCCESS;

  std::lock_guard<std::mutex> guard(HostFsLock());
  struct stat source, existing;
  if (lstat(from.c_str(), &source) != 0) return StatusFromErrno(errno);
  bool exists = lstat(to.c_str(), &existing) == 0;
  bool sameFile = exists && existing.st_dev == source.st_dev && existing.st_ino == source.st_ino;
  if (exists && !sameFile) {
    if (!replace) return STATUS_OBJECT_NAME_COLLISION;
    // Only a file nobody has open, and that may be written, is replaced.
    if (S_ISDIR(existing.st_mode) || (existing.st_mode & 0222) == 0 ||
        HostFileOpen(existing.st_dev, existing.st_ino))
      return STATUS_ACCESS_DENIED;
  }
  if (!link && open->node->directory && OpensBelow(from)) return STATUS_ACCESS_DENIED;
  if (link) {
    if (exists && sameFile) return STATUS_SUCCESS;
    if (exists && unlink(to.c_str()) != 0) return StatusFromErrno(errno);
    if (::link(from.c_str(), to.c_str()) != 0) return StatusFromErrno(errno);
    return STATUS_SUCCESS;
  }
  if (::rename(from.c_str(), to.c_str()) != 0) return StatusFromErrno(errno);
  MoveOpens(from, to);
  return STATUS_SUCCESS;
}

}  // namespace bw
