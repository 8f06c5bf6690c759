#include "tools/lettermount/operations.h"

#include "tools/lettermount/errors.h"
#include "tools/lettermount/names.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string>

namespace lettermount {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// 100 ns ticks from 1601 to 1970.
constexpr uint64_t kUnixEpoch = 116444736000000000ull;
constexpr uint64_t kTicksPerSecond = 10000000ull;
constexpr unsigned kBlockSize = 4096;

Mount &TheMount() { return *static_cast<Mount *>(fuse_get_context()->private_data); }

// The Win32 path of a host path; false for a name the volume cannot hold.
bool PathOf(const char *path, std::u16string *out) { return ToVolumePath(TheMount().letter, path, out); }

OpenFile *FileOf(const fuse_file_info *fi) { return reinterpret_cast<OpenFile *>(fi->fh); }

timespec ToTimespec(const FILETIME &time) {
  uint64_t ticks = (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  if (ticks < kUnixEpoch) return timespec{0, 0};
  ticks -= kUnixEpoch;
  return timespec{static_cast<time_t>(ticks / kTicksPerSecond),
                  static_cast<long>(ticks % kTicksPerSecond) * 100};
}

FILETIME ToFiletime(const timespec &time) {
  uint64_t ticks = time.tv_sec < 0 ? kUnixEpoch
                                   : kUnixEpoch + static_cast<uint64_t>(time.tv_sec) * kTicksPerSecond +
                                         static_cast<uint64_t>(time.tv_nsec) / 100;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// A host stat of what the volume says of a file: folders 0755, files 0644,
// without the write bits when read-only; owned by the mounting user.
void FillStat(struct stat *st, DWORD attributes, const FILETIME &access, const FILETIME &write,
              uint64_t size) {
  memset(st, 0, sizeof *st);
  bool folder = attributes & FILE_ATTRIBUTE_DIRECTORY;
  mode_t mode = folder ? (S_IFDIR | 0755) : (S_IFREG | 0644);
  if (!folder && (attributes & FILE_ATTRIBUTE_READONLY)) mode &= ~mode_t{0222};
  st->st_mode = mode;
  st->st_nlink = folder ? 2 : 1;
  st->st_uid = TheMount().uid;
  st->st_gid = TheMount().gid;
  st->st_size = folder ? 0 : static_cast<off_t>(size);
  st->st_blksize = kBlockSize;
  st->st_blocks = static_cast<blkcnt_t>((size + 511) / 512);
  st->st_atim = ToTimespec(access);
  st->st_mtim = ToTimespec(write);
  st->st_ctim = st->st_mtim;
}

int GetAttr(const char *path, struct stat *st, fuse_file_info *fi) {
  if (fi && fi->fh) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(FileOf(fi)->handle, &info)) return LastErrno();
    FillStat(st, info.dwFileAttributes, info.ftLastAccessTime, info.ftLastWriteTime,
             (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow);
    return 0;
  }
  std::u16string name;
  if (!PathOf(path, &name)) return -EINVAL;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(name.c_str(), GetFileExInfoStandard, &data)) return LastErrno();
  FillStat(st, data.dwFileAttributes, data.ftLastAccessTime, data.ftLastWriteTime,
           (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
  return 0;
}

int ReadDir(const char *path, void *buffer, fuse_fill_dir_t fill, off_t, fuse_file_info *,
            fuse_readdir_flags) {
  std::u16string pattern;
  if (!PathOf(path, &pattern)) return -EINVAL;
  if (pattern.back() != u'\\') pattern += u'\\';
  pattern += u'*';
  fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
  fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW(pattern.c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) {
    // A folder without entries, not even "." and "..", as the root is.
    return GetLastError() == ERROR_FILE_NOT_FOUND ? 0 : LastErrno();
  }
  int result = 0;
  do {
    std::u16string_view wide(found.cFileName);
    if (wide == u"." || wide == u"..") continue;
    std::string name;
    if (!Utf16ToUtf8(wide, &name)) continue;  // no host name for it
    struct stat st;
    FillStat(&st, found.dwFileAttributes, found.ftLastAccessTime, found.ftLastWriteTime,
             (static_cast<uint64_t>(found.nFileSizeHigh) << 32) | found.nFileSizeLow);
    if (fill(buffer, name.c_str(), &st, 0, fuse_fill_dir_flags{})) break;
  } while (FindNextFileW(find, &found));
  if (GetLastError() != ERROR_NO_MORE_FILES && GetLastError() != ERROR_SUCCESS) result = LastErrno();
  FindClose(find);
  return result;
}

int MakeDir(const char *path, mode_t) {
  std::u16string name;
  if (!PathOf(path, &name)) return -EINVAL;
  return CreateDirectoryW(name.c_str(), nullptr) ? 0 : LastErrno();
}

int RemoveDir(const char *path) {
  std::u16string name;
  if (!PathOf(path, &name)) return -EINVAL;
  return RemoveDirectoryW(name.c_str()) ? 0 : LastErrno();
}

int Unlink(const char *path) {
  std::u16string name;
  if (!PathOf(path, &name)) return -EINVAL;
  return DeleteFileW(name.c_str()) ? 0 : LastErrno();
}

// Opens `path` for a host open with `flags` and keeps the handle in `fi`.
int OpenAs(const char *path, int flags, DWORD disposition, DWORD attributes, fuse_file_info *fi) {
  std::u16string name;
  if (!PathOf(path, &name)) return -EINVAL;
  DWORD access = 0;
  switch (flags & O_ACCMODE) {
    case O_RDONLY: access = GENERIC_READ; break;
    case O_WRONLY: access = GENERIC_WRITE; break;
    default: access = GENERIC_READ | GENERIC_WRITE; break;
  }
  bool writable = access & GENERIC_WRITE;
  // Truncation is writing: a read-only open never truncates.
  if (disposition == TRUNCATE_EXISTING && !writable) disposition = OPEN_EXISTING;
  HANDLE handle = CreateFileW(name.c_str(), access, kShareAll, nullptr, disposition, attributes, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    // A folder opened as a file: the host's error for that.
    if (GetLastError() == ERROR_ACCESS_DENIED) {
      DWORD found = GetFileAttributesW(name.c_str());
      if (found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_DIRECTORY)) return -EISDIR;
      SetLastError(ERROR_ACCESS_DENIED);
    }
    return LastErrno();
  }
  fi->fh = reinterpret_cast<uint64_t>(TheMount().files.Add(handle, writable));
  return 0;
}

int Open(const char *path, fuse_file_info *fi) {
  return OpenAs(path, fi->flags, (fi->flags & O_TRUNC) ? TRUNCATE_EXISTING : OPEN_EXISTING,
                FILE_ATTRIBUTE_NORMAL, fi);
}

int Create(const char *path, mode_t mode, fuse_file_info *fi) {
  DWORD disposition = (fi->flags & O_EXCL) ? CREATE_NEW : (fi->flags & O_TRUNC) ? CREATE_ALWAYS : OPEN_ALWAYS;
  // A file made without the owner's write bit is read-only; it is still
  // written through the handle that made it, as on the host.
  DWORD attributes = (mode & S_IWUSR) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
  return OpenAs(path, fi->flags, disposition, attributes, fi);
}

// A transfer at `offset`: an OVERLAPPED names it, so handles are never
// moved and threads never wait for each other's positions.
int Transfer(OpenFile *file, bool write, char *buffer, size_t size, off_t offset) {
  if (offset < 0) return -EINVAL;
  if (size > 0x7FFFFFFF) size = 0x7FFFFFFF;
  OVERLAPPED at = {};
  at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
  at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  DWORD done = 0;
  BOOL ok = write ? WriteFile(file->handle, buffer, static_cast<DWORD>(size), &done, &at)
                  : ReadFile(file->handle, buffer, static_cast<DWORD>(size), &done, &at);
  if (!ok) return !write && GetLastError() == ERROR_HANDLE_EOF ? 0 : LastErrno();
  return static_cast<int>(done);
}

int Read(const char *, char *buffer, size_t size, off_t offset, fuse_file_info *fi) {
  return Transfer(FileOf(fi), false, buffer, size, offset);
}

int Write(const char *, const char *buffer, size_t size, off_t offset, fuse_file_info *fi) {
  return Transfer(FileOf(fi), true, const_cast<char *>(buffer), size, offset);
}

int Resize(HANDLE handle, off_t size) {
  if (size < 0) return -EINVAL;
  LARGE_INTEGER to;
  to.QuadPart = size;
  if (!SetFilePointerEx(handle, to, nullptr, FILE_BEGIN) || !SetEndOfFile(handle)) return LastErrno();
  return 0;
}

int Truncate(const char *path, off_t size, fuse_file_info *fi) {
  if (fi && fi->fh) {
    OpenFile *file = FileOf(fi);
    std::lock_guard hold(file->resize);
    return Resize(file->handle, size);
  }
  std::u16string name;
  if (!PathOf(path, &name)) return -EINVAL;
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastErrno();
  int result = Resize(handle, size);
  if (result == 0 && !FlushFileBuffers(handle)) result = LastErrno();
  CloseHandle(handle);
  return result;
}

int Flush(const char *, fuse_file_info *fi) {
  OpenFile *file = FileOf(fi);
  if (!file->writable) return 0;  // nothing of this open to write out
  return FlushFileBuffers(file->handle) ? 0 : LastErrno();
}

int Fsync(const char *path, int, fuse_file_info *fi) { return Flush(path, fi); }

int Release(const char *, fuse_file_info *fi) {
  return TheMount().files.Release(FileOf(fi)) ? 0 : LastErrno();
}

// Whether two names lead to one file: a case-only rename, or the same
// name twice, must never replace (and so delete) the file itself.
bool SameFile(const std::u16string &a, const std::u16string &b) {
  BY_HANDLE_FILE_INFORMATION first, second;
  auto info = [](const std::u16string &name, BY_HANDLE_FILE_INFORMATION *out) {
    HANDLE h = CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(h, out);
    CloseHandle(h);
    return ok;
  };
  if (!info(a, &first) || !info(b, &second)) return false;
  return first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
         first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
}

int Rename(const char *from, const char *to, unsigned int flags) {
  if (flags & ~RENAME_NOREPLACE) return -EINVAL;  // no exchange on this volume
  std::u16string source, target;
  if (!PathOf(from, &source) || !PathOf(to, &target)) return -EINVAL;
  DWORD move = (flags & RENAME_NOREPLACE) || SameFile(source, target) ? 0 : MOVEFILE_REPLACE_EXISTING;
  if (MoveFileExW(source.c_str(), target.c_str(), move)) return 0;
  DWORD error = GetLastError();
  // The host replaces an empty folder by a folder; the volume does not.
  if (move && error == ERROR_ACCESS_DENIED) {
    DWORD from = GetFileAttributesW(source.c_str()), onto = GetFileAttributesW(target.c_str());
    if (from != INVALID_FILE_ATTRIBUTES && onto != INVALID_FILE_ATTRIBUTES) {
      bool fromFolder = from & FILE_ATTRIBUTE_DIRECTORY, ontoFolder = onto & FILE_ATTRIBUTE_DIRECTORY;
      if (fromFolder && !ontoFolder) return -ENOTDIR;
      if (!fromFolder && ontoFolder) return -EISDIR;
      if (fromFolder && ontoFolder) {
        if (!RemoveDirectoryW(target.c_str())) return LastErrno();
        return MoveFileExW(source.c_str(), target.c_str(), 0) ? 0 : LastErrno();
      }
    }
  }
  return ErrnoOf(error);
}

int StatFs(const char *, struct statvfs *st) {
  ULARGE_INTEGER available, total, free;
  const char16_t root[] = {TheMount().letter, u':', u'\\', 0};
  if (!GetDiskFreeSpaceExW(root, &available, &total, &free)) return LastErrno();
  memset(st, 0, sizeof *st);
  st->f_bsize = kBlockSize;
  st->f_frsize = kBlockSize;
  st->f_blocks = total.QuadPart / kBlockSize;
  st->f_bfree = free.QuadPart / kBlockSize;
  st->f_bavail = available.QuadPart / kBlockSize;
  st->f_namemax = 255;
  return 0;
}

int Utimens(const char *path, const timespec times[2], fuse_file_info *fi) {
  FILETIME access, write;
  const FILETIME *set[2] = {nullptr, nullptr};
  FILETIME *out[2] = {&access, &write};
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  for (int i = 0; i < 2; ++i) {
    const timespec *given = times ? &times[i] : &now;
    if (given->tv_nsec == UTIME_OMIT) continue;
    *out[i] = ToFiletime(given->tv_nsec == UTIME_NOW ? now : *given);
    set[i] = out[i];
  }
  if (fi && fi->fh) return SetFileTime(FileOf(fi)->handle, nullptr, set[0], set[1]) ? 0 : LastErrno();
  std::u16string name;
  if (!PathOf(path, &name)) return -EINVAL;
  HANDLE handle = CreateFileW(name.c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return LastErrno();
  int result = SetFileTime(handle, nullptr, set[0], set[1]) ? 0 : LastErrno();
  CloseHandle(handle);
  return result;
}

int Chmod(const char *path, mode_t mode, fuse_file_info *) {
  std::u16string name;
  if (!PathOf(path, &name)) return -EINVAL;
  DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastErrno();
  // Only a file's owner-write bit has a place on the volume.
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return 0;
  DWORD wanted = (mode & S_IWUSR) ? (attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})
                                  : (attributes | FILE_ATTRIBUTE_READONLY);
  wanted &= ~DWORD{FILE_ATTRIBUTE_NORMAL};
  if (wanted == (attributes & ~DWORD{FILE_ATTRIBUTE_NORMAL})) return 0;
  return SetFileAttributesW(name.c_str(), wanted) ? 0 : LastErrno();
}

// The volume keeps no owners: every file is the mounting user's, and a
// change to anyone else is refused.
int Chown(const char *, uid_t uid, gid_t gid, fuse_file_info *) {
  const Mount &mount = TheMount();
  if ((uid != static_cast<uid_t>(-1) && uid != mount.uid) || (gid != static_cast<gid_t>(-1) && gid != mount.gid))
    return -EPERM;
  return 0;
}

void *Init(fuse_conn_info *conn, fuse_config *config) {
  // Names, sizes and times come from the volume each time: another program
  // on the letter may change them.
  config->use_ino = 0;
  config->entry_timeout = 1;
  config->attr_timeout = 1;
  config->negative_timeout = 0;
  config->hard_remove = 1;  // no hidden ".fuse_hidden" files on the volume
  conn->max_write = 1 << 20;
  conn->max_readahead = 1 << 20;
  Mount &mount = TheMount();
  const char16_t root[] = {mount.letter, u':', u'\\', 0};
  mount.root = CreateFileW(root, FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                           nullptr);
  return &mount;
}

// Unmounting never loses what was written: each file the kernel did not
// release is flushed and closed.
void Destroy(void *data) {
  auto *mount = static_cast<Mount *>(data);
  mount->files.ReleaseAll();
  if (mount->root != INVALID_HANDLE_VALUE) CloseHandle(mount->root);
  mount->root = INVALID_HANDLE_VALUE;
}

fuse_operations MakeOperations() {
  fuse_operations ops = {};
  ops.getattr = GetAttr;
  ops.readdir = ReadDir;
  ops.mkdir = MakeDir;
  ops.rmdir = RemoveDir;
  ops.unlink = Unlink;
  ops.rename = Rename;
  ops.open = Open;
  ops.create = Create;
  ops.read = Read;
  ops.write = Write;
  ops.truncate = Truncate;
  ops.flush = Flush;
  ops.fsync = Fsync;
  ops.release = Release;
  ops.statfs = StatFs;
  ops.utimens = Utimens;
  ops.chmod = Chmod;
  ops.chown = Chown;
  ops.init = Init;
  ops.destroy = Destroy;
  return ops;
}

}  // namespace

const fuse_operations &Operations() {
  static const fuse_operations ops = MakeOperations();
  return ops;
}

}  // namespace lettermount
