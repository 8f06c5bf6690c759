// The library's device: its reads and writes of any byte range become
// whole-sector transfers through the driver, so that every byte goes to
// the volume device as a request. Edges of a range that are not whole
// sectors are read first and written back with the new bytes.
#include "platform/drivers/ntfs/ntfs_lib_internal.h"

#include <linux/fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

namespace {

const NtfsLibDevice &DeviceOf(struct ntfs_device *dev) { return static_cast<NtfsLibVolume *>(dev->d_private)->Device; }

int Open(struct ntfs_device *dev, int) {
  NDevSetOpen(dev);
  return 0;
}

int Close(struct ntfs_device *dev) {
  NDevClearOpen(dev);
  return 0;
}

// Transfers are split so that one request stays below 4 GiB.
constexpr uint64_t kChunk = 16u << 20;

int ReadAligned(const NtfsLibDevice &d, uint64_t offset, uint8_t *buffer, uint64_t count) {
  while (count) {
    uint32_t n = static_cast<uint32_t>(count < kChunk ? count : kChunk);
    int error = d.Read(d.Context, offset, buffer, n);
    if (error) return error;
    offset += n;
    buffer += n;
    count -= n;
  }
  return 0;
}

int WriteAligned(const NtfsLibDevice &d, uint64_t offset, const uint8_t *buffer, uint64_t count) {
  while (count) {
    uint32_t n = static_cast<uint32_t>(count < kChunk ? count : kChunk);
    int error = d.Write(d.Context, offset, buffer, n);
    if (error) return error;
    offset += n;
    buffer += n;
    count -= n;
  }
  return 0;
}

// The range clipped to the device's end; 0 bytes past it.
s64 Clip(const NtfsLibDevice &d, s64 count, s64 offset) {
  if (offset < 0 || count < 0) return -1;
  if (static_cast<uint64_t>(offset) >= d.Length) return 0;
  uint64_t room = d.Length - static_cast<uint64_t>(offset);
  return static_cast<uint64_t>(count) < room ? count : static_cast<s64>(room);
}

s64 PRead(struct ntfs_device *dev, void *buf, s64 count, s64 offset) {
  const NtfsLibDevice &d = DeviceOf(dev);
  count = Clip(d, count, offset);
  if (count < 0) {
    errno = EINVAL;
    return -1;
  }
  if (count == 0) return 0;
  uint64_t sector = d.SectorSize;
  uint64_t start = static_cast<uint64_t>(offset) / sector * sector;
  uint64_t end = (static_cast<uint64_t>(offset) + count + sector - 1) / sector * sector;
  int error;
  if (start == static_cast<uint64_t>(offset) && end == static_cast<uint64_t>(offset + count)) {
    error = ReadAligned(d, start, static_cast<uint8_t *>(buf), end - start);
  } else {
    auto *bounce = static_cast<uint8_t *>(malloc(end - start));
    if (!bounce) {
      errno = ENOMEM;
      return -1;
    }
    error = ReadAligned(d, start, bounce, end - start);
    if (!error) memcpy(buf, bounce + (offset - start), count);
    free(bounce);
  }
  if (error) {
    errno = error;
    return -1;
  }
  return count;
}

s64 PWrite(struct ntfs_device *dev, const void *buf, s64 count, s64 offset) {
  const NtfsLibDevice &d = DeviceOf(dev);
  if (NDevReadOnly(dev)) {
    errno = EROFS;
    return -1;
  }
  count = Clip(d, count, offset);
  if (count < 0) {
    errno = EINVAL;
    return -1;
  }
  if (count == 0) return 0;
  NDevSetDirty(dev);
  uint64_t sector = d.SectorSize;
  uint64_t start = static_cast<uint64_t>(offset) / sector * sector;
  uint64_t end = (static_cast<uint64_t>(offset) + count + sector - 1) / sector * sector;
  int error;
  if (start == static_cast<uint64_t>(offset) && end == static_cast<uint64_t>(offset + count)) {
    error = WriteAligned(d, start, static_cast<const uint8_t *>(buf), end - start);
  } else {
    auto *bounce = static_cast<uint8_t *>(malloc(end - start));
    if (!bounce) {
      errno = ENOMEM;
      return -1;
    }
    // Only the edge sectors hold bytes that stay.
    error = d.Read(d.Context, start, bounce, static_cast<uint32_t>(sector));
    if (!error && end - sector != start)
      error = d.Read(d.Context, end - sector, bounce + (end - sector - start), static_cast<uint32_t>(sector));
    if (!error) {
      memcpy(bounce + (offset - start), buf, count);
      error = WriteAligned(d, start, bounce, end - start);
    }
    free(bounce);
  }
  if (error) {
    errno = error;
    return -1;
  }
  return count;
}

// The library also reads and writes at a position of its own.
s64 Seek(struct ntfs_device *dev, s64 offset, int whence) {
  auto *volume = static_cast<NtfsLibVolume *>(dev->d_private);
  s64 base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? volume->Position : static_cast<s64>(volume->Device.Length);
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) {
    errno = EINVAL;
    return -1;
  }
  if (base + offset < 0) {
    errno = EINVAL;
    return -1;
  }
  volume->Position = base + offset;
  return volume->Position;
}

s64 ReadHere(struct ntfs_device *dev, void *buf, s64 count) {
  auto *volume = static_cast<NtfsLibVolume *>(dev->d_private);
  s64 n = PRead(dev, buf, count, volume->Position);
  if (n > 0) volume->Position += n;
  return n;
}

s64 WriteHere(struct ntfs_device *dev, const void *buf, s64 count) {
  auto *volume = static_cast<NtfsLibVolume *>(dev->d_private);
  s64 n = PWrite(dev, buf, count, volume->Position);
  if (n > 0) volume->Position += n;
  return n;
}

int Sync(struct ntfs_device *dev) {
  const NtfsLibDevice &d = DeviceOf(dev);
  int error = d.Flush ? d.Flush(d.Context) : 0;
  if (error) {
    errno = error;
    return -1;
  }
  NDevClearDirty(dev);
  return 0;
}

int Stat(struct ntfs_device *dev, struct stat *buf) {
  memset(buf, 0, sizeof *buf);
  buf->st_mode = S_IFBLK;
  buf->st_size = static_cast<off_t>(DeviceOf(dev).Length);
  return 0;
}

int Ioctl(struct ntfs_device *dev, unsigned long request, void *argp) {
  const NtfsLibDevice &d = DeviceOf(dev);
  switch (request) {
    case BLKGETSIZE64:
      *static_cast<uint64_t *>(argp) = d.Length;
      return 0;
    case BLKGETSIZE:
      *static_cast<unsigned long *>(argp) = static_cast<unsigned long>(d.Length / 512);
      return 0;
    case BLKSSZGET:
      *static_cast<int *>(argp) = static_cast<int>(d.SectorSize);
      return 0;
    default:
      errno = ENOTTY;
      return -1;
  }
}

}  // namespace

struct ntfs_device_operations gNtfsLibDeviceOps = {Open, Close, Seek, ReadHere, WriteHere, PRead,
                                                   PWrite, Sync, Stat, Ioctl};
