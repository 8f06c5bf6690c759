// ShellExecuteExW and ShellExecuteW: a program becomes a host process, a
// folder, document or URL goes to the host's desktop opener. A started
// process is left to run on its own (the system reaps it); the call
// returns once it has started, which is all SEE_MASK_WAITFORINPUTIDLE can
// mean without windows to become idle.
#include <shellapi.h>

#include "platform/user/src/client/host_text.h"
#include "platform/user/src/shell32/host_paths.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char **environ;

using namespace bw;
using namespace bw::shell32;

namespace {

char16_t Lower(char16_t c) { return c >= u'A' && c <= u'Z' ? c + 32 : c; }

bool SameText(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Lower(a[i]) != Lower(b[i])) return false;
  return true;
}

// The parameters as a Windows program's C runtime splits its command line:
// white space separates, double quotes group, 2n backslashes before a quote
// are n and the quote counts, 2n+1 are n and a literal quote, and "" inside
// quotes is a literal quote.
std::vector<std::u16string> SplitParameters(std::u16string_view text) {
  std::vector<std::u16string> words;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == u' ' || text[i] == u'\t')) ++i;
    if (i >= text.size()) break;
    std::u16string word;
    bool quoted = false;
    while (i < text.size() && (quoted || (text[i] != u' ' && text[i] != u'\t'))) {
      if (text[i] == u'\\') {
        size_t count = 0;
        while (i < text.size() && text[i] == u'\\') ++count, ++i;
        if (i < text.size() && text[i] == u'"') {
          word.append(count / 2, u'\\');
          if (count % 2) {
            word += u'"';
            ++i;
          }
        } else {
          word.append(count, u'\\');
        }
      } else if (text[i] == u'"') {
        if (quoted && i + 1 < text.size() && text[i + 1] == u'"') {
          word += u'"';
          i += 2;
        } else {
          quoted = !quoted;
          ++i;
        }
      } else {
        word += text[i++];
      }
    }
    words.push_back(word);
  }
  return words;
}

std::u16string Expand(std::u16string_view text) {
  std::u16string source(text);
  DWORD needed = ExpandEnvironmentStringsW(source.c_str(), nullptr, 0);
  if (!needed) return source;
  std::u16string out(needed, u'\0');
  ExpandEnvironmentStringsW(source.c_str(), out.data(), needed);
  out.resize(needed - 1);
  return out;
}

std::u16string Unquoted(std::u16string_view text) {
  while (!text.empty() && (text.front() == u' ')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == u' ')) text.remove_suffix(1);
  if (text.size() >= 2 && text.front() == u'"' && text.back() == u'"') text = text.substr(1, text.size() - 2);
  return std::u16string(text);
}

bool IsUrl(std::u16string_view file) {
  size_t colon = file.find(u':');
  // "C:" is a drive; a scheme has two letters or more.
  if (colon == std::u16string_view::npos || colon < 2) return false;
  for (size_t i = 0; i < colon; ++i) {
    char16_t c = file[i];
    bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (i && ((c >= u'0' && c <= u'9') || c == u'+' || c == u'-' || c == u'.'));
    if (!ok) return false;
  }
  return true;
}

bool Exists(const std::string &path, struct stat *st) { return stat(path.c_str(), st) == 0; }

// Windows runs these as programs whatever the file's bits say.
bool IsProgramName(std::u16string_view file) {
  size_t dot = file.rfind(u'.');
  if (dot == std::u16string_view::npos) return false;
  std::u16string_view extension = file.substr(dot);
  for (auto known : {u".exe", u".com", u".bat", u".cmd"})
    if (SameText(extension, known)) return true;
  return false;
}

// A path no host folder shows (a RAM disk without lettermount): whether it
// exists, asked of the system, decides between a missing file and one the
// host cannot reach.
DWORD UnreachableError(const std::u16string &file) {
  if (GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES) return ERROR_ACCESS_DENIED;
  DWORD error = GetLastError();
  return error == ERROR_PATH_NOT_FOUND ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND;
}

// The folders a bare program name is looked for in, as Windows looks:
// the given folder, the current one, the system folders.
std::vector<std::u16string> SearchFolders(LPCWSTR directory) {
  std::vector<std::u16string> folders;
  if (directory && *directory) folders.push_back(directory);
  WCHAR current[MAX_PATH];
  DWORD length = GetCurrentDirectoryW(MAX_PATH, current);
  if (length && length < MAX_PATH) folders.push_back(current);
  folders.push_back(u"C:\\Windows\\System32");
  folders.push_back(u"C:\\Windows");
  return folders;
}

bool HasExtension(std::u16string_view name) {
  size_t dot = name.rfind(u'.');
  return dot != std::u16string_view::npos && name.find_first_of(u"\\/", dot) == std::u16string_view::npos;
}

// The host file of `file`: a full path as it is, a bare name looked for in
// the search folders (with ".exe" added when it has no extension).
bool Locate(const std::u16string &file, LPCWSTR directory, std::string *host, DWORD *error) {
  bool full = file.size() >= 2 && file[1] == u':';
  if (full || file.substr(0, 4) == u"\\\\?\\") return HostPathOf(file, host, error);
  std::vector<std::u16string> names = {file};
  if (!HasExtension(file)) names.push_back(file + u".exe");
  for (const std::u16string &folder : SearchFolders(directory)) {
    for (const std::u16string &name : names) {
      std::u16string candidate = folder;
      if (!candidate.empty() && candidate.back() != u'\\') candidate += u'\\';
      candidate += name;
      std::string path;
      DWORD unused = 0;
      struct stat st;
      if (HostPathOf(candidate, &path, &unused) && Exists(path, &st)) {
        *host = path;
        return true;
      }
    }
  }
  *error = ERROR_FILE_NOT_FOUND;
  return false;
}

// Starts `argv` in `folder` (empty: the caller's) as a process of its own
// that outlives the caller; the errno of a failed start otherwise.
int Spawn(const std::vector<std::string> &argv, const std::string &folder) {
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return errno;
  pid_t child = fork();
  if (child < 0) {
    int e = errno;
    close(report[0]);
    close(report[1]);
    return e;
  }
  if (child == 0) {
    // The intermediate child ends at once, so that the program is the
    // system's to reap and never a zombie of the caller.
    close(report[0]);
    setsid();
    pid_t program = fork();
    if (program != 0) _exit(program < 0 ? 1 : 0);
    if (!folder.empty() && chdir(folder.c_str()) != 0) {
      int e = errno;
      (void)!write(report[1], &e, sizeof e);
      _exit(127);
    }
    execve(args[0], args.data(), environ);
    int e = errno;
    (void)!write(report[1], &e, sizeof e);
    _exit(127);
  }
  close(report[1]);
  int status = 0;
  waitpid(child, &status, 0);
  int e = 0;
  ssize_t got;
  do {
    got = read(report[0], &e, sizeof e);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got == static_cast<ssize_t>(sizeof e)) return e;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return EAGAIN;
  return 0;
}

DWORD ErrorOfErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
      return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return ERROR_ACCESS_DENIED;
    case ENOEXEC:
      return ERROR_BAD_FORMAT;
    case ENOMEM:
    case EAGAIN:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_GEN_FAILURE;
  }
}

// The host's desktop opener, when the host has one.
std::string Opener() {
  const char *path = getenv("PATH");
  std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t i = 0;
  while (i <= folders.size()) {
    size_t j = folders.find(':', i);
    if (j == std::string::npos) j = folders.size();
    std::string candidate = folders.substr(i, j - i) + "/xdg-open";
    if (j > i && access(candidate.c_str(), X_OK) == 0) return candidate;
    i = j + 1;
  }
  return {};
}

HINSTANCE InstanceOf(DWORD error) {
  ULONG_PTR code;
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      code = SE_ERR_FNF;
      break;
    case ERROR_PATH_NOT_FOUND:
      code = SE_ERR_PNF;
      break;
    case ERROR_ACCESS_DENIED:
      code = SE_ERR_ACCESSDENIED;
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
      code = SE_ERR_OOM;
      break;
    case ERROR_NO_ASSOCIATION:
      code = SE_ERR_NOASSOC;
      break;
    case ERROR_BAD_FORMAT:
      code = 11;
      break;
    default:
      code = SE_ERR_ACCESSDENIED;
  }
  return reinterpret_cast<HINSTANCE>(code);
}

BOOL Fail(SHELLEXECUTEINFOW *info, DWORD error) {
  info->hInstApp = InstanceOf(error);
  SetLastError(error);
  return FALSE;
}

BOOL Started(SHELLEXECUTEINFOW *info) {
  info->hInstApp = reinterpret_cast<HINSTANCE>(static_cast<ULONG_PTR>(42));
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL OpenWithOpener(SHELLEXECUTEINFOW *info, const std::string &target) {
  std::string opener = Opener();
  if (opener.empty()) return Fail(info, ERROR_NO_ASSOCIATION);
  int e = Spawn({opener, target}, {});
  return e ? Fail(info, ErrorOfErrno(e)) : Started(info);
}

}  // namespace

BOOL WINAPI ShellExecuteExW(SHELLEXECUTEINFOW *pExecInfo) {
  if (!pExecInfo || pExecInfo->cbSize != sizeof(SHELLEXECUTEINFOW)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  SHELLEXECUTEINFOW *info = pExecInfo;
  info->hProcess = nullptr;
  if (!info->lpFile || !*info->lpFile) return Fail(info, ERROR_FILE_NOT_FOUND);
  std::u16string verb = info->lpVerb ? info->lpVerb : u"";
  bool open = verb.empty() || SameText(verb, u"open") || SameText(verb, u"runas") ||
              SameText(verb, u"explore");
  if (!open) return Fail(info, ERROR_NO_ASSOCIATION);
  bool substitute = (info->fMask & SEE_MASK_DOENVSUBST) != 0;
  std::u16string file = Unquoted(substitute ? Expand(info->lpFile) : std::u16string(info->lpFile));
  std::u16string parameters = info->lpParameters ? info->lpParameters : u"";
  if (substitute) parameters = Expand(parameters);
  if (IsUrl(file)) return OpenWithOpener(info, user::ToHost(file));

  std::string host;
  DWORD error = ERROR_FILE_NOT_FOUND;
  if (!Locate(file, info->lpDirectory, &host, &error)) {
    if (error == ERROR_ACCESS_DENIED) error = UnreachableError(file);
    return Fail(info, error);
  }
  struct stat st;
  if (!Exists(host, &st)) {
    // Windows tells a missing file in an existing folder from a missing folder.
    std::string parent = host.substr(0, host.rfind('/'));
    struct stat folder;
    bool inFolder = parent.empty() || (Exists(parent, &folder) && S_ISDIR(folder.st_mode));
    return Fail(info, inFolder ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
  }
  bool executable = !S_ISDIR(st.st_mode) && access(host.c_str(), X_OK) == 0;
  // A program the host may not run (a RAM disk's files carry no execute
  // bits in lettermount's folder) is refused, not handed to the opener.
  if (!executable && !S_ISDIR(st.st_mode) && IsProgramName(file)) return Fail(info, ERROR_ACCESS_DENIED);
  if (!executable) {
    // A folder or a document: what the desktop does with it. Parameters
    // have no meaning for either.
    return OpenWithOpener(info, host);
  }
  std::vector<std::string> argv = {host};
  for (const std::u16string &word : SplitParameters(parameters)) argv.push_back(user::ToHost(word));
  std::string folder;
  if (info->lpDirectory && *info->lpDirectory) {
    DWORD folderError = 0;
    if (!HostPathOf(info->lpDirectory, &folder, &folderError)) return Fail(info, folderError);
  }
  int e = Spawn(argv, folder);
  return e ? Fail(info, ErrorOfErrno(e)) : Started(info);
}

HINSTANCE WINAPI ShellExecuteW(HWND hwnd, LPCWSTR lpOperation, LPCWSTR lpFile, LPCWSTR lpParameters,
                               LPCWSTR lpDirectory, int nShowCmd) {
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.hwnd = hwnd;
  info.lpVerb = lpOperation;
  info.lpFile = lpFile;
  info.lpParameters = lpParameters;
  info.lpDirectory = lpDirectory;
  info.nShow = nShowCmd;
  ShellExecuteExW(&info);
  return info.hInstApp;
}
