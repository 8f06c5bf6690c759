// The host file system: opens, share access, reads, writes, flushes,
// cleanup with deletion, and close, over the host's own files.
#include "hostfs/hostfs.h"

#include "host/faults.h"
#include "hostfs/host_io.h"
#include "internal.h"
#include "mm/mm_internal.h"
#include "ob/object.h"
#include "ps/process.h"
#include "se/token.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cerrno>
#include <cstring>
#include <strings.h>
#include <map>
#include <set>
#include <vector>

namespace bw {

PDRIVER_OBJECT CreateDriverObject(std::u16string_view serviceName);

// Names on the volume map to host paths component by component; what no
// Windows file system accepts in a name is refused.
NTSTATUS HostPathOf(std::u16string_view name, std::string *path) {
  if (name == u"\\") name = u"";  // the root folder
  std::string out;
  size_t i = 0;
  while (i < name.size()) {
    if (name[i] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    size_t j = ++i;
    while (j < name.size() && name[j] != u'\\') ++j;
    std::u16string_view part = name.substr(i, j - i);
    if (part.empty() || part == u"." || part == u".." || part.size() > 255)
      return STATUS_OBJECT_NAME_INVALID;
    for (char16_t c : part)
      if (c < 0x20 || c == u'/' || c == u':' || c == u'*' || c == u'?' || c == u'"' ||
          c == u'<' || c == u'>' || c == u'|')
        return STATUS_OBJECT_NAME_INVALID;
    out += "/" + ToUtf8(part);
    i = j;
  }
  *path = out.empty() ? "/" : out;
  return STATUS_SUCCESS;
}

std::string ParentOf(const std::string &path) {
  size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}


namespace {

std::mutex gHostFsLock;
std::map<std::pair<dev_t, ino_t>, std::weak_ptr<HostNode>> gNodes;
PDRIVER_OBJECT gDriver = nullptr;
PDEVICE_OBJECT gRootDevice = nullptr;
// The system drive C: is a folder of the host (`<root>/C`) seen as a volume
// of its own: its names lie below that folder.
PDEVICE_OBJECT gSystemDrive = nullptr;
std::string gSystemDriveFolder;
std::string SystemDrivePath(const std::string &path);
std::atomic<ULONG> gSectorOverride{0};
std::set<HostOpen *> gOpens;  // every open file, for renames of what holds them

std::shared_ptr<HostNode> NodeOf(const struct stat &st, bool create) {
  auto key = std::make_pair(st.st_dev, st.st_ino);
  auto it = gNodes.find(key);
  if (it != gNodes.end()) {
    if (auto node = it->second.lock()) return node;
    gNodes.erase(it);
  }
  if (!create) return nullptr;
  auto node = std::make_shared<HostNode>();
  node->dev = st.st_dev;
  node->ino = st.st_ino;
  node->directory = S_ISDIR(st.st_mode);
  gNodes[key] = node;
  return node;
}

// IoCheckShareAccess: the opens so far must share what this one wants,
// and this one must share what they have.
bool ShareAllowed(const HostNode &n, ACCESS_MASK access, ULONG share) {
  bool read = access & (FILE_READ_DATA | FILE_EXECUTE);
  bool write = access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
  bool del = access & DELETE;
  if (!read && !write && !del) return true;
  return !((read && n.sharedRead < n.openCount) || (write && n.sharedWrite < n.openCount) ||
           (del && n.sharedDelete < n.openCount) || (n.readers && !(share & FILE_SHARE_READ)) ||
           (n.writers && !(share & FILE_SHARE_WRITE)) ||
           (n.deleters && !(share & FILE_SHARE_DELETE)));
}

bool CountsForSharing(ACCESS_MASK access) {
  return access & (FILE_READ_DATA | FILE_EXECUTE | FILE_WRITE_DATA | FILE_APPEND_DATA | DELETE);
}

void AddShare(HostNode &n, ACCESS_MASK access, ULONG share, int sign) {
  n.openCount += sign;
  if (access & (FILE_READ_DATA | FILE_EXECUTE)) n.readers += sign;
  if (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) n.writers += sign;
  if (access & DELETE) n.deleters += sign;
  if (share & FILE_SHARE_READ) n.sharedRead += sign;
  if (share & FILE_SHARE_WRITE) n.sharedWrite += sign;
  if (share & FILE_SHARE_DELETE) n.sharedDelete += sign;
}

bool DirectoryEmpty(const std::string &path) {
  DIR *dir = opendir(path.c_str());
  if (!dir) return false;
  bool empty = true;
  while (struct dirent *e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(dir);
  return empty;
}

bool ReadOnlyFile(const struct stat &st) {
  return !S_ISDIR(st.st_mode) && (st.st_mode & 0222) == 0;
}

// A user-mode caller opens host files with the rights its host identity
// has, not the kernel's.
struct HostIdentity {
  bool known = false;
  uid_t uid = 0;
  std::vector<gid_t> groups;
};

HostIdentity CallerIdentity() {
  HostIdentity id;
  std::shared_ptr<Token> token = CurrentProcess()->Token;
  if (!token) return id;
  auto *user = static_cast<PISID>(token->User());
  const UCHAR nt[6] = {0, 0, 0, 0, 0, 5};
  if (user->SubAuthorityCount == 1 && memcmp(user->IdentifierAuthority.Value, nt, 6) == 0 &&
      user->SubAuthority[0] == 18) {
    id.known = true;  // LocalSystem is root
    return id;
  }
  if (user->SubAuthorityCount == 0) return id;
  ULONG rid = user->SubAuthority[user->SubAuthorityCount - 1];
  if (rid < 1000) return id;
  uid_t uid = rid - 1000;
  std::vector<UCHAR> expected = Token::HostUserSid(uid);
  size_t length = 8 + 4 * size_t(user->SubAuthorityCount);
  if (expected.size() != length || memcmp(expected.data(), user, length) != 0) return id;
  id.known = true;
  id.uid = uid;
  struct passwd pw, *found = nullptr;
  char buffer[4096];
  if (getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) == 0 && found) {
    int n = 64;
    std::vector<gid_t> groups(n);
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n) < 0) {
      groups.resize(n);
      getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &n);
    }
    groups.resize(n);
    id.groups = groups;
  }
  return id;
}

bool Permits(const HostIdentity &id, const struct stat &st, int want) {
  if (id.uid == 0) return !(want & X_OK) || S_ISDIR(st.st_mode) || (st.st_mode & 0111);
  int bits = st.st_mode & 07;
  if (st.st_uid == id.uid) {
    bits = (st.st_mode >> 6) & 07;
  } else {
    for (gid_t g : id.groups)
      if (g == st.st_gid) bits = (st.st_mode >> 3) & 07;
  }
  return (bits & want) == want;
}

// Whether the user-mode caller may open `path` as asked.
NTSTATUS CheckCallerAccess(const std::string &path, bool exists, const struct stat &st,
                           ACCESS_MASK access, bool creating, bool deleting) {
  HostIdentity id = CallerIdentity();
  if (!id.known) return STATUS_ACCESS_DENIED;
  // Every folder on the way must be searchable.
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    struct stat dir;
    if (stat(path.substr(0, slash).c_str(), &dir) == 0 && !Permits(id, dir, X_OK))
      return STATUS_ACCESS_DENIED;
  }
  if (creating || deleting) {
    struct stat parent;
    if (stat(ParentOf(path).c_str(), &parent) == 0 && !Permits(id, parent, W_OK | X_OK))
      return STATUS_ACCESS_DENIED;
  }
  if (exists) {
    int want = 0;
    if (access & (FILE_READ_DATA | FILE_EXECUTE)) want |= R_OK;
    if (access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) want |= W_OK;
    if (S_ISDIR(st.st_mode) && (access & FILE_TRAVERSE)) want |= X_OK;
    if (want && !Permits(id, st, want)) return STATUS_ACCESS_DENIED;
  }
  return STATUS_SUCCESS;
}

int OpenFlags(ACCESS_MASK access, ULONG options, bool directory) {
  int flags = O_CLOEXEC;
  if (directory) return flags | O_RDONLY | O_DIRECTORY;
  bool read = access & (FILE_READ_DATA | FILE_EXECUTE);
  bool write = access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
  flags |= write ? (read ? O_RDWR : O_WRONLY) : O_RDONLY;
  if (options & FILE_WRITE_THROUGH) flags |= O_DSYNC;
  return flags;
}

NTSTATUS Create(PFILE_OBJECT file, KPROCESSOR_MODE mode, ACCESS_MASK access, ULONG share,
                ULONG disposition, ULONG options, bool openTarget, USHORT attributes,
                ULONG_PTR *information) {
  if (FaultShouldFail(Fault::FileCall)) return STATUS_INSUFFICIENT_RESOURCES;
  if (disposition > FILE_OVERWRITE_IF) return STATUS_INVALID_PARAMETER;
  if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE))
    return STATUS_INVALID_PARAMETER;
  if ((options & FILE_DIRECTORY_FILE) && disposition != FILE_CREATE &&
      disposition != FILE_OPEN && disposition != FILE_OPEN_IF)
    return STATUS_INVALID_PARAMETER;
  if ((options & FILE_DELETE_ON_CLOSE) && !(access & DELETE)) return STATUS_INVALID_PARAMETER;
  auto open = std::make_unique<HostOpen>();
  open->name = ToU16(&file->FileName);
  NTSTATUS status = HostPathOf(open->name, &open->path);
  if (!NT_SUCCESS(status)) return status;
  if (file->DeviceObject == gSystemDrive)
    open->path = SystemDrivePath(open->path == "/" ? "" : open->path);
  // A rename or link target: the folder that holds the last component is
  // opened, and the answer says whether that component exists.
  ULONG_PTR targetExists = FILE_DOES_NOT_EXIST;
  if (openTarget) {
    if (open->name.empty()) return STATUS_OBJECT_NAME_INVALID;
    struct stat last;
    if (lstat(open->path.c_str(), &last) == 0) targetExists = FILE_EXISTS;
    open->name.resize(open->name.rfind(u'\\'));
    open->path = ParentOf(open->path);
    disposition = FILE_OPEN;
    options = (options & ~FILE_NON_DIRECTORY_FILE) | FILE_DIRECTORY_FILE;
  }
  if (open->name.empty()) open->name = u"\\";
  const std::string &path = open->path;

  std::lock_guard<std::mutex> guard(gHostFsLock);
  struct stat st {};
  bool exists = stat(path.c_str(), &st) == 0;
  if (!exists) {
    if (errno != ENOENT) return errno == ENOTDIR ? STATUS_OBJECT_PATH_NOT_FOUND
                                                 : StatusFromErrno(errno);
    struct stat parent;
    if (stat(ParentOf(path).c_str(), &parent) != 0 || !S_ISDIR(parent.st_mode))
      return STATUS_OBJECT_PATH_NOT_FOUND;
    if (openTarget) return STATUS_OBJECT_PATH_NOT_FOUND;
    if (disposition == FILE_OPEN || disposition == FILE_OVERWRITE)
      return STATUS_OBJECT_NAME_NOT_FOUND;
  }
  const bool creating = !exists;
  const bool directory = exists ? S_ISDIR(st.st_mode) : (options & FILE_DIRECTORY_FILE) != 0;
  // Superseding needs delete access and overwriting write access, for the
  // share check and the read-only attribute as for the open itself.
  ACCESS_MASK effective = access;
  if (exists && disposition == FILE_SUPERSEDE) effective |= DELETE;
  if (exists && (disposition == FILE_OVERWRITE || disposition == FILE_OVERWRITE_IF))
    effective |= FILE_WRITE_DATA;
  std::shared_ptr<HostNode> node;
  if (exists) {
    node = NodeOf(st, false);
    if (node && node->deletePending) return STATUS_DELETE_PENDING;
    if (directory && (options & FILE_NON_DIRECTORY_FILE)) return STATUS_FILE_IS_A_DIRECTORY;
    if (!directory && (options & FILE_DIRECTORY_FILE)) return STATUS_NOT_A_DIRECTORY;
    if (disposition == FILE_CREATE) return STATUS_OBJECT_NAME_COLLISION;
    if (directory && disposition != FILE_OPEN && disposition != FILE_OPEN_IF)
      return STATUS_FILE_IS_A_DIRECTORY;
    if (ReadOnlyFile(st)) {
      if (options & FILE_DELETE_ON_CLOSE) return STATUS_CANNOT_DELETE;
      if (effective & (FILE_WRITE_DATA | FILE_APPEND_DATA)) return STATUS_ACCESS_DENIED;
    }
    if ((options & FILE_DELETE_ON_CLOSE) && directory) {
      if (open->name == u"\\") return STATUS_CANNOT_DELETE;
      if (!DirectoryEmpty(path)) return STATUS_DIRECTORY_NOT_EMPTY;
    }
    if (node && !ShareAllowed(*node, effective, share)) return STATUS_SHARING_VIOLATION;
  }
  if (mode == UserMode) {
    status = CheckCallerAccess(path, exists, st, effective, creating,
                               (options & FILE_DELETE_ON_CLOSE) != 0);
    if (!NT_SUCCESS(status)) return status;
  }

  int flags = OpenFlags(access, options, directory);
  int fd;
  if (creating) {
    if (directory) {
      if (mkdir(path.c_str(), 0777) != 0) return StatusFromErrno(errno);
      fd = ::open(path.c_str(), flags);
    } else {
      // A file created read-only keeps no write bits; this open still writes.
      fd = ::open(path.c_str(), flags | O_CREAT | O_EXCL,
                  (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666);
    }
  } else {
    fd = ::open(path.c_str(), flags);
    // An open for attributes only needs no right to the data.
    if (fd < 0 && errno == EACCES && !CountsForSharing(access))
      fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  }
  if (fd < 0) {
    int error = errno;
    if (creating && directory) rmdir(path.c_str());
    return error == EEXIST ? STATUS_OBJECT_NAME_COLLISION : StatusFromErrno(error);
  }
  ULONG_PTR result = creating ? FILE_CREATED : FILE_OPENED;
  if (!creating && (disposition == FILE_SUPERSEDE || disposition == FILE_OVERWRITE ||
                    disposition == FILE_OVERWRITE_IF)) {
    if (ftruncate(fd, 0) != 0 && truncate(path.c_str(), 0) != 0) {
      int error = errno;
      close(fd);
      return StatusFromErrno(error);
    }
    result = disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED : FILE_OVERWRITTEN;
  }
  struct stat now;
  fstat(fd, &now);
  node = NodeOf(now, true);
  open->fd = fd;
  open->node = node;
  open->access = access;
  open->deleteOnClose = (options & FILE_DELETE_ON_CLOSE) != 0;
  if (CountsForSharing(effective)) {
    AddShare(*node, effective, share, +1);
    open->shareCounted = true;
    open->share = share;
    open->access = effective;
  }
  node->handles++;
  file->FsContext = node.get();
  gOpens.insert(open.get());
  file->FsContext2 = open.release();
  file->DeleteAccess = (effective & DELETE) ? TRUE : FALSE;
  file->SharedDelete = (share & FILE_SHARE_DELETE) ? TRUE : FALSE;
  if (options & FILE_WRITE_THROUGH) file->Flags |= FO_WRITE_THROUGH;
  if (options & FILE_DELETE_ON_CLOSE) file->Flags |= FO_DELETE_ON_CLOSE;
  *information = openTarget ? targetExists : result;
  return STATUS_SUCCESS;
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG options = stack->Parameters.Create.Options;
  ACCESS_MASK access = stack->Parameters.Create.SecurityContext
                           ? stack->Parameters.Create.SecurityContext->DesiredAccess
                           : 0;
  ULONG_PTR information = 0;
  NTSTATUS status = Create(stack->FileObject, irp->RequestorMode, access,
                           stack->Parameters.Create.ShareAccess, options >> 24,
                           options & 0x00FFFFFF, (stack->Flags & SL_OPEN_TARGET_DIRECTORY) != 0,
                           stack->Parameters.Create.FileAttributes, &information);
  return HostFsComplete(irp, status, information);
}

// The last handle is gone: share access ends, and a file marked for
// deletion goes once nobody has it open any more.
NTSTATUS DispatchCleanup(PDEVICE_OBJECT, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  std::lock_guard<std::mutex> guard(gHostFsLock);
  HostOpen *open = OpenOf(file);
  if (open && !open->cleanedUp) {
    open->cleanedUp = true;
    HostNode &node = *open->node;
    if (open->shareCounted) AddShare(node, open->access, open->share, -1);
    node.handles--;
    if (open->deleteOnClose) {
      node.deletePending = true;
      node.deletePath = open->path;
    }
    if (node.handles == 0 && node.deletePending) {
      struct stat st;
      if (lstat(node.deletePath.c_str(), &st) == 0 && st.st_dev == node.dev &&
          st.st_ino == node.ino) {
        if (S_ISDIR(st.st_mode) ? rmdir(node.deletePath.c_str()) : unlink(node.deletePath.c_str()))
          node.deletePending = false;  // the host refused: the file stays
      }
      if (node.deletePending) {
        node.deleted = true;
        gNodes.erase(std::make_pair(node.dev, node.ino));
      }
      node.deletePending = false;
    }
    file->Flags |= FO_CLEANUP_COMPLETE;
  }
  return HostFsComplete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  HostOpen *open = OpenOf(file);
  if (open) {
    std::lock_guard<std::mutex> guard(gHostFsLock);
    close(open->fd);
    gOpens.erase(open);
    file->FsContext = nullptr;
    file->FsContext2 = nullptr;
    auto key = std::make_pair(open->node->dev, open->node->ino);
    delete open;
    auto it = gNodes.find(key);
    if (it != gNodes.end() && it->second.expired()) gNodes.erase(it);
  }
  return HostFsComplete(irp, STATUS_SUCCESS, 0);
}

PVOID TransferBuffer(PIRP irp) {
  if (irp->Flags & IRP_BUFFERED_IO) return irp->AssociatedIrp.SystemBuffer;
  return irp->UserBuffer;
}

NTSTATUS DispatchReadWrite(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const bool write = stack->MajorFunction == IRP_MJ_WRITE;
  PFILE_OBJECT file = stack->FileObject;
  HostOpen *open = OpenOf(file);
  if (FaultShouldFail(Fault::FileCall)) return HostFsComplete(irp, STATUS_IO_DEVICE_ERROR, 0);
  if (!open || open->node->directory)
    return HostFsComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (!(open->access & (write ? FILE_WRITE_DATA | FILE_APPEND_DATA : FILE_READ_DATA)))
    return HostFsComplete(irp, STATUS_ACCESS_DENIED, 0);
  ULONG length = stack->Parameters.Read.Length;
  LARGE_INTEGER at = stack->Parameters.Read.ByteOffset;
  // Writes at "end of file", and every write of an append-only open, go
  // to the end. Only they need the file's size: a transfer costs one host
  // call otherwise.
  bool append = write && ((at.HighPart == -1 && at.LowPart == FILE_WRITE_TO_END_OF_FILE) ||
                          !(open->access & FILE_WRITE_DATA));
  uint64_t offset = static_cast<uint64_t>(at.QuadPart);
  if (append) {
    struct stat st;
    if (fstat(open->fd, &st) != 0) return HostFsComplete(irp, StatusFromErrno(errno), 0);
    offset = static_cast<uint64_t>(st.st_size);
  }
  if (!append && at.QuadPart < 0) return HostFsComplete(irp, STATUS_INVALID_PARAMETER, 0);
  if (file->Flags & FO_NO_INTERMEDIATE_BUFFERING) {
    ULONG sector = SectorSizeOf(open->node->dev);
    if (offset % sector || length % sector) return HostFsComplete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  if (length == 0) return HostFsComplete(irp, STATUS_SUCCESS, 0);
  int error = 0;
  ULONG done;
  if (PMDL mdl = irp->MdlAddress) {
    // Pages described by frame: the data moves straight between the file
    // and them, as a disk's DMA would, without a mapping of the pages.
    if (length > MmGetMdlByteCount(mdl)) return HostFsComplete(irp, STATUS_INVALID_PARAMETER, 0);
    done = static_cast<ULONG>(write ? MdlWriteToFile(mdl, 0, open->fd, offset, length, &error)
                                    : MdlReadFromFile(mdl, 0, open->fd, offset, length, &error));
  } else {
    auto *buffer = static_cast<char *>(TransferBuffer(irp));
    if (!buffer) return HostFsComplete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    done = static_cast<ULONG>(write ? HostWriteAt(open->fd, buffer, length, offset, &error)
                                    : HostReadAt(open->fd, buffer, length, offset, &error));
  }
  if (error) return HostFsComplete(irp, done ? STATUS_SUCCESS : StatusFromErrno(error), done);
  // A read that starts at or past the end of file finds nothing at all.
  if (!write && done == 0) return HostFsComplete(irp, STATUS_END_OF_FILE, 0);
  if (append && (file->Flags & FO_SYNCHRONOUS_IO))
    file->CurrentByteOffset.QuadPart = static_cast<LONGLONG>(offset + done);
  if (write) file->Flags |= FO_FILE_MODIFIED;
  return HostFsComplete(irp, STATUS_SUCCESS, done);
}

NTSTATUS DispatchFlush(PDEVICE_OBJECT, PIRP irp) {
  HostOpen *open = OpenOf(IoGetCurrentIrpStackLocation(irp)->FileObject);
  if (FaultShouldFail(Fault::FileCall)) return HostFsComplete(irp, STATUS_IO_DEVICE_ERROR, 0);
  if (!open) return HostFsComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  int rc = open->name == u"\\" ? syncfs(open->fd) : fsync(open->fd);
  // A descriptor for attributes only has nothing of its own to flush.
  if (rc != 0 && errno != EBADF) return HostFsComplete(irp, StatusFromErrno(errno), 0);
  return HostFsComplete(irp, STATUS_SUCCESS, 0);
}

}  // namespace

std::mutex &HostFsLock() { return gHostFsLock; }

bool OpensBelow(const std::string &path) {
  const std::string prefix = path == "/" ? "/" : path + "/";
  for (HostOpen *open : gOpens)
    if (open->path.compare(0, prefix.size(), prefix) == 0) return true;
  return false;
}

bool HostFileOpen(dev_t dev, ino_t ino) {
  auto it = gNodes.find(std::make_pair(dev, ino));
  if (it == gNodes.end()) return false;
  auto node = it->second.lock();
  return node && node->handles > 0;
}

void MoveOpens(const std::string &from, const std::string &to) {
  auto moved = [&](const std::string &path, std::string *out) {
    if (path == from) {
      *out = to;
      return true;
    }
    if (path.size() > from.size() && path.compare(0, from.size(), from) == 0 &&
        path[from.size()] == '/') {
      *out = to + path.substr(from.size());
      return true;
    }
    return false;
  };
  for (HostOpen *open : gOpens) {
    std::string now;
    if (moved(open->path, &now)) {
      open->path = now;
      std::u16string name;
      for (char16_t c : ToU16(now)) name += c == u'/' ? u'\\' : c;
      open->name = name;
    }
    if (open->node->deletePending && moved(open->node->deletePath, &now))
      open->node->deletePath = now;
  }
}

// Files of this file system are told by the driver serving their device,
// which outlives any boot's device object.
bool IsHostFile(PFILE_OBJECT file) {
  return file && file->DeviceObject &&
         file->DeviceObject->DriverObject->MajorFunction[IRP_MJ_CREATE] == DispatchCreate &&
         file->FsContext2;
}

HostOpen *OpenOf(PFILE_OBJECT file) {
  return IsHostFile(file) ? static_cast<HostOpen *>(file->FsContext2) : nullptr;
}

NTSTATUS HostFsComplete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS StatusFromErrno(int error) {
  switch (error) {
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM: return STATUS_ACCESS_DENIED;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case ENOTEMPTY: return STATUS_DIRECTORY_NOT_EMPTY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return STATUS_DISK_FULL;
    case EROFS: return STATUS_MEDIA_WRITE_PROTECTED;
    case ENAMETOOLONG: return STATUS_NAME_TOO_LONG;
    case ELOOP: return STATUS_OBJECT_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return STATUS_TOO_MANY_OPENED_FILES;
    case ENOMEM: return STATUS_INSUFFICIENT_RESOURCES;
    case EBADF: return STATUS_ACCESS_DENIED;
    case EINVAL: return STATUS_INVALID_PARAMETER;
    case EBUSY:
    case ETXTBSY: return STATUS_SHARING_VIOLATION;
    case EIO: return STATUS_IO_DEVICE_ERROR;
    case EXDEV: return STATUS_NOT_SAME_DEVICE;
    default: return STATUS_UNSUCCESSFUL;
  }
}

// The logical sector size of the block device holding files of `dev`, as
// the host publishes it; 512 where it cannot be found.
namespace {
// Sector sizes of host devices, read from /sys once per device: unbuffered
// transfers ask for every request.
std::mutex gSectorCacheLock;
std::map<dev_t, ULONG> gSectorCache;

ULONG ReadSectorSize(dev_t dev) {
  char base[96];
  snprintf(base, sizeof base, "/sys/dev/block/%u:%u", major(dev), minor(dev));
  for (const char *where : {"/queue/logical_block_size", "/../queue/logical_block_size"}) {
    FILE *f = fopen((std::string(base) + where).c_str(), "r");
    if (!f) continue;
    unsigned value = 0;
    bool ok = fscanf(f, "%u", &value) == 1;
    fclose(f);
    if (ok && value >= 512 && (value & (value - 1)) == 0) return value;
  }
  return 512;
}
}  // namespace

ULONG SectorSizeOf(dev_t dev) {
  if (ULONG forced = gSectorOverride.load()) return forced;
  std::lock_guard<std::mutex> guard(gSectorCacheLock);
  auto it = gSectorCache.find(dev);
  if (it != gSectorCache.end()) return it->second;
  ULONG size = ReadSectorSize(dev);
  gSectorCache.emplace(dev, size);
  return size;
}

VOID SetHostSectorSize(ULONG bytes) { gSectorOverride = bytes; }

NTSTATUS HostFsAttachSection(PFILE_OBJECT file, int *fd, std::shared_ptr<HostNode> *node) {
  std::lock_guard<std::mutex> guard(gHostFsLock);
  HostOpen *open = OpenOf(file);
  if (!open || open->node->directory) return STATUS_INVALID_FILE_FOR_SECTION;
  *fd = fcntl(open->fd, F_DUPFD_CLOEXEC, 0);
  if (*fd < 0) return StatusFromErrno(errno);
  *node = open->node;
  open->node->sections++;
  return STATUS_SUCCESS;
}

void HostFsDetachSection(const std::shared_ptr<HostNode> &node) {
  std::lock_guard<std::mutex> guard(gHostFsLock);
  node->sections--;
}

namespace {

bool SameNameNoCase(const char *a, const std::string &b) {
  return strcasecmp(a, b.c_str()) == 0;
}

// Drive C: finds its names without regard to case, as Windows' own volumes
// do ("\SystemRoot\System32\drivers" is the folder "Drivers"): a
// component that is not there as written takes the folder's entry that
// differs only in case.
std::string SystemDrivePath(const std::string &path) {
  std::string out = gSystemDriveFolder;
  size_t at = 0;
  while (at < path.size()) {
    size_t next = path.find('/', at + 1);
    if (next == std::string::npos) next = path.size();
    std::string part = path.substr(at + 1, next - at - 1);
    struct stat st;
    std::string candidate = out + "/" + part;
    if (lstat(candidate.c_str(), &st) != 0 && errno == ENOENT) {
      if (DIR *dir = opendir(out.c_str())) {
        while (struct dirent *e = readdir(dir))
          if (SameNameNoCase(e->d_name, part)) {
            candidate = out + "/" + e->d_name;
            break;
          }
        closedir(dir);
      }
    }
    out = candidate;
    at = next;
  }
  return out;
}

// The host folder of drive C:, absolute, with the Windows folders a system
// drive has; created at the first boot of a root.
std::string SystemDriveFolder(const std::string &machineRoot) {
  char resolved[PATH_MAX];
  std::string base = realpath(machineRoot.c_str(), resolved) ? resolved : machineRoot;
  std::string folder = base + "/C";
  for (const char *sub : {"", "/Windows", "/Windows/System32", "/Windows/System32/Drivers",
                          "/Windows/INF"}) {
    std::string path = folder + sub;
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
      KernelFault(("the system drive's folder " + path + " cannot be created").c_str());
  }
  return folder;
}

// \Device\HostSystemDrive, reached as C:, and \SystemRoot, the kernel's
// name for the Windows folder on it.
void MountSystemDrive(PDRIVER_OBJECT driver, const std::string &folder) {
  UNICODE_STRING device = RTL_CONSTANT_STRING(u"\\Device\\HostSystemDrive");
  UNICODE_STRING letter = RTL_CONSTANT_STRING(u"\\??\\C:");
  UNICODE_STRING systemRoot = RTL_CONSTANT_STRING(u"\\SystemRoot");
  UNICODE_STRING windows = RTL_CONSTANT_STRING(u"\\Device\\HostSystemDrive\\Windows");
  PDEVICE_OBJECT drive = nullptr;
  if (!NT_SUCCESS(IoCreateDevice(driver, 0, &device, FILE_DEVICE_DISK, 0, FALSE, &drive)))
    KernelFault("the system drive's device could not be created");
  drive->Vpb->DeviceObject = drive;
  drive->Vpb->Flags |= VPB_MOUNTED;
  drive->Flags &= ~DO_DEVICE_INITIALIZING;
  gSystemDriveFolder = folder;
  gSystemDrive = drive;
  IoCreateSymbolicLink(&letter, &device);
  IoCreateSymbolicLink(&systemRoot, &windows);
}

}  // namespace

void HostFsInit(const std::string &machineRoot) {
  PDRIVER_OBJECT driver = CreateDriverObject(u"HostFs");
  if (!driver) KernelFault("the host file system could not be created");
  static const char16_t kName[] = u"\\FileSystem\\HostFs";
  free(driver->DriverName.Buffer);
  driver->DriverName.Buffer = static_cast<PWSTR>(calloc(1, sizeof kName));
  memcpy(driver->DriverName.Buffer, kName, sizeof kName);
  driver->DriverName.Length = sizeof kName - sizeof(WCHAR);
  driver->DriverName.MaximumLength = sizeof kName;
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
  driver->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
  driver->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
  driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
  driver->MajorFunction[IRP_MJ_QUERY_INFORMATION] = HostFsQueryInformation;
  driver->MajorFunction[IRP_MJ_SET_INFORMATION] = HostFsSetInformation;
  driver->MajorFunction[IRP_MJ_QUERY_VOLUME_INFORMATION] = HostFsQueryVolumeInformation;
  driver->MajorFunction[IRP_MJ_SET_VOLUME_INFORMATION] = HostFsSetVolumeInformation;
  driver->MajorFunction[IRP_MJ_DIRECTORY_CONTROL] = HostFsDirectoryControl;
  driver->MajorFunction[IRP_MJ_QUERY_SECURITY] = HostFsQuerySecurity;
  driver->MajorFunction[IRP_MJ_SET_SECURITY] = HostFsSetSecurity;
  InsertObject(kName, driver);
  UNICODE_STRING device = RTL_CONSTANT_STRING(u"\\Device\\HostRoot");
  UNICODE_STRING link = RTL_CONSTANT_STRING(u"\\??\\Z:");
  PDEVICE_OBJECT root = nullptr;
  const std::string systemFolder =
      machineRoot.empty() ? std::string() : SystemDriveFolder(machineRoot);
  if (!NT_SUCCESS(IoCreateDevice(driver, 0, &device, FILE_DEVICE_DISK, 0, FALSE, &root)))
    KernelFault("the host file system device could not be created");
  // The host root is its own file system: its volume is mounted on itself,
  // so that no other file system is offered it.
  root->Vpb->DeviceObject = root;
  root->Vpb->Flags |= VPB_MOUNTED;
  root->Flags &= ~DO_DEVICE_INITIALIZING;
  IoCreateSymbolicLink(&link, &device);
  gDriver = driver;
  gRootDevice = root;
  if (!systemFolder.empty()) MountSystemDrive(driver, systemFolder);
}

void HostFsShutdown() {
  if (gSystemDrive) {
    IoDeleteDevice(gSystemDrive);
    gSystemDrive = nullptr;
    gSystemDriveFolder.clear();
  }
  if (!gRootDevice) return;
  IoDeleteDevice(gRootDevice);
  gRootDevice = nullptr;
  RemoveObject(gDriver);
  ObfDereferenceObject(gDriver);
  gDriver = nullptr;
}

}  // namespace bw
