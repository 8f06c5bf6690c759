// The process's environment variables, kept in the host process's own
// environment so that the host programs it starts inherit them. Names are
// matched without regard to case, as Windows does. A process here also sees
// the variables every Windows process has — WINDIR and SystemRoot
// (C:\Windows), SystemDrive (C:) — unless the host environment sets them.
#include <windows.h>

#include "platform/user/src/client/host_text.h"

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

extern char **environ;

using namespace bw::user;

namespace {

std::mutex gEnvironmentLock;

char Upper(char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; }

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

// The host variable whose name matches, the exact spelling first.
const char *FindHostName(const std::string &name, std::string *spelled) {
  if (const char *value = getenv(name.c_str())) {
    *spelled = name;
    return value;
  }
  for (char **entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    size_t equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) continue;
    if (SameName(text.substr(0, equals), name)) {
      *spelled = std::string(text.substr(0, equals));
      return *entry + equals + 1;
    }
  }
  return nullptr;
}

std::optional<std::u16string> Lookup(std::u16string_view name) {
  std::string host = ToHost(name), spelled;
  std::lock_guard<std::mutex> guard(gEnvironmentLock);
  if (const char *value = FindHostName(host, &spelled)) return FromHost(value);
  if (SameName(host, "WINDIR") || SameName(host, "SystemRoot")) return std::u16string(u"C:\\Windows");
  if (SameName(host, "SystemDrive")) return std::u16string(u"C:");
  return std::nullopt;
}

bool ValidName(std::u16string_view name) {
  // An empty name and one with "=" past its first character are refused.
  return !name.empty() && name.find(u'=', 1) == std::u16string_view::npos;
}

}  // namespace

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
  if (!lpName || !ValidName(lpName)) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  std::optional<std::u16string> value = Lookup(lpName);
  if (!value) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  DWORD length = static_cast<DWORD>(value->size());
  // Too small: the size needed with the terminator, and nothing written.
  if (!lpBuffer || nSize <= length) return length + 1;
  memcpy(lpBuffer, value->c_str(), (length + 1) * sizeof(WCHAR));
  SetLastError(ERROR_SUCCESS);
  return length;
}

BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
  if (!lpName || !ValidName(lpName)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::string host = ToHost(lpName), spelled;
  std::lock_guard<std::mutex> guard(gEnvironmentLock);
  // The variable keeps the spelling it has.
  if (!FindHostName(host, &spelled)) spelled = host;
  int result = lpValue ? setenv(spelled.c_str(), ToHost(lpValue).c_str(), 1) : unsetenv(spelled.c_str());
  if (result != 0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  return TRUE;
}

DWORD WINAPI ExpandEnvironmentStringsW(LPCWSTR lpSrc, LPWSTR lpDst, DWORD nSize) {
  if (!lpSrc) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::u16string_view source(lpSrc);
  std::u16string out;
  size_t i = 0;
  while (i < source.size()) {
    if (source[i] != u'%') {
      out += source[i++];
      continue;
    }
    size_t close = source.find(u'%', i + 1);
    if (close == std::u16string_view::npos) {
      out.append(source.substr(i));
      break;
    }
    std::u16string_view name = source.substr(i + 1, close - i - 1);
    std::optional<std::u16string> value;
    if (!name.empty()) value = Lookup(name);
    if (value) {
      out += *value;
      i = close + 1;
    } else {
      // An unknown name stays as written; its closing "%" may open the
      // next name.
      out.append(source.substr(i, close - i));
      i = close;
    }
  }
  DWORD needed = static_cast<DWORD>(out.size() + 1);
  if (out.size() + 1 > 32768) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  if (lpDst && nSize >= needed) {
    memcpy(lpDst, out.c_str(), needed * sizeof(WCHAR));
  } else if (lpDst && nSize) {
    // What fits, terminated, as Windows leaves it; the count says how much
    // room the whole text needs.
    memcpy(lpDst, out.data(), (nSize - 1) * sizeof(WCHAR));
    lpDst[nSize - 1] = 0;
  }
  return needed;
}
