// File and volume information of the host file system.
#include "hostfs/hostfs.h"

#include "host/faults.h"
#include "ob/object.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace bw {

namespace {

constexpr LONGLONG kUnixEpochIn1601 = 116444736000000000LL;

LONGLONG NtTime(const struct timespec &t) {
  return kUnixEpochIn1601 + static_cast<LONGLONG>(t.tv_sec) * 10000000LL + t.tv_nsec / 100;
}

bool TimespecOf(LONGLONG nt, struct timespec *t) {
  if (nt == 0 || nt == -1) return false;  // 0: leave as is; -1: stop updating
  LONGLONG ticks = nt - kUnixEpochIn1601;
  t->tv_sec = static_cast<time_t>(ticks / 10000000LL);
  t->tv_nsec = static_cast<long>((ticks % 10000000LL) * 100);
  if (t->tv_nsec < 0) {
    t->tv_nsec += 1000000000L;
    t->tv_sec -= 1;
  }
  return true;
}

ULONG AttributesOf(const struct stat &st) {
  if (S_ISDIR(st.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
  ULONG attributes = FILE_ATTRIBUTE_ARCHIVE;
  if ((st.st_mode & 0222) == 0) attributes |= FILE_ATTRIBUTE_READONLY;
  return attributes;
}

// Creation time where the host keeps one, else the older of the others.
LONGLONG CreationTime(int fd, const struct stat &st) {
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
    struct timespec t{static_cast<time_t>(sx.stx_btime.tv_sec),
                      static_cast<long>(sx.stx_btime.tv_nsec)};
    return NtTime(t);
  }
  return std::min(NtTime(st.st_mtim), NtTime(st.st_ctim));
}

}  // namespace

void HostFsBasicAt(int dirFd, const char *name, const struct stat &st,
                   FILE_BASIC_INFORMATION *info) {
  struct statx sx;
  if (statx(dirFd, name, 0, STATX_BTIME, &sx) == 0 && (sx.stx_mask & STATX_BTIME)) {
    struct timespec t{static_cast<time_t>(sx.stx_btime.tv_sec),
                      static_cast<long>(sx.stx_btime.tv_nsec)};
    info->CreationTime.QuadPart = NtTime(t);
  } else {
    info->CreationTime.QuadPart = std::min(NtTime(st.st_mtim), NtTime(st.st_ctim));
  }
  info->LastAccessTime.QuadPart = NtTime(st.st_atim);
  info->LastWriteTime.QuadPart = NtTime(st.st_mtim);
  info->ChangeTime.QuadPart = NtTime(st.st_ctim);
  info->FileAttributes = AttributesOf(st);
}

namespace {

void FillBasic(int fd, const struct stat &st, FILE_BASIC_INFORMATION *info) {
  info->CreationTime.QuadPart = CreationTime(fd, st);
  info->LastAccessTime.QuadPart = NtTime(st.st_atim);
  info->LastWriteTime.QuadPart = NtTime(st.st_mtim);
  info->ChangeTime.QuadPart = NtTime(st.st_ctim);
  info->FileAttributes = AttributesOf(st);
}

NTSTATUS Query(PFILE_OBJECT file, HostOpen *open, FILE_INFORMATION_CLASS cls, PVOID buffer,
               ULONG length, ULONG_PTR *information) {
  struct stat st;
  if (fstat(open->fd, &st) != 0) return StatusFromErrno(errno);
  auto fits = [&](size_t size) { return length >= size; };
  switch (cls) {
    case FileBasicInformation: {
      if (!fits(sizeof(FILE_BASIC_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      FillBasic(open->fd, st, static_cast<PFILE_BASIC_INFORMATION>(buffer));
      *information = sizeof(FILE_BASIC_INFORMATION);
      return STATUS_SUCCESS;
    }
    case FileStandardInformation: {
      if (!fits(sizeof(FILE_STANDARD_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_STANDARD_INFORMATION>(buffer);
      info->AllocationSize.QuadPart = static_cast<LONGLONG>(st.st_blocks) * 512;
      info->EndOfFile.QuadPart = S_ISDIR(st.st_mode) ? 0 : st.st_size;
      info->NumberOfLinks = static_cast<ULONG>(st.st_nlink);
      {
        std::lock_guard<std::mutex> guard(HostFsLock());
        info->DeletePending = open->node->deletePending ? TRUE : FALSE;
      }
      info->Directory = S_ISDIR(st.st_mode) ? TRUE : FALSE;
      *information = sizeof(FILE_STANDARD_INFORMATION);
      return STATUS_SUCCESS;
    }
    case FileInternalInformation: {
      if (!fits(sizeof(FILE_INTERNAL_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      static_cast<PFILE_INTERNAL_INFORMATION>(buffer)->IndexNumber.QuadPart =
          static_cast<LONGLONG>(st.st_ino);
      *information = sizeof(FILE_INTERNAL_INFORMATION);
      return STATUS_SUCCESS;
    }
    case FilePositionInformation: {
      if (!fits(sizeof(FILE_POSITION_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      static_cast<PFILE_POSITION_INFORMATION>(buffer)->CurrentByteOffset = file->CurrentByteOffset;
      *information = sizeof(FILE_POSITION_INFORMATION);
      return STATUS_SUCCESS;
    }
    case FileNameInformation: {
      if (!fits(FIELD_OFFSET(FILE_NAME_INFORMATION, FileName))) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_NAME_INFORMATION>(buffer);
      ULONG bytes = static_cast<ULONG>(open->name.size() * sizeof(WCHAR));
      ULONG room = length - FIELD_OFFSET(FILE_NAME_INFORMATION, FileName);
      ULONG copied = bytes <= room ? bytes : room & ~1U;
      info->FileNameLength = bytes;
      memcpy(info->FileName, open->name.data(), copied);
      *information = FIELD_OFFSET(FILE_NAME_INFORMATION, FileName) + copied;
      return copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    case FileNetworkOpenInformation: {
      if (!fits(sizeof(FILE_NETWORK_OPEN_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_NETWORK_OPEN_INFORMATION>(buffer);
      FILE_BASIC_INFORMATION basic;
      FillBasic(open->fd, st, &basic);
      info->CreationTime = basic.CreationTime;
      info->LastAccessTime = basic.LastAccessTime;
      info->LastWriteTime = basic.LastWriteTime;
      info->ChangeTime = basic.ChangeTime;
      info->AllocationSize.QuadPart = static_cast<LONGLONG>(st.st_blocks) * 512;
      info->EndOfFile.QuadPart = S_ISDIR(st.st_mode) ? 0 : st.st_size;
      info->FileAttributes = basic.FileAttributes;
      *information = sizeof(FILE_NETWORK_OPEN_INFORMATION);
      return STATUS_SUCCESS;
    }
    case FileAttributeTagInformation: {
      if (!fits(sizeof(FILE_ATTRIBUTE_TAG_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_ATTRIBUTE_TAG_INFORMATION>(buffer);
      info->FileAttributes = AttributesOf(st);
      info->ReparseTag = 0;
      *information = sizeof(FILE_ATTRIBUTE_TAG_INFORMATION);
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// Changes the file's size, which sections over it forbid shrinking.
NTSTATUS Resize(HostOpen *open, uint64_t size, bool advanceOnly) {
  struct stat st;
  if (fstat(open->fd, &st) != 0) return StatusFromErrno(errno);
  if (advanceOnly && size <= static_cast<uint64_t>(st.st_size)) return STATUS_SUCCESS;
  if (size < static_cast<uint64_t>(st.st_size)) {
    std::lock_guard<std::mutex> guard(HostFsLock());
    if (open->node->sections > 0) return STATUS_USER_MAPPED_FILE;
  }
  if (ftruncate(open->fd, static_cast<off_t>(size)) != 0) return StatusFromErrno(errno);
  return STATUS_SUCCESS;
}

NTSTATUS Set(PFILE_OBJECT file, HostOpen *open, FILE_INFORMATION_CLASS cls, PVOID buffer,
             ULONG length, BOOLEAN advanceOnly) {
  auto fits = [&](size_t size) { return length >= size; };
  const bool directory = open->node->directory;
  switch (cls) {
    case FileBasicInformation: {
      if (!fits(sizeof(FILE_BASIC_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      if (!(open->access & FILE_WRITE_ATTRIBUTES)) return STATUS_ACCESS_DENIED;
      auto *info = static_cast<PFILE_BASIC_INFORMATION>(buffer);
      struct timespec times[2] = {{0, UTIME_OMIT}, {0, UTIME_OMIT}};
      bool any = TimespecOf(info->LastAccessTime.QuadPart, &times[0]);
      any = TimespecOf(info->LastWriteTime.QuadPart, &times[1]) || any;
      if (any && utimensat(AT_FDCWD, open->path.c_str(), times, 0) != 0)
        return StatusFromErrno(errno);
      if (info->FileAttributes && !directory) {
        struct stat st;
        if (stat(open->path.c_str(), &st) != 0) return StatusFromErrno(errno);
        mode_t mode = st.st_mode & 07777;
        // Read-only is the one attribute the host keeps: no write bits.
        if (info->FileAttributes & FILE_ATTRIBUTE_READONLY)
          mode &= ~0222;
        else if ((mode & 0222) == 0)
          mode |= S_IWUSR;
        if (mode != (st.st_mode & 07777) && chmod(open->path.c_str(), mode) != 0)
          return StatusFromErrno(errno);
      }
      return STATUS_SUCCESS;
    }
    case FilePositionInformation: {
      if (!fits(sizeof(FILE_POSITION_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      LARGE_INTEGER to = static_cast<PFILE_POSITION_INFORMATION>(buffer)->CurrentByteOffset;
      if (to.QuadPart < 0) return STATUS_INVALID_PARAMETER;
      struct stat st;
      if ((file->Flags & FO_NO_INTERMEDIATE_BUFFERING) && fstat(open->fd, &st) == 0 &&
          to.QuadPart % SectorSizeOf(st.st_dev))
        return STATUS_INVALID_PARAMETER;
      file->CurrentByteOffset = to;
      return STATUS_SUCCESS;
    }
    case FileEndOfFileInformation: {
      if (!fits(sizeof(FILE_END_OF_FILE_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      if (directory) return STATUS_INVALID_PARAMETER;
      if (!(open->access & FILE_WRITE_DATA)) return STATUS_ACCESS_DENIED;
      LONGLONG size = static_cast<PFILE_END_OF_FILE_INFORMATION>(buffer)->EndOfFile.QuadPart;
      if (size < 0) return STATUS_INVALID_PARAMETER;
      return Resize(open, static_cast<uint64_t>(size), advanceOnly);
    }
    case FileAllocationInformation: {
      if (!fits(sizeof(FILE_ALLOCATION_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      if (directory) return STATUS_INVALID_PARAMETER;
      if (!(open->access & FILE_WRITE_DATA)) return STATUS_ACCESS_DENIED;
      LONGLONG size = static_cast<PFILE_ALLOCATION_INFORMATION>(buffer)->AllocationSize.QuadPart;
      if (size < 0) return STATUS_INVALID_PARAMETER;
      struct stat st;
      if (fstat(open->fd, &st) != 0) return StatusFromErrno(errno);
      // Less than the file holds cuts the file; more reserves space.
      if (size < st.st_size) return Resize(open, static_cast<uint64_t>(size), false);
      if (size > 0 && fallocate(open->fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 &&
          (errno == ENOSPC || errno == EFBIG))
        return STATUS_DISK_FULL;
      return STATUS_SUCCESS;
    }
    case FileDispositionInformation: {
      if (!fits(sizeof(FILE_DISPOSITION_INFORMATION))) return STATUS_INFO_LENGTH_MISMATCH;
      if (!(open->access & DELETE)) return STATUS_ACCESS_DENIED;
      bool remove = static_cast<PFILE_DISPOSITION_INFORMATION>(buffer)->DeleteFile != FALSE;
      if (remove) {
        struct stat st;
        if (fstat(open->fd, &st) != 0) return StatusFromErrno(errno);
        if (open->name == u"\\" || (!directory && (st.st_mode & 0222) == 0))
          return STATUS_CANNOT_DELETE;
        if (directory) {
          int dirFd = ::open(open->path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
          bool empty = true;
          if (dirFd >= 0) {
            if (DIR *dir = fdopendir(dirFd)) {
              while (struct dirent *e = readdir(dir))
                if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) empty = false;
              closedir(dir);
            } else {
              close(dirFd);
            }
          }
          if (!empty) return STATUS_DIRECTORY_NOT_EMPTY;
        }
      }
      std::lock_guard<std::mutex> guard(HostFsLock());
      open->node->deletePending = remove;
      if (remove) open->node->deletePath = open->path;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

struct SectorInfo {
  ULONG logical;
  ULONG physical;
  bool noSeekPenalty;
};

SectorInfo SectorsOf(dev_t dev) {
  SectorInfo info{SectorSizeOf(dev), 0, false};
  char base[96];
  snprintf(base, sizeof base, "/sys/dev/block/%u:%u", major(dev), minor(dev));
  auto readValue = [&](const char *name, unsigned *value) {
    for (const char *up : {"/queue/", "/../queue/"}) {
      FILE *f = fopen((std::string(base) + up + name).c_str(), "r");
      if (!f) continue;
      bool ok = fscanf(f, "%u", value) == 1;
      fclose(f);
      if (ok) return true;
    }
    return false;
  };
  unsigned value = 0;
  if (readValue("physical_block_size", &value) && value >= info.logical) info.physical = value;
  if (!info.physical) info.physical = info.logical;
  if (readValue("rotational", &value)) info.noSeekPenalty = value == 0;
  return info;
}

NTSTATUS QueryVolume(HostOpen *open, FS_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                     ULONG_PTR *information) {
  struct stat st;
  struct statvfs vfs;
  if (fstat(open->fd, &st) != 0 || fstatvfs(open->fd, &vfs) != 0) return StatusFromErrno(errno);
  SectorInfo sectors = SectorsOf(st.st_dev);
  uint64_t cluster = vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize;
  if (cluster < sectors.logical || cluster % sectors.logical) cluster = sectors.logical;
  auto units = [&](uint64_t blocks) {
    return static_cast<LONGLONG>(blocks * (vfs.f_frsize ? vfs.f_frsize : vfs.f_bsize) / cluster);
  };
  switch (cls) {
    case FileFsVolumeInformation: {
      const ULONG head = FIELD_OFFSET(FILE_FS_VOLUME_INFORMATION, VolumeLabel);
      if (length < head) return STATUS_INFO_LENGTH_MISMATCH;
      // The host keeps no label and no creation time; the serial number
      // tells the host file systems apart.
      auto *info = static_cast<PFILE_FS_VOLUME_INFORMATION>(buffer);
      info->VolumeCreationTime.QuadPart = 0;
      info->VolumeSerialNumber =
          static_cast<ULONG>(st.st_dev ^ (static_cast<uint64_t>(st.st_dev) >> 32));
      info->VolumeLabelLength = 0;
      info->SupportsObjects = FALSE;
      *information = head;
      return STATUS_SUCCESS;
    }
    case FileFsSizeInformation: {
      if (length < sizeof(FILE_FS_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_SIZE_INFORMATION>(buffer);
      info->TotalAllocationUnits.QuadPart = units(vfs.f_blocks);
      info->AvailableAllocationUnits.QuadPart = units(vfs.f_bavail);
      info->SectorsPerAllocationUnit = static_cast<ULONG>(cluster / sectors.logical);
      info->BytesPerSector = sectors.logical;
      *information = sizeof(FILE_FS_SIZE_INFORMATION);
      return STATUS_SUCCESS;
    }
    case FileFsFullSizeInformation: {
      if (length < sizeof(FILE_FS_FULL_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_FULL_SIZE_INFORMATION>(buffer);
      info->TotalAllocationUnits.QuadPart = units(vfs.f_blocks);
      info->CallerAvailableAllocationUnits.QuadPart = units(vfs.f_bavail);
      info->ActualAvailableAllocationUnits.QuadPart = units(vfs.f_bfree);
      info->SectorsPerAllocationUnit = static_cast<ULONG>(cluster / sectors.logical);
      info->BytesPerSector = sectors.logical;
      *information = sizeof(FILE_FS_FULL_SIZE_INFORMATION);
      return STATUS_SUCCESS;
    }
    case FileFsSectorSizeInformation: {
      if (length < sizeof(FILE_FS_SECTOR_SIZE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_SECTOR_SIZE_INFORMATION>(buffer);
      info->LogicalBytesPerSector = sectors.logical;
      info->PhysicalBytesPerSectorForAtomicity = sectors.physical;
      info->PhysicalBytesPerSectorForPerformance = sectors.physical;
      info->FileSystemEffectivePhysicalBytesPerSectorForAtomicity = sectors.physical;
      info->Flags = SSINFO_FLAGS_ALIGNED_DEVICE | SSINFO_FLAGS_PARTITION_ALIGNED_ON_DEVICE |
                    (sectors.noSeekPenalty ? SSINFO_FLAGS_NO_SEEK_PENALTY : 0);
      info->ByteOffsetForSectorAlignment = 0;
      info->ByteOffsetForPartitionAlignment = 0;
      *information = sizeof(FILE_FS_SECTOR_SIZE_INFORMATION);
      return STATUS_SUCCESS;
    }
    case FileFsDeviceInformation: {
      if (length < sizeof(FILE_FS_DEVICE_INFORMATION)) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_DEVICE_INFORMATION>(buffer);
      info->DeviceType = FILE_DEVICE_DISK;
      info->Characteristics = (vfs.f_flag & ST_RDONLY) ? FILE_READ_ONLY_DEVICE : 0;
      *information = sizeof(FILE_FS_DEVICE_INFORMATION);
      return STATUS_SUCCESS;
    }
    case FileFsAttributeInformation: {
      const ULONG head = FIELD_OFFSET(FILE_FS_ATTRIBUTE_INFORMATION, FileSystemName);
      if (length < head) return STATUS_INFO_LENGTH_MISMATCH;
      auto *info = static_cast<PFILE_FS_ATTRIBUTE_INFORMATION>(buffer);
      static const char16_t kName[] = u"HOSTFS";
      ULONG bytes = sizeof kName - sizeof(WCHAR);
      ULONG copied = bytes <= length - head ? bytes : (length - head) & ~1U;
      info->FileSystemAttributes = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
                                   FILE_UNICODE_ON_DISK | FILE_SUPPORTS_SPARSE_FILES;
      info->MaximumComponentNameLength = static_cast<LONG>(vfs.f_namemax);
      info->FileSystemNameLength = bytes;
      memcpy(info->FileSystemName, kName, copied);
      *information = head + copied;
      return copied < bytes ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
    }
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

NTSTATUS HostFsQueryInformation(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  HostOpen *open = OpenOf(stack->FileObject);
  if (FaultShouldFail(Fault::FileCall)) return HostFsComplete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  if (!open) return HostFsComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  ULONG_PTR information = 0;
  NTSTATUS status = Query(stack->FileObject, open, stack->Parameters.QueryFile.FileInformationClass,
                          irp->AssociatedIrp.SystemBuffer, stack->Parameters.QueryFile.Length,
                          &information);
  return HostFsComplete(irp, status, information);
}

NTSTATUS HostFsSetInformation(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  HostOpen *open = OpenOf(stack->FileObject);
  if (FaultShouldFail(Fault::FileCall)) return HostFsComplete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  if (!open) return HostFsComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  FILE_INFORMATION_CLASS cls = stack->Parameters.SetFile.FileInformationClass;
  if (cls == FileRenameInformation || cls == FileLinkInformation)
    return HostFsComplete(irp,
                          HostFsRenameOrLink(stack->FileObject, open, stack,
                                             irp->AssociatedIrp.SystemBuffer),
                          0);
  NTSTATUS status = Set(stack->FileObject, open, stack->Parameters.SetFile.FileInformationClass,
                        irp->AssociatedIrp.SystemBuffer, stack->Parameters.SetFile.Length,
                        stack->Parameters.SetFile.AdvanceOnly);
  return HostFsComplete(irp, status, 0);
}

NTSTATUS HostFsQueryVolumeInformation(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  HostOpen *open = OpenOf(stack->FileObject);
  if (FaultShouldFail(Fault::FileCall)) return HostFsComplete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  if (!open) return HostFsComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  ULONG_PTR information = 0;
  NTSTATUS status = QueryVolume(open, stack->Parameters.QueryVolume.FsInformationClass,
                                irp->AssociatedIrp.SystemBuffer,
                                stack->Parameters.QueryVolume.Length, &information);
  return HostFsComplete(irp, status, information);
}

}  // namespace bw
