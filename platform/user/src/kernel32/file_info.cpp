// What a file says of itself: GetFileAttributesExW by name,
// GetFileInformationByHandle, and the times of an open file (GetFileTime,
// SetFileTime), each built on the basic, standard, internal and volume
// information the file system answers, as kernel32 builds them.
#include "platform/user/src/ntdll/nt_file.h"

using namespace bw;
using namespace bw::user;

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr uint32_t kQuery = static_cast<uint32_t>(wire::Op::QueryInformation);
constexpr uint32_t kSet = static_cast<uint32_t>(wire::Op::SetInformation);
constexpr uint32_t kQueryVolume = static_cast<uint32_t>(wire::Op::QueryVolume);

FILETIME ToFiletime(LONGLONG time) {
  auto value = static_cast<uint64_t>(time);
  return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

LONGLONG FromFiletime(const FILETIME *time) {
  if (!time) return 0;  // left as it is
  return static_cast<LONGLONG>((static_cast<uint64_t>(time->dwHighDateTime) << 32) |
                               time->dwLowDateTime);
}

NTSTATUS Basic(HANDLE file, FileBasicInformation *basic) {
  return NtFileRequest(file, kQuery, kFileBasicInformation, basic, sizeof *basic, false, true);
}

NTSTATUS Standard(HANDLE file, FileStandardInformation *standard) {
  return NtFileRequest(file, kQuery, kFileStandardInformation, standard, sizeof *standard, false,
                       true);
}

DWORD AttributesOf(const FileBasicInformation &basic) {
  return basic.FileAttributes ? basic.FileAttributes : FILE_ATTRIBUTE_NORMAL;
}

}  // namespace

BOOL WINAPI GetFileAttributesExW(LPCWSTR lpFileName, GET_FILEEX_INFO_LEVELS fInfoLevelId,
                                 LPVOID lpFileInformation) {
  if (fInfoLevelId != GetFileExInfoStandard || !lpFileInformation)
    return FailWith(ERROR_INVALID_PARAMETER);
  // Attributes alone are no use of the file's data, so this open shares
  // with any other and never meets a sharing violation.
  HANDLE handle;
  NTSTATUS status = OpenPath(lpFileName, FILE_READ_ATTRIBUTES, kShareAll, kFileOpen,
                             kFileOpenForBackupIntent, &handle);
  if (status < 0) return Fail(status);
  FileBasicInformation basic{};
  FileStandardInformation standard{};
  status = Basic(handle, &basic);
  if (status >= 0) status = Standard(handle, &standard);
  CloseQuietly(handle);
  if (status < 0) return Fail(status);
  auto *data = static_cast<WIN32_FILE_ATTRIBUTE_DATA *>(lpFileInformation);
  data->dwFileAttributes = AttributesOf(basic);
  data->ftCreationTime = ToFiletime(basic.CreationTime);
  data->ftLastAccessTime = ToFiletime(basic.LastAccessTime);
  data->ftLastWriteTime = ToFiletime(basic.LastWriteTime);
  // A folder has no size of its own to tell.
  uint64_t size = standard.Directory ? 0 : static_cast<uint64_t>(standard.EndOfFile);
  data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  data->nFileSizeLow = static_cast<DWORD>(size);
  return TRUE;
}

BOOL WINAPI GetFileInformationByHandle(HANDLE hFile,
                                       LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
  if (!lpFileInformation) return FailWith(ERROR_INVALID_PARAMETER);
  FileBasicInformation basic{};
  FileStandardInformation standard{};
  LONGLONG index = 0;
  // The volume record with room for a label of 32 characters.
  union {
    FileFsVolumeInformation record;
    uint8_t bytes[sizeof(FileFsVolumeInformation) + 64];
  } volume{};
  NTSTATUS status = Basic(hFile, &basic);
  if (status >= 0) status = Standard(hFile, &standard);
  if (status >= 0)
    status = NtFileRequest(hFile, kQuery, kFileInternalInformation, &index, sizeof index, false,
                           true);
  if (status >= 0) {
    status = NtFileRequest(hFile, kQueryVolume, kFileFsVolumeInformation, &volume,
                           sizeof volume, false, true);
    // A label too long for the room still brings the serial number.
    if (status == kStatusBufferOverflow) status = 0;
  }
  if (status < 0) return Fail(status);
  BY_HANDLE_FILE_INFORMATION &info = *lpFileInformation;
  info.dwFileAttributes = AttributesOf(basic);
  info.ftCreationTime = ToFiletime(basic.CreationTime);
  info.ftLastAccessTime = ToFiletime(basic.LastAccessTime);
  info.ftLastWriteTime = ToFiletime(basic.LastWriteTime);
  info.dwVolumeSerialNumber = volume.record.VolumeSerialNumber;
  auto size = static_cast<uint64_t>(standard.EndOfFile);
  info.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info.nFileSizeLow = static_cast<DWORD>(size);
  info.nNumberOfLinks = standard.NumberOfLinks;
  info.nFileIndexHigh = static_cast<DWORD>(static_cast<uint64_t>(index) >> 32);
  info.nFileIndexLow = static_cast<DWORD>(index);
  return TRUE;
}

BOOL WINAPI GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                        LPFILETIME lpLastWriteTime) {
  FileBasicInformation basic{};
  NTSTATUS status = Basic(hFile, &basic);
  if (status < 0) return Fail(status);
  if (lpCreationTime) *lpCreationTime = ToFiletime(basic.CreationTime);
  if (lpLastAccessTime) *lpLastAccessTime = ToFiletime(basic.LastAccessTime);
  if (lpLastWriteTime) *lpLastWriteTime = ToFiletime(basic.LastWriteTime);
  return TRUE;
}

BOOL WINAPI SetFileTime(HANDLE hFile, const FILETIME *lpCreationTime,
                        const FILETIME *lpLastAccessTime, const FILETIME *lpLastWriteTime) {
  // Times of 0 and attributes of 0 are left as they are by the file system.
  FileBasicInformation basic{};
  basic.CreationTime = FromFiletime(lpCreationTime);
  basic.LastAccessTime = FromFiletime(lpLastAccessTime);
  basic.LastWriteTime = FromFiletime(lpLastWriteTime);
  NTSTATUS status =
      NtFileRequest(hFile, kSet, kFileBasicInformation, &basic, sizeof basic, true, false);
  if (status < 0) return Fail(status);
  return TRUE;
}
