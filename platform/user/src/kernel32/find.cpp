// FindFirstFileW, FindNextFileW, FindClose: a search is an open of the
// pattern's folder and directory queries on it (FileBothDirectoryInformation),
// with the pattern made the file system's expression as kernel32 makes it:
// "*.*" is "*", '?' is DOS_QM, a '.' before '?', '*' or the end is DOS_DOT,
// a '*' before a '.' is DOS_STAR. A pattern that matches nothing fails with
// ERROR_FILE_NOT_FOUND, the end of a search with ERROR_NO_MORE_FILES.
#include "platform/user/src/client/handles.h"
#include "platform/user/src/ntdll/nt_file.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

using namespace bw;
using namespace bw::user;

namespace {

constexpr ULONG kSearchBuffer = 16 << 10;

struct Search {
  HANDLE directory = INVALID_HANDLE_VALUE;
  std::vector<uint8_t> entries = std::vector<uint8_t>(kSearchBuffer);
  size_t next = 0;   // offset of the next entry in `entries`
  bool more = false;  // `entries` holds entries not returned yet
};

std::mutex gSearchLock;
std::map<HANDLE, std::unique_ptr<Search>> gSearches;

std::u16string Expression(std::u16string pattern) {
  if (pattern == u"*.*") return u"*";
  for (size_t i = 0; i < pattern.size(); ++i) {
    char16_t next = i + 1 < pattern.size() ? pattern[i + 1] : 0;
    if (pattern[i] == u'?')
      pattern[i] = u'>';
    else if (pattern[i] == u'.' && (next == u'?' || next == u'*' || next == 0))
      pattern[i] = u'"';
    else if (pattern[i] == u'*' && next == u'.')
      pattern[i] = u'<';
  }
  return pattern;
}

void SplitTime(LONGLONG time, FILETIME *out) {
  out->dwLowDateTime = static_cast<DWORD>(time);
  out->dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(time) >> 32);
}

void Fill(const FileBothDirInformation &entry, WIN32_FIND_DATAW *data) {
  memset(data, 0, sizeof *data);
  data->dwFileAttributes = entry.FileAttributes ? entry.FileAttributes : FILE_ATTRIBUTE_NORMAL;
  SplitTime(entry.CreationTime, &data->ftCreationTime);
  SplitTime(entry.LastAccessTime, &data->ftLastAccessTime);
  SplitTime(entry.LastWriteTime, &data->ftLastWriteTime);
  data->nFileSizeHigh = static_cast<DWORD>(static_cast<ULONGLONG>(entry.EndOfFile) >> 32);
  data->nFileSizeLow = static_cast<DWORD>(entry.EndOfFile);
  size_t chars = std::min<size_t>(entry.FileNameLength / 2, MAX_PATH - 1);
  memcpy(data->cFileName, entry.FileName, chars * 2);
  size_t shortChars = std::min<size_t>(static_cast<unsigned char>(entry.ShortNameLength) / 2, 13);
  memcpy(data->cAlternateFileName, entry.ShortName, shortChars * 2);
}

// The next entry of the search: from what the last query returned, else
// from a new query. kStatusNoMoreFiles at the end.
NTSTATUS Next(Search &search, WIN32_FIND_DATAW *data, const std::u16string *expression) {
  if (!search.more) {
    uint64_t returned = 0;
    NTSTATUS status = NtQueryDirectory(search.directory, search.entries.data(), kSearchBuffer,
                                       kFileBothDirectoryInformation, false, expression, &returned);
    if (IsError(status) || status == kStatusNoMoreFiles) return status;
    search.next = 0;
    search.more = returned > 0;
    if (!search.more) return kStatusNoMoreFiles;
  }
  auto *entry = reinterpret_cast<const FileBothDirInformation *>(search.entries.data() + search.next);
  Fill(*entry, data);
  if (entry->NextEntryOffset)
    search.next += entry->NextEntryOffset;
  else
    search.more = false;
  return 0;
}

}  // namespace

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData) {
  if (!lpFileName || !*lpFileName || !lpFindFileData) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string full(lpFileName);
  for (auto &c : full)
    if (c == u'/') c = u'\\';
  size_t slash = full.rfind(u'\\');
  std::u16string folder = slash == std::u16string::npos ? u"." : full.substr(0, slash + 1);
  std::u16string pattern = slash == std::u16string::npos ? full : full.substr(slash + 1);
  if (folder.size() == 2 && folder[1] == u':') folder += u".";  // "R:name": R:'s current folder
  if (pattern.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  auto search = std::make_unique<Search>();
  NTSTATUS status = OpenPath(folder.c_str(), FILE_LIST_DIRECTORY,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kFileOpen,
                             kFileDirectoryFile | kFileOpenForBackupIntent, &search->directory);
  if (status < 0) {
    // The folder of the pattern is a path: its last name missing is a
    // missing path, not a missing file.
    if (status == kStatusObjectNameNotFound) SetLastError(ERROR_PATH_NOT_FOUND);
    else Fail(status);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string expression = Expression(pattern);
  status = Next(*search, lpFindFileData, &expression);
  if (status != 0) {
    CloseQuietly(search->directory);
    if (status == kStatusNoSuchFile || status == kStatusNoMoreFiles) SetLastError(ERROR_FILE_NOT_FOUND);
    else Fail(status);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = NewLocalHandle(HandleKind::Find);
  std::lock_guard<std::mutex> guard(gSearchLock);
  gSearches[handle] = std::move(search);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData) {
  if (!lpFindFileData) return FailWith(ERROR_INVALID_PARAMETER);
  Search *search = nullptr;
  {
    std::lock_guard<std::mutex> guard(gSearchLock);
    auto it = gSearches.find(hFindFile);
    if (it != gSearches.end()) search = it->second.get();
  }
  if (!search) return FailWith(ERROR_INVALID_HANDLE);
  NTSTATUS status = Next(*search, lpFindFileData, nullptr);
  if (status == kStatusNoMoreFiles) return FailWith(ERROR_NO_MORE_FILES);
  if (status != 0) return Fail(status);
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE hFindFile) {
  std::unique_ptr<Search> search;
  {
    std::lock_guard<std::mutex> guard(gSearchLock);
    auto it = gSearches.find(hFindFile);
    if (it == gSearches.end()) return FailWith(ERROR_INVALID_HANDLE);
    search = std::move(it->second);
    gSearches.erase(it);
  }
  CloseAnyHandle(hFindFile);
  CloseQuietly(search->directory);
  return TRUE;
}
