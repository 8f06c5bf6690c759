// Drive letters as a program sees them: QueryDosDeviceW, GetLogicalDrives
// and GetDriveTypeW. The daemon resolves names as the calling process's
// logon session sees them: its own links first, then the global ones.
#include "platform/user/src/client/answer.h"

#include <string>

using namespace bw;
using namespace bw::user;

namespace {

constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
constexpr uint32_t kFileFsDeviceInformation = 4;
// Device types and characteristics as the kernel names them.
constexpr DWORD kDeviceCdRom = 0x02;
constexpr DWORD kDeviceCdRomFileSystem = 0x03;
constexpr DWORD kDeviceNetwork = 0x12;
constexpr DWORD kDeviceNetworkFileSystem = 0x14;
constexpr DWORD kDeviceVirtualDisk = 0x24;
constexpr DWORD kDeviceDvd = 0x33;
constexpr DWORD kRemovableMedia = 0x01;
constexpr DWORD kRemoteDevice = 0x10;

// The answer for `name` (empty: every name) as UTF-16 units; ERROR_... in
// the last error when it fails.
bool Ask(std::u16string_view name, uint32_t capacityUnits, NTSTATUS *status,
         std::u16string *answer, uint64_t *neededBytes) {
  wire::DosDeviceRequest request{};
  request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::DosDevice)};
  request.nameBytes = static_cast<uint32_t>(name.size() * 2);
  std::vector<uint8_t> tail(name.size() * 2);
  if (!name.empty()) memcpy(tail.data(), name.data(), tail.size());
  ReplyData reply;
  std::vector<uint8_t> bytes;
  if (!AskForAnswer(request, tail, capacityUnits * 2, &reply, &bytes)) return false;
  *status = reply.status;
  *neededBytes = reply.information;
  answer->assign(bytes.size() / 2, u'\0');
  if (!bytes.empty()) memcpy(answer->data(), bytes.data(), answer->size() * 2);
  return true;
}

// Every name visible to the process, as one multi-string; false with the
// last error set.
bool AllNames(std::u16string *names) {
  uint32_t units = 4096;
  for (;;) {
    NTSTATUS status;
    uint64_t needed;
    if (!Ask(u"", units, &status, names, &needed)) return false;
    if (status == kStatusBufferTooSmall) {
      units = static_cast<uint32_t>(needed / 2);  // names came meanwhile
      continue;
    }
    if (status < 0) {
      SetLastError(RtlNtStatusToDosError(status));
      return false;
    }
    return true;
  }
}

// "R:" of "R:", "R:\" (either case); 0 for anything else.
char16_t DriveOf(LPCWSTR root) {
  if (!root) return 0;
  std::u16string_view path(root);
  if (path.size() < 2 || path.size() > 3 || path[1] != u':') return 0;
  if (path.size() == 3 && path[2] != u'\\') return 0;
  char16_t letter = path[0];
  if (letter >= u'a' && letter <= u'z') letter = static_cast<char16_t>(letter - 32);
  return letter >= u'A' && letter <= u'Z' ? letter : 0;
}

}  // namespace

DWORD WINAPI QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax) {
  if (ucchMax && !lpTargetPath) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string answer;
  NTSTATUS status;
  uint64_t needed;
  std::u16string_view name = lpDeviceName ? std::u16string_view(lpDeviceName) : u"";
  if (lpDeviceName && name.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }
  if (!Ask(name, ucchMax, &status, &answer, &needed)) return 0;
  if (status == kStatusBufferTooSmall) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (status < 0) {
    SetLastError(RtlNtStatusToDosError(status));
    return 0;
  }
  memcpy(lpTargetPath, answer.data(), answer.size() * 2);
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(answer.size());
}

DWORD WINAPI GetLogicalDrives(VOID) {
  std::u16string names;
  if (!AllNames(&names)) return 0;
  DWORD drives = 0;
  for (size_t at = 0; at < names.size();) {
    size_t end = names.find(u'\0', at);
    if (end == std::u16string::npos || end == at) break;
    if (end - at == 2) {
      char16_t drive[] = {names[at], names[at + 1], 0};
      if (char16_t letter = DriveOf(drive)) drives |= DWORD{1} << (letter - u'A');
    }
    at = end + 1;
  }
  SetLastError(ERROR_SUCCESS);
  return drives;
}

UINT WINAPI GetDriveTypeW(LPCWSTR lpRootPathName) {
  DWORD error = GetLastError();
  char16_t letter = DriveOf(lpRootPathName);
  if (!letter) return DRIVE_NO_ROOT_DIR;
  char16_t device[] = {u'\\', u'\\', u'.', u'\\', letter, u':', 0};
  // The device behind the letter, opened for nothing but the question;
  // what it is the I/O manager says from the device object.
  HANDLE handle = CreateFileW(device, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    // A device that refuses the open is there all the same: the host
    // folders behind C: and Z: admit no open of the volume itself.
    bool refused = GetLastError() == ERROR_ACCESS_DENIED || GetLastError() == ERROR_SHARING_VIOLATION;
    SetLastError(error);
    return refused ? DRIVE_FIXED : DRIVE_NO_ROOT_DIR;
  }
  Connection *connection = ThreadConnection();
  struct {
    DWORD deviceType;
    DWORD characteristics;
  } info{};
  UINT type = DRIVE_UNKNOWN;
  wire::QueryVolumeRequest request{};
  request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::QueryVolume)};
  request.handle = reinterpret_cast<uint64_t>(handle);
  request.infoClass = kFileFsDeviceInformation;
  ReplyData reply;
  std::vector<uint8_t> answer;
  if (connection && AskForAnswer(request, {}, sizeof info, &reply, &answer) && reply.status >= 0 &&
      answer.size() >= sizeof info) {
    memcpy(&info, answer.data(), sizeof info);
    if ((info.characteristics & kRemoteDevice) || info.deviceType == kDeviceNetwork ||
        info.deviceType == kDeviceNetworkFileSystem)
      type = DRIVE_REMOTE;
    else if (info.deviceType == kDeviceCdRom || info.deviceType == kDeviceCdRomFileSystem ||
             info.deviceType == kDeviceDvd)
      type = DRIVE_CDROM;
    else if (info.deviceType == kDeviceVirtualDisk)
      type = DRIVE_RAMDISK;
    else if (info.characteristics & kRemovableMedia)
      type = DRIVE_REMOVABLE;
    else
      type = DRIVE_FIXED;
  }
  CloseHandle(handle);
  SetLastError(error);
  return type;
}
