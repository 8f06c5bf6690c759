// The statuses Windows' NTFS gives for what libntfs-3g reports as errno.
#include "platform/drivers/ntfs/ntfs_volume.h"

#include <errno.h>

NTSTATUS NtfsStatus(int Error) {
  switch (Error) {
    case 0: return STATUS_SUCCESS;
    case ENOENT: return STATUS_OBJECT_NAME_NOT_FOUND;
    case EEXIST: return STATUS_OBJECT_NAME_COLLISION;
    case ENOTEMPTY: return STATUS_DIRECTORY_NOT_EMPTY;
    case ENOSPC: return STATUS_DISK_FULL;
    case ENOMEM: return STATUS_INSUFFICIENT_RESOURCES;
    case EINVAL: return STATUS_INVALID_PARAMETER;
    case ENAMETOOLONG: return STATUS_OBJECT_NAME_INVALID;
    case EROFS: return STATUS_MEDIA_WRITE_PROTECTED;
    case EACCES:
    case EPERM: return STATUS_ACCESS_DENIED;
    case EFBIG: return STATUS_FILE_TOO_LARGE;
    case ENOTDIR: return STATUS_NOT_A_DIRECTORY;
    case EISDIR: return STATUS_FILE_IS_A_DIRECTORY;
    case EOPNOTSUPP: return STATUS_INVALID_DEVICE_REQUEST;
    case ERANGE: return STATUS_BUFFER_TOO_SMALL;
    case EMLINK: return STATUS_TOO_MANY_LINKS;
    case EBUSY: return STATUS_SHARING_VIOLATION;
    case ENODATA: return STATUS_NOT_FOUND;
    case EILSEQ: return STATUS_OBJECT_NAME_INVALID;
    case EIO:
    default: return STATUS_FILE_CORRUPT_ERROR;
  }
}
