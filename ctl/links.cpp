// Drive letters: making and removing a volume's letters, with the check
// that a letter is free, the caller's logon session for session-local
// links, and the broadcast that tells the desktop's programs.
#include "ctl/ramctl_internal.h"

#include <dbt.h>

namespace ramctl {

namespace {

bool IsLetter(WCHAR letter) { return IsCharAlphaW(letter) != 0; }

WCHAR Upper(WCHAR letter) {
  return static_cast<WCHAR>(reinterpret_cast<ULONG_PTR>(
      CharUpperW(reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(letter)))));
}

}  // namespace

bool CallerLogonSession(uint64_t *id) {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
    if (GetLastError() != ERROR_NO_TOKEN) return false;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  }
  TOKEN_STATISTICS statistics{};
  DWORD length = 0;
  bool ok = GetTokenInformation(token, TokenStatistics, &statistics, sizeof statistics, &length);
  {
    KeepError keep;
    CloseHandle(token);
  }
  if (!ok) return false;
  *id = (static_cast<uint64_t>(static_cast<uint32_t>(statistics.AuthenticationId.HighPart)) << 32) |
        statistics.AuthenticationId.LowPart;
  return true;
}

bool BroadcastLetter(WCHAR letter, bool arrived) {
  WCHAR upper = Upper(letter);
  // The unit mask has a bit for each of A to Z only.
  if (upper < u'A' || upper > u'Z') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  DEV_BROADCAST_VOLUME volume{};
  volume.dbcv_size = sizeof volume;
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 1u << (upper - u'A');
  volume.dbcv_flags = 0;
  constexpr DWORD kFlags = BSF_NOHANG | BSF_POSTMESSAGE | BSF_FORCEIFHUNG | BSF_NOTIMEOUTIFNOTHUNG;
  WPARAM event = arrived ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
  DWORD recipients = BSM_ALLDESKTOPS | BSM_APPLICATIONS;
  if (BroadcastSystemMessageW(kFlags, &recipients, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(&volume)) > 0)
    return true;
  recipients = BSM_APPLICATIONS;
  return BroadcastSystemMessageW(kFlags, &recipients, WM_DEVICECHANGE, event,
                                 reinterpret_cast<LPARAM>(&volume)) > 0;
}

}  // namespace ramctl

using namespace ramctl;

RAMCTL_API RAMCTL_BOOL WINAPI RamctlIsLetterUsed(WCHAR Letter) {
  if (!IsLetter(Letter)) return 0;
  WCHAR root[] = {Letter, u':', u'\\', 0};
  UINT type = GetDriveTypeW(root);
  return type != DRIVE_UNKNOWN && type != DRIVE_NO_ROOT_DIR;
}

RAMCTL_API WCHAR WINAPI RamctlLetterToUpper(WCHAR Letter) { return Upper(Letter); }

RAMCTL_API RAMCTL_BOOL WINAPI RamctlCreateLinkEx(uint64_t Handle, uint32_t LinkFlags, int32_t Partition,
                                                 WCHAR Letter, const WCHAR *AdditionalLetters, uint8_t Count,
                                                 uint8_t SessionLocal, uint8_t NoBroadcast) {
  if (!Handle || !IsLetter(Letter) || (!AdditionalLetters && Count) || Count > ENGINE_MAX_ADDITIONAL_LETTERS)
    return Fail(ERROR_INVALID_PARAMETER);
  WCHAR letter = Upper(Letter);
  {
    LibraryLock lock;
    if (!CacheFind(Handle)) return 0;
  }
  if (!(LinkFlags & 1)) {
    bool used = RamctlIsLetterUsed(letter);
    for (uint8_t i = 0; i < Count && !used; ++i) used = RamctlIsLetterUsed(AdditionalLetters[i]);
    if (used) return Fail(ERROR_ALREADY_ASSIGNED);
  }
  uint64_t logonId = 0;
  if (!CallerLogonSession(&logonId)) return 0;
  LinkRequest request{};
  request.DriveLetter = letter;
  request.LogonSessionId = logonId;
  request.SessionLocal = SessionLocal ? 1 : 0;
  request.Operation = ENGINE_LINK_CREATE;
  request.VolumeHandle = Handle;
  request.PartitionSelector = Partition;
  request.AdditionalLetterCount = Count;
  for (uint8_t i = 0; i < Count; ++i) request.AdditionalLetters[i] = Upper(AdditionalLetters[i]);
  if (!Control(IOCTL_ENGINE_LINK, &request, sizeof request, nullptr, 0, nullptr)) return 0;
  bool ok;
  {
    // The link is there now. Marking it at once keeps a deletion that
    // comes before the engine's notification (the undoing below, an
    // unmount right after) from taking it for absent.
    LibraryLock lock;
    CachedVolume *volume = CacheFind(Handle);
    ok = volume != nullptr;
    if (volume) {
      volume->stateFlags |= ENGINE_VOLUME_STATE_HAS_LINK;
      volume->letter = letter;
    }
  }
  ok = ok && (NoBroadcast || BroadcastLetter(letter, true));
  if (ok) {
    DWORD sessionId = 0;
    ok = !SessionLocal || ProcessIdToSessionId(GetCurrentProcessId(), &sessionId);
    LibraryLock lock;
    CachedVolume *volume = ok ? CacheFind(Handle) : nullptr;
    if (volume) {
      volume->sessionLocal = SessionLocal != 0;
      if (SessionLocal) {
        volume->sessionId = sessionId;
        volume->logonSessionId = logonId;
      }
    }
    ok = volume != nullptr;
  }
  if (ok) return 1;
  KeepError keep;
  RamctlDeleteLink(Handle, Partition);
  return 0;
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlCreateLink(uint64_t Handle, uint32_t LinkFlags, WCHAR Letter,
                                               uint8_t SessionLocal) {
  return RamctlCreateLinkEx(Handle, LinkFlags, ENGINE_ALL_PARTITIONS, Letter, nullptr, 0, SessionLocal, 0);
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlDeleteLink(uint64_t Handle, int32_t Partition) {
  if (!Handle) return Fail(ERROR_INVALID_PARAMETER);
  LibraryLock lock;
  CachedVolume *volume = CacheFind(Handle);
  if (!volume) return 0;
  if (!(volume->stateFlags & ENGINE_VOLUME_STATE_HAS_LINK)) return 1;
  WCHAR letter = volume->letter;
  LinkRequest request{};
  request.Operation = ENGINE_LINK_DELETE;
  request.VolumeHandle = Handle;
  request.PartitionSelector = Partition;
  if (!Control(IOCTL_ENGINE_LINK, &request, sizeof request, nullptr, 0, nullptr)) return 0;
  if (letter && !BroadcastLetter(letter, false)) return 0;
  // The volume may have gone meanwhile (its removal runs with the letter's).
  auto still = Cache().find(Handle);
  if (still != Cache().end()) {
    still->second.stateFlags &= ~ENGINE_VOLUME_STATE_HAS_LINK;
    still->second.letter = 0;
  }
  return 1;
}

RAMCTL_API RAMCTL_BOOL WINAPI RamctlInvalidateBySession(void) {
  uint64_t logonId = 0;
  if (!CallerLogonSession(&logonId)) return 0;
  LinkRequest request{};
  request.LogonSessionId = logonId;
  request.SessionLocal = 1;
  request.Operation = ENGINE_LINK_DROP_SESSION;
  return Control(IOCTL_ENGINE_LINK, &request, sizeof request, nullptr, 0, nullptr);
}
