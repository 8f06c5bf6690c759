// Directory queries of the host file system. A search belongs to its file
// object: its first query (or one with SL_RESTART_SCAN) takes the pattern
// (none: "*") and the folder's matching names, sorted without regard to
// case, "." and ".." first below the root; each query returns the next
// ones that fit. Names match case-insensitively, as on Windows' file
// systems. No match at all on the first query is STATUS_NO_SUCH_FILE, the
// end of a search STATUS_NO_MORE_FILES. An entry whose name does not fit
// the buffer is returned cut with STATUS_BUFFER_OVERFLOW and stays next.
#include "hostfs/hostfs.h"

#include "host/faults.h"
#include "nt/fsrtl.h"
#include "ob/object.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace bw {

namespace {

std::u16string Upcased(std::u16string_view s) {
  std::u16string u(s);
  for (auto &c : u) c = RtlUpcaseUnicodeChar(c);
  return u;
}

bool Matches(const std::u16string &pattern, const std::u16string &name) {
  std::u16string p = pattern, n = name;
  UNICODE_STRING expression{static_cast<USHORT>(p.size() * 2), static_cast<USHORT>(p.size() * 2),
                            p.data()};
  UNICODE_STRING candidate{static_cast<USHORT>(n.size() * 2), static_cast<USHORT>(n.size() * 2),
                           n.data()};
  return FsRtlIsNameInExpression(&expression, &candidate, TRUE, nullptr);
}

NTSTATUS StartSearch(HostOpen *open, const std::u16string &pattern) {
  int fd = ::open(open->path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return StatusFromErrno(errno);
  DIR *dir = fdopendir(fd);
  if (!dir) {
    close(fd);
    return StatusFromErrno(errno);
  }
  std::vector<std::u16string> names;
  while (struct dirent *e = readdir(dir)) {
    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
    names.push_back(ToU16(std::string_view(e->d_name)));
  }
  closedir(dir);
  std::sort(names.begin(), names.end(), [](const std::u16string &a, const std::u16string &b) {
    return Upcased(a) < Upcased(b);
  });
  if (open->name != u"\\") names.insert(names.begin(), {u".", u".."});
  open->entries.clear();
  for (auto &name : names)
    if (Matches(pattern, name)) open->entries.push_back(std::move(name));
  open->pattern = pattern;
  open->nextEntry = 0;
  open->searching = true;
  return STATUS_SUCCESS;
}

ULONG NameOffset(FILE_INFORMATION_CLASS cls) {
  switch (cls) {
    case FileDirectoryInformation: return FIELD_OFFSET(FILE_DIRECTORY_INFORMATION, FileName);
    case FileFullDirectoryInformation: return FIELD_OFFSET(FILE_FULL_DIR_INFORMATION, FileName);
    case FileIdFullDirectoryInformation:
      return FIELD_OFFSET(FILE_ID_FULL_DIR_INFORMATION, FileName);
    case FileBothDirectoryInformation: return FIELD_OFFSET(FILE_BOTH_DIR_INFORMATION, FileName);
    case FileIdBothDirectoryInformation:
      return FIELD_OFFSET(FILE_ID_BOTH_DIR_INFORMATION, FileName);
    case FileNamesInformation: return FIELD_OFFSET(FILE_NAMES_INFORMATION, FileName);
    default: return 0;
  }
}

// Writes the fixed part of one entry at `out` (the name goes after it).
void FillEntry(FILE_INFORMATION_CLASS cls, UCHAR *out, ULONG index, int dirFd, const char *name,
               const struct stat &st, ULONG nameBytes) {
  if (cls == FileNamesInformation) {
    auto *e = reinterpret_cast<PFILE_NAMES_INFORMATION>(out);
    e->FileIndex = index;
    e->FileNameLength = nameBytes;
    return;
  }
  // Every other class starts as FILE_DIRECTORY_INFORMATION does.
  auto *e = reinterpret_cast<PFILE_DIRECTORY_INFORMATION>(out);
  FILE_BASIC_INFORMATION basic;
  HostFsBasicAt(dirFd, name, st, &basic);
  e->FileIndex = index;
  e->CreationTime = basic.CreationTime;
  e->LastAccessTime = basic.LastAccessTime;
  e->LastWriteTime = basic.LastWriteTime;
  e->ChangeTime = basic.ChangeTime;
  e->EndOfFile.QuadPart = S_ISDIR(st.st_mode) ? 0 : st.st_size;
  e->AllocationSize.QuadPart = S_ISDIR(st.st_mode) ? 0 : static_cast<LONGLONG>(st.st_blocks) * 512;
  e->FileAttributes = basic.FileAttributes;
  e->FileNameLength = nameBytes;
  // EaSize and the short name stay 0: host files have neither.
  if (cls == FileIdBothDirectoryInformation)
    reinterpret_cast<PFILE_ID_BOTH_DIR_INFORMATION>(out)->FileId.QuadPart =
        static_cast<LONGLONG>(st.st_ino);
  if (cls == FileIdFullDirectoryInformation)
    reinterpret_cast<PFILE_ID_FULL_DIR_INFORMATION>(out)->FileId.QuadPart =
        static_cast<LONGLONG>(st.st_ino);
}

NTSTATUS Query(HostOpen *open, PIO_STACK_LOCATION stack, UCHAR *buffer, ULONG_PTR *information) {
  const auto &p = stack->Parameters.QueryDirectory;
  const ULONG head = NameOffset(p.FileInformationClass);
  if (!head) return STATUS_INVALID_INFO_CLASS;
  if (!open->node->directory) return STATUS_INVALID_PARAMETER;
  if (!buffer || p.Length < head) return STATUS_INFO_LENGTH_MISMATCH;
  std::lock_guard<std::mutex> guard(HostFsLock());
  bool first = false;
  if (!open->searching || (stack->Flags & SL_RESTART_SCAN)) {
    std::u16string pattern = open->searching ? open->pattern : u"*";
    if (p.FileName && p.FileName->Length)
      pattern.assign(p.FileName->Buffer, p.FileName->Length / sizeof(WCHAR));
    NTSTATUS status = StartSearch(open, pattern);
    if (!NT_SUCCESS(status)) return status;
    first = true;
  }
  if (stack->Flags & SL_INDEX_SPECIFIED) open->nextEntry = p.FileIndex;
  ULONG used = 0;          // end of the last entry written
  ULONG lastAt = 0;        // where it starts
  bool any = false;
  while (open->nextEntry < open->entries.size()) {
    const std::u16string &name = open->entries[open->nextEntry];
    std::string host = ToUtf8(name);
    struct stat st;
    if (fstatat(open->fd, host.c_str(), &st, 0) != 0 &&
        fstatat(open->fd, host.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      open->nextEntry++;  // gone since the search began
      continue;
    }
    const ULONG nameBytes = static_cast<ULONG>(name.size() * sizeof(WCHAR));
    const ULONG at = any ? (used + 7) & ~7U : 0;
    if (at + head + nameBytes > p.Length) {
      if (any) break;
      // Not even the first entry fits: as much of it as does, and it stays next.
      memset(buffer, 0, head);
      FillEntry(p.FileInformationClass, buffer, static_cast<ULONG>(open->nextEntry + 1), open->fd,
                host.c_str(), st, nameBytes);
      ULONG room = (p.Length - head) & ~1U;
      memcpy(buffer + head, name.data(), room);
      *information = head + room;
      return STATUS_BUFFER_OVERFLOW;
    }
    if (any) reinterpret_cast<ULONG *>(buffer + lastAt)[0] = at - lastAt;
    memset(buffer + at, 0, head);
    FillEntry(p.FileInformationClass, buffer + at, static_cast<ULONG>(open->nextEntry + 1), open->fd,
              host.c_str(), st, nameBytes);
    memcpy(buffer + at + head, name.data(), nameBytes);
    lastAt = at;
    used = at + head + nameBytes;
    any = true;
    open->nextEntry++;
    if (stack->Flags & SL_RETURN_SINGLE_ENTRY) break;
  }
  if (!any) return first && open->entries.empty() ? STATUS_NO_SUCH_FILE : STATUS_NO_MORE_FILES;
  *information = used;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS HostFsDirectoryControl(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  HostOpen *open = OpenOf(stack->FileObject);
  if (FaultShouldFail(Fault::FileCall)) return HostFsComplete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  if (!open || stack->MinorFunction != IRP_MN_QUERY_DIRECTORY)
    return HostFsComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  auto *buffer = static_cast<UCHAR *>((irp->Flags & IRP_BUFFERED_IO) ? irp->AssociatedIrp.SystemBuffer
                                                                      : irp->UserBuffer);
  ULONG_PTR information = 0;
  NTSTATUS status = Query(open, stack, buffer, &information);
  return HostFsComplete(irp, status, information);
}

}  // namespace bw
