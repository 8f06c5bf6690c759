// Folders and names: CreateDirectoryW, RemoveDirectoryW, DeleteFileW and
// the attributes by name (GetFileAttributesW, SetFileAttributesW), each an
// open of the name and one request on it, as kernel32 makes them.
#include "platform/user/src/ntdll/nt_file.h"

using namespace bw;
using namespace bw::user;

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr uint32_t kQuery = static_cast<uint32_t>(wire::Op::QueryInformation);
constexpr uint32_t kSet = static_cast<uint32_t>(wire::Op::SetInformation);

// Opens `path` for deletion and marks it so; it goes with the last handle.
BOOL DeleteByName(LPCWSTR path, ULONG options) {
  HANDLE handle;
  NTSTATUS status = OpenPath(path, DELETE | FILE_READ_ATTRIBUTES, kShareAll, kFileOpen,
                             options | kFileOpenForBackupIntent, &handle);
  if (status < 0) return Fail(status);
  BOOLEAN remove = TRUE;
  status = NtFileRequest(handle, kSet, kFileDispositionInformation, &remove, sizeof remove, true,
                         false);
  CloseQuietly(handle);
  if (status < 0) return Fail(status);
  return TRUE;
}

}  // namespace

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
  std::u16string path;
  if (!ToNtPath(lpPathName, &path)) return FALSE;
  HANDLE handle;
  NTSTATUS status = NtOpen(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           kFileCreate,
                           kFileDirectoryFile | kFileSynchronousIoNonalert |
                               kFileOpenForBackupIntent,
                           FILE_ATTRIBUTE_NORMAL, &handle);
  if (status < 0) return Fail(status);
  CloseQuietly(handle);
  return TRUE;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName) {
  return DeleteByName(lpPathName, kFileDirectoryFile);
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName) {
  return DeleteByName(lpFileName, kFileNonDirectoryFile);
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
  HANDLE handle;
  NTSTATUS status = OpenPath(lpFileName, FILE_READ_ATTRIBUTES, kShareAll, kFileOpen,
                             kFileOpenForBackupIntent, &handle);
  if (status < 0) {
    Fail(status);
    return INVALID_FILE_ATTRIBUTES;
  }
  FileBasicInformation basic{};
  status = NtFileRequest(handle, kQuery, kFileBasicInformation, &basic, sizeof basic, false, true);
  CloseQuietly(handle);
  if (status < 0) {
    Fail(status);
    return INVALID_FILE_ATTRIBUTES;
  }
  return basic.FileAttributes ? basic.FileAttributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes) {
  HANDLE handle;
  NTSTATUS status = OpenPath(lpFileName, FILE_WRITE_ATTRIBUTES, kShareAll, kFileOpen,
                             kFileOpenForBackupIntent, &handle);
  if (status < 0) return Fail(status);
  // Times of 0 stay as they are; attributes of 0 would too, so "none" is
  // FILE_ATTRIBUTE_NORMAL.
  FileBasicInformation basic{};
  basic.FileAttributes = dwFileAttributes ? dwFileAttributes : FILE_ATTRIBUTE_NORMAL;
  status = NtFileRequest(handle, kSet, kFileBasicInformation, &basic, sizeof basic, true, false);
  CloseQuietly(handle);
  if (status < 0) return Fail(status);
  return TRUE;
}
