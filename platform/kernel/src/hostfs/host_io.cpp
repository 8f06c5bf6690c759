#include "hostfs/host_io.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace bw {
namespace {

template <typename Call>
size_t TransferAt(size_t length, int *error, Call call) {
  *error = 0;
  size_t done = 0;
  while (done < length) {
    ssize_t n = call(done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = errno;
      break;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

// The pipe a splice copy moves page references through; closed with it.
class SplicePipe {
 public:
  SplicePipe() {
    if (pipe2(ends_, O_CLOEXEC) != 0) {
      ends_[0] = ends_[1] = -1;
      return;
    }
    // Larger steps, fewer calls; the host may cap the size, then its own
    // default serves.
    int size = fcntl(ends_[1], F_SETPIPE_SZ, 1 << 20);
    if (size <= 0) size = fcntl(ends_[1], F_GETPIPE_SZ);
    capacity_ = size > 0 ? static_cast<size_t>(size) : 65536;
  }
  ~SplicePipe() {
    if (ends_[0] >= 0) close(ends_[0]);
    if (ends_[1] >= 0) close(ends_[1]);
  }
  SplicePipe(const SplicePipe &) = delete;
  SplicePipe &operator=(const SplicePipe &) = delete;
  bool ok() const { return ends_[0] >= 0; }
  int in() const { return ends_[1]; }
  int out() const { return ends_[0]; }
  size_t capacity() const { return capacity_; }

 private:
  int ends_[2];
  size_t capacity_ = 0;
};

// Moves what the pipe holds (`filled` bytes) into `to` at *toOffset.
bool DrainPipe(const SplicePipe &pipe, size_t filled, int to, uint64_t *toOffset, int *error) {
  while (filled > 0) {
    loff_t at = static_cast<loff_t>(*toOffset);
    ssize_t n = splice(pipe.out(), nullptr, to, &at, filled, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : EIO;
      return false;
    }
    filled -= static_cast<size_t>(n);
    *toOffset += static_cast<uint64_t>(n);
  }
  return true;
}

// Through a buffer of ours, for files the host cannot splice.
size_t CopyThroughBuffer(int from, uint64_t fromOffset, int to, uint64_t toOffset, size_t length,
                         int *error) {
  std::vector<char> buffer(std::min<size_t>(length, 1 << 20));
  size_t done = 0;
  *error = 0;
  while (done < length) {
    size_t step = std::min(buffer.size(), length - done);
    size_t got = HostReadAt(from, buffer.data(), step, fromOffset + done, error);
    if (got == 0 || *error) break;
    size_t put = HostWriteAt(to, buffer.data(), got, toOffset + done, error);
    done += put;
    if (put < got || *error) break;
    if (got < step) break;
  }
  return done;
}

}  // namespace

size_t HostReadAt(int fd, void *buffer, size_t length, uint64_t offset, int *error) {
  auto *bytes = static_cast<char *>(buffer);
  return TransferAt(length, error, [&](size_t done) {
    return pread(fd, bytes + done, length - done, static_cast<off_t>(offset + done));
  });
}

size_t HostWriteAt(int fd, const void *buffer, size_t length, uint64_t offset, int *error) {
  auto *bytes = static_cast<const char *>(buffer);
  return TransferAt(length, error, [&](size_t done) {
    return pwrite(fd, bytes + done, length - done, static_cast<off_t>(offset + done));
  });
}

size_t HostCopyBetween(int from, uint64_t fromOffset, int to, uint64_t toOffset, size_t length,
                       int *error) {
  *error = 0;
  if (length == 0) return 0;
  SplicePipe pipe;
  if (!pipe.ok()) return CopyThroughBuffer(from, fromOffset, to, toOffset, length, error);
  size_t done = 0;
  while (done < length) {
    loff_t at = static_cast<loff_t>(fromOffset + done);
    ssize_t n = splice(from, &at, pipe.in(), nullptr, std::min(pipe.capacity(), length - done), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // A file the host cannot splice from: the rest goes the plain way.
      if ((errno == EINVAL || errno == ENOSYS) && done == 0)
        return CopyThroughBuffer(from, fromOffset, to, toOffset, length, error);
      *error = errno;
      break;
    }
    if (n == 0) break;  // the end of `from`
    uint64_t target = toOffset + done;
    if (!DrainPipe(pipe, static_cast<size_t>(n), to, &target, error)) {
      // A file the host cannot splice into: the same, the plain way.
      if (*error == EINVAL && done == 0 && target == toOffset)
        return CopyThroughBuffer(from, fromOffset, to, toOffset, length, error);
      done = static_cast<size_t>(target - toOffset);
      break;
    }
    done += static_cast<size_t>(n);
  }
  return done;
}

}  // namespace bw
