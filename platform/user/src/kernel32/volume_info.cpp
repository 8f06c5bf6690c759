// What a program learns of a volume through a folder on it:
// GetDiskFreeSpaceExW (FileFsFullSizeInformation), GetVolumeInformationW
// (FileFsVolumeInformation and FileFsAttributeInformation) and
// SetVolumeLabelW (FileFsLabelInformation).
#include "platform/user/src/ntdll/nt_file.h"

#include <cstring>
#include <vector>

using namespace bw;
using namespace bw::user;

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr uint32_t kQueryVolume = static_cast<uint32_t>(wire::Op::QueryVolume);
constexpr uint32_t kSetVolume = static_cast<uint32_t>(wire::Op::SetVolume);

NTSTATUS OpenFolder(LPCWSTR path, ACCESS_MASK access, HANDLE *handle) {
  return OpenPath(path && *path ? path : u".", access, kShareAll, kFileOpen,
                  kFileDirectoryFile | kFileOpenForBackupIntent, handle);
}

// The root of the current directory's drive, for calls given no root.
std::u16string CurrentRoot() { return FullDosPath(u".").substr(0, 3); }

// A name into a caller's buffer of `size` characters with its terminator.
bool CopyName(const WCHAR *name, size_t chars, LPWSTR buffer, DWORD size) {
  if (!buffer) return true;
  if (chars + 1 > size) return false;
  memcpy(buffer, name, chars * 2);
  buffer[chars] = 0;
  return true;
}

}  // namespace

BOOL WINAPI GetDiskFreeSpaceExW(LPCWSTR lpDirectoryName,
                                PULARGE_INTEGER lpFreeBytesAvailableToCaller,
                                PULARGE_INTEGER lpTotalNumberOfBytes,
                                PULARGE_INTEGER lpTotalNumberOfFreeBytes) {
  HANDLE folder;
  NTSTATUS status = OpenFolder(lpDirectoryName, FILE_READ_ATTRIBUTES, &folder);
  if (status < 0) return Fail(status);
  FileFsFullSizeInformation size{};
  status = NtFileRequest(folder, kQueryVolume, kFileFsFullSizeInformation, &size, sizeof size,
                         false, true);
  CloseQuietly(folder);
  if (status < 0) return Fail(status);
  ULONGLONG unit = static_cast<ULONGLONG>(size.SectorsPerAllocationUnit) * size.BytesPerSector;
  if (lpFreeBytesAvailableToCaller)
    lpFreeBytesAvailableToCaller->QuadPart = size.CallerAvailableAllocationUnits * unit;
  if (lpTotalNumberOfBytes) lpTotalNumberOfBytes->QuadPart = size.TotalAllocationUnits * unit;
  if (lpTotalNumberOfFreeBytes)
    lpTotalNumberOfFreeBytes->QuadPart = size.ActualAvailableAllocationUnits * unit;
  return TRUE;
}

BOOL WINAPI GetVolumeInformationW(LPCWSTR lpRootPathName, LPWSTR lpVolumeNameBuffer,
                                  DWORD nVolumeNameSize, LPDWORD lpVolumeSerialNumber,
                                  LPDWORD lpMaximumComponentLength, LPDWORD lpFileSystemFlags,
                                  LPWSTR lpFileSystemNameBuffer, DWORD nFileSystemNameSize) {
  // The root must be named as a folder: "R:\", "\\?\Volume{...}\".
  std::u16string root = lpRootPathName ? lpRootPathName : u"";
  if (!root.empty() && root.back() != u'\\' && root.back() != u'/')
    return FailWith(ERROR_INVALID_NAME);
  HANDLE folder;
  std::u16string path = lpRootPathName ? root : CurrentRoot();
  NTSTATUS status = OpenFolder(path.c_str(), FILE_READ_ATTRIBUTES, &folder);
  if (status < 0) return Fail(status);
  std::vector<uint8_t> volume(sizeof(FileFsVolumeInformation) + 64 * 2);
  std::vector<uint8_t> attributes(sizeof(FileFsAttributeInformation) + 64 * 2);
  status = NtFileRequest(folder, kQueryVolume, kFileFsVolumeInformation, volume.data(),
                         static_cast<ULONG>(volume.size()), false, true);
  if (status >= 0)
    status = NtFileRequest(folder, kQueryVolume, kFileFsAttributeInformation, attributes.data(),
                           static_cast<ULONG>(attributes.size()), false, true);
  CloseQuietly(folder);
  if (status < 0) return Fail(status);
  auto *v = reinterpret_cast<FileFsVolumeInformation *>(volume.data());
  auto *a = reinterpret_cast<FileFsAttributeInformation *>(attributes.data());
  if (!CopyName(v->VolumeLabel, v->VolumeLabelLength / 2, lpVolumeNameBuffer, nVolumeNameSize) ||
      !CopyName(a->FileSystemName, a->FileSystemNameLength / 2, lpFileSystemNameBuffer,
                nFileSystemNameSize))
    return FailWith(ERROR_BAD_LENGTH);
  if (lpVolumeSerialNumber) *lpVolumeSerialNumber = v->VolumeSerialNumber;
  if (lpMaximumComponentLength)
    *lpMaximumComponentLength = static_cast<DWORD>(a->MaximumComponentNameLength);
  if (lpFileSystemFlags) *lpFileSystemFlags = a->FileSystemAttributes;
  return TRUE;
}

BOOL WINAPI SetVolumeLabelW(LPCWSTR lpRootPathName, LPCWSTR lpVolumeName) {
  std::u16string label = lpVolumeName ? lpVolumeName : u"";
  HANDLE folder;
  std::u16string root = lpRootPathName ? lpRootPathName : CurrentRoot();
  NTSTATUS status = OpenFolder(root.c_str(), FILE_WRITE_DATA, &folder);
  if (status < 0) return Fail(status);
  std::vector<uint8_t> record(sizeof(ULONG) + label.size() * 2 + 2);
  ULONG bytes = static_cast<ULONG>(label.size() * 2);
  memcpy(record.data(), &bytes, sizeof bytes);
  memcpy(record.data() + sizeof bytes, label.data(), bytes);
  status = NtFileRequest(folder, kSetVolume, kFileFsLabelInformation, record.data(),
                         static_cast<ULONG>(record.size()), true, false);
  CloseQuietly(folder);
  if (status < 0) return Fail(status);
  return TRUE;
}
