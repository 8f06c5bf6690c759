// Volumes made and changed: image files, mounts, memory volumes, saving,
// formatting, properties and autoflush. A volume that was made goes into
// the cache.
#include "ctl/ramctl_internal.h"

#include <cstring>

namespace ramctl {

namespace {

constexpr int32_t kStatusImplementationLimit = static_cast<int32_t>(0xC000042B);

// Packs a request into a buffer of its exact size; false with
// ERROR_INVALID_NAME when the strings cannot travel in it.
template <class Parts, class Size, class Pack>
bool Packed(const Parts &parts, Size size, Pack pack, std::vector<uint8_t> *request) {
  request->assign(static_cast<size_t>(size), 0);
  if (size > 0xFFFFFFFFull ||
      pack(request->data(), static_cast<uint32_t>(request->size()), &parts) != request->size()) {
    SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  return true;
}

// A create or mount request and its MountResult: a volume that was made is
// cached before the caller hears of it.
RAMCTL_BOOL MountReply(uint32_t code, const std::vector<uint8_t> &request, MountResult *result) {
  MountResult reply{};
  DWORD returned = 0;
  if (!Control(code, request.data(), static_cast<uint32_t>(request.size()), &reply, sizeof reply, &returned))
    return 0;
  if (returned != sizeof reply) return Fail(ERROR_INVALID_DATA);
  if (reply.Status != 0 || reply.ImageStatus != 0) {
    // The caller reads what went wrong from the record.
    *result = reply;
    return 1;
  }
  {
    LibraryLock lock;
    if (!CacheAdd(reply.VolumeHandle)) return 0;
  }
  *result = reply;
  return 1;
}

RAMCTL_BOOL Mount(LPCWSTR path, LPCWSTR password, uint32_t flags, MountResult *result) {
  std::u16string ntPath, secret = password ? password : u"";
  MountImageRequestParts parts{};
  parts.Head.MountFlags = flags;
  if (!NtPathOf(path, &ntPath) || !WideBytes(ntPath, &parts.ImagePath) ||
      !WideBytes(secret, &parts.Password))
    return Fail(ERROR_INVALID_NAME);
  std::vector<uint8_t> request;
  if (!Packed(parts, MountImageRequestSize(parts.ImagePath.Length, parts.Password.Length), MountImageRequestPack,
              &request))
    return 0;
  RAMCTL_BOOL mounted = MountReply(IOCTL_ENGINE_MOUNT_IMAGE, request, result);
  memset(request.data(), 0, request.size());  // the password does not linger
  return mounted;
}

}  // namespace

}  // namespace ramctl

using namespace ramctl;

RAMCTL_API RAMCTL_BOOL WINAPI RamctlCreateImage(LPCWSTR Path, uint8_t Overwrite, uint8_t ImageKind, uint64_t Size,
                                                LPCWSTR Password, uint32_t AlgorithmId, uint32_t FileSystem,
                                                LPCSTR Label) {
  if (!Path) return Fail(ERROR_INVALID_PARAMETER);
  std::u16string ntPath, secret = Password ? Password : u"";
  CreateImageRequestParts parts{};
  parts.Head.AlgorithmId = AlgorithmId;
  parts.Head.ImageKind = ImageKind;
  parts.Head.ImageSize = Size;
  parts.Head.Overwrite = Overwrite ? 1 : 0;
  parts.Head.FileSystem = FileSystem;
  if (!NtPathOf(Path, &ntPath) || !WideBytes(ntPath, &parts.ImagePath) || !WideBytes(secret, &parts.Password) ||
      !AnsiBytes(Label, &parts.Label))
    return Fail(ERROR_INVALID_NAME);
  std::vector<uint8_t> request;
  if (!Packed(parts,
              CreateImageRequestSize(parts.ImagePath.Length, parts.Password.Length, parts.Label.Length),
              CreateImageRequestPack, &request))
    return 0;
  uint8_t reply[4] = {};
  DWORD returned = 0;
  bool sent = Control(IOCTL_ENGINE_CREATE_IMAGE, request.data(), static_cast<uint32_t>(request.size()), reply,
                      sizeof reply, &returned);
  // The request carried the password: it does not linger in this process.
  memset(request.data(), 0, request.size());
  if (!sent) return 0;
  if (returned == 0) return 1;
  if (returned != sizeof reply) return Fail(ERROR_INVALID_DATA);
  int32_t status = EngineLoadLE<int32_t>(reply);
  if (status >= 0) return 1;
  if (status == kStatusImplementationLimit) return Fail(ERROR_IMPLEMENTATION_LIMIT);
  return Fail(RtlNtStatusToDosError(status));
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlMountImage(LPCWSTR Path, LPCWSTR Password, uint32_t MountFlags,
                                               MountResult *Result) {
  if (!Path || !Result || (MountFlags & (ENGINE_MOUNT_RAW_IMAGE | ENGINE_MOUNT_MEMORY)))
    return Fail(ERROR_INVALID_PARAMETER);
  return Mount(Path, Password, MountFlags, Result);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlMountRawImage(LPCWSTR Path, uint32_t MountFlags, MountResult *Result) {
  if (!Path || !Result) return Fail(ERROR_INVALID_PARAMETER);
  return Mount(Path, nullptr, MountFlags | ENGINE_MOUNT_RAW_IMAGE, Result);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlCreateMemoryVolumeEx(uint32_t AlgorithmId, uint64_t Size, LPCWSTR ImagePath,
                                                         LPCWSTR Password, uint32_t MountFlags,
                                                         uint32_t NumaNodeIndex, uint32_t FileSystem,
                                                         uint32_t FormatFlags, LPCSTR Label,
                                                         MountResult *Result) {
  if (!Result || (!ImagePath && AlgorithmId == ENGINE_ALGORITHM_NONE)) return Fail(ERROR_INVALID_PARAMETER);
  std::u16string ntPath, secret = Password ? Password : u"";
  CreateMemoryVolumeRequestParts parts{};
  parts.Head.AlgorithmId = AlgorithmId;
  parts.Head.VolumeSize = Size;
  parts.Head.MountFlags = MountFlags | ENGINE_MOUNT_MEMORY;
  parts.Head.NumaNodeIndex = NumaNodeIndex;
  parts.Head.FileSystem = FileSystem;
  parts.Head.FormatFlags = FormatFlags;
  if (!NtPathOf(ImagePath, &ntPath) || !WideBytes(ntPath, &parts.ImagePath) ||
      !WideBytes(secret, &parts.Password) || !AnsiBytes(Label, &parts.Label))
    return Fail(ERROR_INVALID_NAME);
  std::vector<uint8_t> request;
  if (!Packed(parts,
              CreateMemoryVolumeRequestSize(parts.ImagePath.Length, parts.Password.Length, parts.Label.Length),
              CreateMemoryVolumeRequestPack, &request))
    return 0;
  RAMCTL_BOOL result = MountReply(IOCTL_ENGINE_CREATE_MEMORY_VOLUME, request, Result);
  memset(request.data(), 0, request.size());
  return result;
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlCreateMemoryVolume(uint32_t AlgorithmId, uint64_t Size, LPCWSTR ImagePath,
                                                       LPCWSTR Password, uint32_t MountFlags, MountResult *Result) {
  return RamctlCreateMemoryVolumeEx(AlgorithmId, Size, ImagePath, Password, MountFlags, 0, ENGINE_FS_RAW, 0,
                                    nullptr, Result);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlSaveImageEx(uint64_t Handle, uint32_t SaveFlags, LPCWSTR TargetPath) {
  if (!Handle) return Fail(ERROR_INVALID_PARAMETER);
  std::u16string ntPath;
  SaveImageRequestParts parts{};
  parts.Head.VolumeHandle = Handle;
  parts.Head.SaveFlags = SaveFlags;
  if (!NtPathOf(TargetPath, &ntPath) || !WideBytes(ntPath, &parts.TargetPath)) return Fail(ERROR_INVALID_NAME);
  std::vector<uint8_t> request;
  if (!Packed(parts, SaveImageRequestSize(parts.TargetPath.Length), SaveImageRequestPack, &request)) return 0;
  return Control(IOCTL_ENGINE_SAVE_IMAGE, request.data(), static_cast<uint32_t>(request.size()), nullptr, 0,
                 nullptr);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlSaveImage(uint64_t Handle, uint32_t SaveFlags) {
  return RamctlSaveImageEx(Handle, SaveFlags, nullptr);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlFormatVolume(uint64_t Handle, int32_t Partition, uint32_t FormatFlags,
                                                 uint32_t FileSystem, LPCSTR Label) {
  if (!Handle || FileSystem > ENGINE_FS_LAST) return Fail(ERROR_INVALID_PARAMETER);
  FormatRequestParts parts{};
  parts.Head.FormatFlags = FormatFlags;
  parts.Head.VolumeHandle = Handle;
  parts.Head.FileSystem = FileSystem;
  parts.Head.PartitionSelector = Partition;
  if (!AnsiBytes(Label, &parts.Label)) return Fail(ERROR_INVALID_NAME);
  std::vector<uint8_t> request;
  if (!Packed(parts, FormatRequestSize(parts.Label.Length), FormatRequestPack, &request)) return 0;
  return Control(IOCTL_ENGINE_FORMAT_VOLUME, request.data(), static_cast<uint32_t>(request.size()), nullptr, 0,
                 nullptr);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlSetProperties(uint64_t Handle, uint32_t SetBits, uint32_t ClearBits) {
  if (!Handle) return Fail(ERROR_INVALID_PARAMETER);
  // Nothing to change: the engine need not be asked.
  if (SetBits == 0 && ClearBits == 0) return 1;
  PropertiesRequest request{Handle, SetBits, ClearBits};
  return Control(IOCTL_ENGINE_SET_PROPERTIES, &request, sizeof request, nullptr, 0, nullptr);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlSetFlushState(uint64_t Handle, uint32_t PeriodSeconds,
                                                  uint32_t AutoflushFlags) {
  if (!Handle) return Fail(ERROR_INVALID_PARAMETER);
  FlushStateRequest request{Handle, PeriodSeconds, AutoflushFlags};
  return Control(IOCTL_ENGINE_SET_FLUSH_STATE, &request, sizeof request, nullptr, 0, nullptr);
}
