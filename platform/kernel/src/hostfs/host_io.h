// Transfers between memory and a host file at an offset: the one loop every
// reader and writer of host files in the kernel uses. Interrupted and short
// calls are retried, so a transfer stops early only at the end of the file
// or on an error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bw {

// Bytes moved; *error is 0, or the errno of the call that failed (bytes
// moved before it still count).
size_t HostReadAt(int fd, void *buffer, size_t length, uint64_t offset, int *error);
size_t HostWriteAt(int fd, const void *buffer, size_t length, uint64_t offset, int *error);

// Copies `length` bytes from file `from` at `fromOffset` to file `to` at
// `toOffset` inside the host kernel: the bytes are copied once, page cache
// to page cache, and never pass through memory of ours. Stops early only at
// the end of `from` or on an error, as the calls above.
size_t HostCopyBetween(int from, uint64_t fromOffset, int to, uint64_t toOffset, size_t length,
                       int *error);

}  // namespace bw
