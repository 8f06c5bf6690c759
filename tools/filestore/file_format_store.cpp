#include "tools/filestore/file_format_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace bw {

namespace {

NTSTATUS StatusFromErrno(int error) {
  switch (error) {
    case ENOSPC:
      return STATUS_DISK_FULL;
    case EROFS:
    case EACCES:
    case EPERM:
      return STATUS_MEDIA_WRITE_PROTECTED;
    case EINVAL:
      return STATUS_INVALID_PARAMETER;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

}  // namespace

std::unique_ptr<FileFormatStore> FileFormatStore::Open(const std::string &path,
                                                       std::string *error) {
  int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = path + ": " + std::strerror(errno);
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))) {
    if (error) *error = path + ": not a plain file";
    close(fd);
    return nullptr;
  }
  uint64_t size = static_cast<uint64_t>(st.st_size);
  if (S_ISBLK(st.st_mode)) {
    off_t end = lseek(fd, 0, SEEK_END);
    size = end < 0 ? 0 : static_cast<uint64_t>(end);
  }
  return std::unique_ptr<FileFormatStore>(new FileFormatStore(fd, size));
}

FileFormatStore::~FileFormatStore() { close(fd_); }

NTSTATUS FileFormatStore::Write(const VOID *Buffer, ULONG Length, ULONGLONG Offset,
                                ULONG InternalFlags, PIO_STATUS_BLOCK IoStatus) {
  IO_STATUS_BLOCK local;
  if (!IoStatus) IoStatus = &local;
  IoStatus->Information = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (!(InternalFlags & FORMAT_STORE_WRITE_INTERNAL) && writeProtected_)
    status = STATUS_MEDIA_WRITE_PROTECTED;
  else if (Length != 0 && !Buffer)
    status = STATUS_INVALID_PARAMETER;
  else if (Offset > size_ || Length > size_ - Offset)
    status = STATUS_END_OF_FILE;
  const auto *p = static_cast<const uint8_t *>(Buffer);
  uint64_t done = 0;
  while (NT_SUCCESS(status) && done < Length) {
    ssize_t n = pwrite(fd_, p + done, Length - done, static_cast<off_t>(Offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) status = n < 0 ? StatusFromErrno(errno) : STATUS_DISK_FULL;
    else done += static_cast<uint64_t>(n);
  }
  IoStatus->Status = status;
  IoStatus->Information = done;
  return status;
}

NTSTATUS FileFormatStore::Read(VOID *Buffer, ULONG Length, ULONGLONG Offset,
                               PIO_STATUS_BLOCK IoStatus) {
  IO_STATUS_BLOCK local;
  if (!IoStatus) IoStatus = &local;
  IoStatus->Information = 0;
  NTSTATUS status = STATUS_SUCCESS;
  if (Offset >= size_)
    status = STATUS_END_OF_FILE;
  else if (Length != 0 && !Buffer)
    status = STATUS_INVALID_PARAMETER;
  uint64_t want = NT_SUCCESS(status) ? std::min<uint64_t>(Length, size_ - Offset) : 0;
  auto *p = static_cast<uint8_t *>(Buffer);
  uint64_t done = 0;
  while (NT_SUCCESS(status) && done < want) {
    ssize_t n = pread(fd_, p + done, want - done, static_cast<off_t>(Offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      status = StatusFromErrno(errno);
    } else if (n == 0) {
      // Past the file's end (it shrank): reads as zeros.
      std::memset(p + done, 0, want - done);
      done = want;
    } else {
      done += static_cast<uint64_t>(n);
    }
  }
  IoStatus->Status = status;
  IoStatus->Information = done;
  return status;
}

NTSTATUS FileFormatStore::WriteZeros(uint64_t offset, uint64_t length) {
  static const std::vector<uint8_t> zeros(1 << 20, 0);
  while (length > 0) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(length, zeros.size()));
    ssize_t n = pwrite(fd_, zeros.data(), piece, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? StatusFromErrno(errno) : STATUS_DISK_FULL;
    offset += static_cast<uint64_t>(n);
    length -= static_cast<uint64_t>(n);
  }
  return STATUS_SUCCESS;
}

NTSTATUS FileFormatStore::ZeroRange(ULONGLONG Offset, ULONGLONG Length) {
  if (Offset > size_ || Length > size_ - Offset) return STATUS_END_OF_FILE;
  if (Length == 0) return STATUS_SUCCESS;
  if (fallocate(fd_, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(Offset),
                static_cast<off_t>(Length)) == 0) {
    return STATUS_SUCCESS;
  }
  // No hole punching here: overwrite the data extents inside the range and
  // leave the holes, which already read as zeros.
  uint64_t end = Offset + Length;
  uint64_t position = Offset;
  while (position < end) {
    off_t data = lseek(fd_, static_cast<off_t>(position), SEEK_DATA);
    if (data < 0) {
      if (errno == ENXIO) return STATUS_SUCCESS;  // nothing but holes to the end
      return WriteZeros(position, end - position);  // no extent map: write it all
    }
    if (static_cast<uint64_t>(data) >= end) return STATUS_SUCCESS;
    off_t hole = lseek(fd_, data, SEEK_HOLE);
    uint64_t stop = hole < 0 ? end : std::min<uint64_t>(end, static_cast<uint64_t>(hole));
    NTSTATUS status = WriteZeros(static_cast<uint64_t>(data), stop - static_cast<uint64_t>(data));
    if (!NT_SUCCESS(status)) return status;
    position = stop;
  }
  return STATUS_SUCCESS;
}

NTSTATUS FileFormatStore::Flush() {
  return fsync(fd_) == 0 || errno == EINVAL ? STATUS_SUCCESS : StatusFromErrno(errno);
}

}  // namespace bw
