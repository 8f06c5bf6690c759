#include "hostfs/host_io.h"

#include <errno.h>
#include <unistd.h>

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

}  // namespace bw
