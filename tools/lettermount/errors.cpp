#include "tools/lettermount/errors.h"

#include <cerrno>

namespace lettermount {

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return -ENOENT;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: return -EEXIST;
    case ERROR_DIR_NOT_EMPTY: return -ENOTEMPTY;
    case ERROR_DISK_FULL: return -ENOSPC;
    case ERROR_ACCESS_DENIED: return -EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return -EBUSY;
    case ERROR_WRITE_PROTECT: return -EROFS;
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_INVALID_PARAMETER: return -EINVAL;
    case ERROR_DIRECTORY: return -ENOTDIR;
    case ERROR_NOT_SAME_DEVICE: return -EXDEV;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_NO_SYSTEM_RESOURCES: return -ENOMEM;
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
    case ERROR_CALL_NOT_IMPLEMENTED: return -EOPNOTSUPP;
    case ERROR_FILENAME_EXCED_RANGE: return -ENAMETOOLONG;
    case ERROR_FILE_TOO_LARGE: return -EFBIG;
    case ERROR_NEGATIVE_SEEK: return -EINVAL;
    default: return -EIO;  // ERROR_NOT_READY, ERROR_DEVICE_REMOVED, ERROR_GEN_FAILURE ...
  }
}

}  // namespace lettermount
