// Questions about volumes and names: a volume's record, letter, device
// name and image path, the list of volumes, the volume behind a letter,
// algorithm names, and whether a file exists.
#include "ctl/ramctl_internal.h"

#include <cstring>

namespace ramctl {

namespace {

// A counted name of the engine as a new NUL-terminated string; null with
// success when the engine has none for the volume.
RAMCTL_BOOL CountedName(uint32_t code, uint64_t handle, LPWSTR *out) {
  if (!handle || !out) return Fail(ERROR_INVALID_PARAMETER);
  *out = nullptr;
  VolumeHandleRequest request{handle};
  std::vector<uint8_t> reply;
  if (!ControlWithProbe(code, &request, sizeof request, &reply)) return 0;
  if (reply.empty()) return 1;
  EngineBytes name;
  if (CountedNameReplyParse(reply.data(), reply.size(), &name) != ENGINE_PARSE_OK || name.Length % 2)
    return Fail(ERROR_INVALID_DATA);
  auto *copy = static_cast<LPWSTR>(NewBlock(name.Length + sizeof(WCHAR)));
  if (!copy) return 0;
  if (name.Length) memcpy(copy, name.Data, name.Length);
  *out = copy;
  return 1;
}

}  // namespace

}  // namespace ramctl

using namespace ramctl;

RAMCTL_API RAMCTL_BOOL WINAPI RamctlQueryVolumeInformation(uint64_t Handle, VolumeInformation *Information) {
  if (!Handle || !Information) return Fail(ERROR_INVALID_PARAMETER);
  VolumeInfoReply reply{};
  if (!QueryVolume(Handle, &reply)) return 0;
  VolumeInformation info{};
  info.VolumeHandle = Handle;
  info.StateFlags = reply.StateFlags;
  info.Properties = reply.Properties;
  info.AlgorithmId = reply.AlgorithmId;
  info.KeyLength = reply.KeyLength;
  info.CipherBlockSize = reply.CipherBlockSize;
  info.VolumeSize = reply.VolumeSize;
  info.DriveLetter = reply.DriveLetter;
  info.SessionId = reply.SessionId;
  info.LogonSessionId = reply.LogonSessionId;
  info.SessionLocal = reply.SessionLocal;
  info.PagingUseCount = reply.PagingUseCount;
  info.AdditionalLetterCount = reply.AdditionalLetterCount;
  for (uint32_t i = 0; i < ENGINE_MAX_ADDITIONAL_LETTERS; ++i) info.AdditionalLetters[i] = reply.AdditionalLetters[i];
  memcpy(Information, &info, sizeof info);
  return 1;
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlQueryVolumeLetter(uint64_t Handle, WCHAR *Letter) {
  if (!Handle || !Letter) return Fail(ERROR_INVALID_PARAMETER);
  VolumeInfoReply reply{};
  if (!QueryVolume(Handle, &reply)) return 0;
  *Letter = static_cast<WCHAR>(reply.DriveLetter);
  return 1;
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetVolumes(uint32_t *Count, uint64_t **Handles) {
  if (!Count || !Handles) return Fail(ERROR_INVALID_PARAMETER);
  std::vector<uint8_t> list;
  if (!ControlWithProbe(IOCTL_ENGINE_LIST_VOLUMES, nullptr, 0, &list)) return 0;
  auto *handles = static_cast<uint64_t *>(NewBlock(list.size()));
  if (!handles) return 0;
  if (!list.empty()) memcpy(handles, list.data(), list.size() / 8 * 8);
  *Count = static_cast<uint32_t>(list.size() / 8);
  *Handles = handles;
  return 1;
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlFindVolumeByLetter(WCHAR Letter, uint64_t *Handle) {
  if (!IsCharAlphaW(Letter)) return Fail(ERROR_INVALID_PARAMETER);
  LibraryLock lock;
  if (!CacheRefresh()) return 0;
  WCHAR letter = RamctlLetterToUpper(Letter);
  for (const auto &[handle, volume] : Cache()) {
    if (volume.letter != letter || !(volume.stateFlags & ENGINE_VOLUME_STATE_HAS_LINK)) continue;
    if (Handle) *Handle = handle;
    return 1;
  }
  return Fail(ERROR_OBJECT_NOT_FOUND);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlIsMemoryVolume(WCHAR Letter) {
  uint64_t handle = 0;
  if (!RamctlFindVolumeByLetter(Letter, &handle)) return 0;
  VolumeInfoReply reply{};
  if (!QueryVolume(handle, &reply)) return 0;
  return (reply.StateFlags & ENGINE_VOLUME_STATE_MEMORY) != 0;
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetDeviceName(uint64_t Handle, LPWSTR *Name) {
  return CountedName(IOCTL_ENGINE_GET_DEVICE_NAME, Handle, Name);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetImageFilePath(uint64_t Handle, LPWSTR *Path) {
  return CountedName(IOCTL_ENGINE_GET_IMAGE_PATH, Handle, Path);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlGetAlgorithmIdByName(LPCWSTR Name, uint32_t *AlgorithmId) {
  if (!Name || !AlgorithmId) return Fail(ERROR_INVALID_PARAMETER);
  if (lstrcmpiW(Name, u"null") == 0) {
    *AlgorithmId = ENGINE_ALGORITHM_NULL;
    return 1;
  }
  if (lstrcmpiW(Name, u"xor") == 0) {
    *AlgorithmId = ENGINE_ALGORITHM_XOR;
    return 1;
  }
  return Fail(ERROR_INVALID_NAME);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlIsFileExists(LPCWSTR Path) {
  if (!Path) return Fail(ERROR_INVALID_PARAMETER);
  DWORD attributes = GetFileAttributesW(Path);
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
  // Something that cannot be examined is there all the same.
  DWORD error = GetLastError();
  return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
}
