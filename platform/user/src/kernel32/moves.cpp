// MoveFileExW and CopyFileW. A move is a rename of the open source to the
// target's full NT path (the I/O manager opens the target's folder and
// refuses another volume); across volumes, MOVEFILE_COPY_ALLOWED copies a
// file and deletes the source. A move that waits for the restart
// (MOVEFILE_DELAY_UNTIL_REBOOT; no target: a delete) is left with the
// session manager in ramvold, which carries it out at the next start.
#include "platform/user/src/ntdll/nt_file.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace bw;
using namespace bw::user;

namespace {

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr uint32_t kQuery = static_cast<uint32_t>(wire::Op::QueryInformation);
constexpr uint32_t kSet = static_cast<uint32_t>(wire::Op::SetInformation);
constexpr DWORD kCopyChunk = 1 << 20;

// Copies an open file's bytes into another; false with the last error set.
bool CopyBytes(HANDLE from, HANDLE to) {
  std::vector<uint8_t> chunk(kCopyChunk);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(from, chunk.data(), kCopyChunk, &got, nullptr)) return false;
    if (got == 0) return true;
    DWORD put = 0;
    if (!WriteFile(to, chunk.data(), got, &put, nullptr)) return false;
    if (put != got) return FailWith(ERROR_DISK_FULL);
  }
}

BOOL Copy(LPCWSTR existing, LPCWSTR target, bool failIfExists) {
  HANDLE source = CreateFileW(existing, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (source == INVALID_HANDLE_VALUE) return FALSE;
  FileBasicInformation basic{};
  NTSTATUS status =
      NtFileRequest(source, kQuery, kFileBasicInformation, &basic, sizeof basic, false, true);
  if (status < 0) {
    CloseQuietly(source);
    return Fail(status);
  }
  // The copy gets the source's attributes (a read-only source gives a
  // read-only copy) and, at the end, its times.
  DWORD attributes = basic.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                             FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
  HANDLE copy = CreateFileW(target, GENERIC_WRITE | DELETE, 0, nullptr,
                            failIfExists ? CREATE_NEW : CREATE_ALWAYS,
                            attributes ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (copy == INVALID_HANDLE_VALUE) {
    CloseQuietly(source);
    return FALSE;
  }
  bool copied = CopyBytes(source, copy);
  if (copied) {
    FileBasicInformation times{};
    times.LastWriteTime = basic.LastWriteTime;
    status = NtFileRequest(copy, kSet, kFileBasicInformation, &times, sizeof times, true, false);
    if (status < 0) copied = Fail(status);
  }
  if (!copied) {
    // No half copy stays behind.
    DWORD error = GetLastError();
    BOOLEAN remove = TRUE;
    NtFileRequest(copy, kSet, kFileDispositionInformation, &remove, sizeof remove, true, false);
    SetLastError(error);
  }
  CloseQuietly(copy);
  CloseQuietly(source);
  if (copied) SetLastError(ERROR_SUCCESS);
  return copied ? TRUE : FALSE;
}

}  // namespace

BOOL WINAPI CopyFileW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, BOOL bFailIfExists) {
  if (!lpExistingFileName || !lpNewFileName) return FailWith(ERROR_INVALID_PARAMETER);
  return Copy(lpExistingFileName, lpNewFileName, bFailIfExists != FALSE);
}

namespace {

BOOL MoveAtRestart(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  // A copy cannot wait for the restart.
  if (!lpExistingFileName || (dwFlags & MOVEFILE_COPY_ALLOWED))
    return FailWith(ERROR_INVALID_PARAMETER);
  std::u16string source, target;
  if (!ToNtPath(lpExistingFileName, &source)) return FALSE;
  if (lpNewFileName && !ToNtPath(lpNewFileName, &target)) return FALSE;
  wire::DelayedMoveRequest request{};
  request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::DelayedMove)};
  request.flags = dwFlags;
  request.sourceBytes = static_cast<uint32_t>(source.size() * 2);
  request.targetBytes = static_cast<uint32_t>(target.size() * 2);
  std::vector<uint8_t> frame(sizeof request + request.sourceBytes + request.targetBytes);
  memcpy(frame.data(), &request, sizeof request);
  memcpy(frame.data() + sizeof request, source.data(), request.sourceBytes);
  memcpy(frame.data() + sizeof request + request.sourceBytes, target.data(), request.targetBytes);
  Connection *connection = ThreadConnection();
  ReplyData reply;
  if (!connection || !connection->Call(frame.data(), frame.size(), &reply)) return FALSE;
  // The manager answers with a Win32 error.
  if (reply.status != 0) return FailWith(static_cast<DWORD>(reply.status));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

}  // namespace

BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags) {
  if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT)
    return MoveAtRestart(lpExistingFileName, lpNewFileName, dwFlags);
  if (!lpExistingFileName || !lpNewFileName) return FailWith(ERROR_INVALID_PARAMETER);
  std::u16string target;
  if (!ToNtPath(lpNewFileName, &target)) return FALSE;
  HANDLE source;
  NTSTATUS status = OpenPath(lpExistingFileName, DELETE | FILE_READ_ATTRIBUTES, kShareAll,
                             kFileOpen, kFileOpenForBackupIntent, &source);
  if (status < 0) return Fail(status);
  std::vector<uint8_t> record(std::max(sizeof(FileRenameInformation),
                                       offsetof(FileRenameInformation, FileName) +
                                           target.size() * 2));
  auto *rename = reinterpret_cast<FileRenameInformation *>(record.data());
  rename->ReplaceIfExists = (dwFlags & MOVEFILE_REPLACE_EXISTING) ? TRUE : FALSE;
  rename->RootDirectory = nullptr;
  rename->FileNameLength = static_cast<ULONG>(target.size() * 2);
  memcpy(rename->FileName, target.data(), target.size() * 2);
  status = NtFileRequest(source, kSet, kFileRenameInformation, record.data(),
                         static_cast<ULONG>(record.size()), true, false);
  if (status == kStatusNotSameDevice && (dwFlags & MOVEFILE_COPY_ALLOWED)) {
    FileStandardInformation standard{};
    NTSTATUS queried = NtFileRequest(source, kQuery, kFileStandardInformation, &standard,
                                     sizeof standard, false, true);
    CloseQuietly(source);
    if (queried < 0) return Fail(queried);
    // Folders are not copied across volumes.
    if (standard.Directory) return Fail(status);
    if (!Copy(lpExistingFileName, lpNewFileName, !(dwFlags & MOVEFILE_REPLACE_EXISTING))) {
      // A move names an existing target as a rename does.
      if (GetLastError() == ERROR_FILE_EXISTS) SetLastError(ERROR_ALREADY_EXISTS);
      return FALSE;
    }
    if (!DeleteFileW(lpExistingFileName)) return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
  }
  CloseQuietly(source);
  if (status < 0) return Fail(status);
  return TRUE;
}
