// The registry calls: each one a Registry request to ramvold, which keeps
// the keys a process holds open and decides who may change what. Names
// and data travel in the thread's transfer window.
#include "platform/user/src/client/connection.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

using namespace bw;
using namespace bw::user;

namespace {

constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);
constexpr NTSTATUS kStatusBufferOverflow = static_cast<NTSTATUS>(0x80000005);

// What the registry's statuses are to a Win32 program.
LSTATUS ErrorOf(NTSTATUS status) {
  switch (static_cast<uint32_t>(status)) {
    case 0:
      return ERROR_SUCCESS;
    case 0xC0000034:  // STATUS_OBJECT_NAME_NOT_FOUND
    case 0xC000003A:  // STATUS_OBJECT_PATH_NOT_FOUND
      return ERROR_FILE_NOT_FOUND;
    case 0xC0000023:  // STATUS_BUFFER_TOO_SMALL
    case 0x80000005:  // STATUS_BUFFER_OVERFLOW
      return ERROR_MORE_DATA;
    case 0x8000001A:  // STATUS_NO_MORE_ENTRIES
      return ERROR_NO_MORE_ITEMS;
    case 0xC0000121:  // STATUS_CANNOT_DELETE: a key with subkeys, or a root
      return ERROR_ACCESS_DENIED;
    case 0xC000017C:  // STATUS_KEY_DELETED
      return ERROR_KEY_DELETED;
    case 0xC0000008:  // STATUS_INVALID_HANDLE
      return ERROR_INVALID_HANDLE;
    case 0xC0000033:  // STATUS_OBJECT_NAME_INVALID
      return ERROR_BAD_PATHNAME;
    default:
      return static_cast<LSTATUS>(RtlNtStatusToDosError(status));
  }
}

struct Request {
  wire::RegistryAction action;
  HKEY key;
  std::u16string_view name;
  const void *data = nullptr;
  uint32_t dataBytes = 0;
  uint32_t access = 0, options = 0, type = 0, index = 0;
};

// Sends one request with room for `capacity` bytes of answer. Returns the
// Win32 error; *answer holds what came back when it fitted.
LSTATUS Ask(const Request &what, uint32_t capacity, ReplyData *reply,
            std::vector<uint8_t> *answer = nullptr) {
  // The handle travels as the daemon numbers it: predefined keys
  // sign-extended, as on 64-bit Windows.
  uint64_t key = reinterpret_cast<uint64_t>(what.key);
  Connection *connection = ThreadConnection();
  if (!connection) return static_cast<LSTATUS>(GetLastError());
  size_t nameBytes = what.name.size() * sizeof(WCHAR);
  size_t inputBytes = nameBytes + what.dataBytes;
  size_t room = ((inputBytes + 15) & ~size_t(15)) + capacity;
  uint8_t *window = room ? connection->Window(room) : nullptr;
  if (room && !window) return static_cast<LSTATUS>(GetLastError());
  wire::RegistryRequest request{};
  request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::Registry)};
  request.action = static_cast<uint32_t>(what.action);
  request.key = key;
  request.access = what.access;
  request.options = what.options;
  request.type = what.type;
  request.index = what.index;
  request.nameBytes = static_cast<uint32_t>(nameBytes);
  request.dataBytes = what.dataBytes;
  if (inputBytes) {
    if (nameBytes) memcpy(window, what.name.data(), nameBytes);
    if (what.dataBytes) memcpy(window + nameBytes, what.data, what.dataBytes);
    request.input = reinterpret_cast<uint64_t>(window);
  }
  if (capacity) {
    request.output = reinterpret_cast<uint64_t>(window + room - capacity);
    request.outputLength = capacity;
  }
  bool sent = connection->Call(&request, sizeof request, reply);
  if (sent && answer && reply->status >= 0 && capacity)
    answer->assign(window + room - capacity,
                   window + room - capacity + std::min<uint64_t>(reply->information, capacity));
  connection->TrimWindow();
  if (!sent) return static_cast<LSTATUS>(GetLastError());
  return ErrorOf(reply->status);
}

// Asks until the answer fits: the first try with `guess` bytes, then with
// what the daemon said it needs (a value may grow in between).
LSTATUS AskAll(const Request &what, uint32_t guess, ReplyData *reply, std::vector<uint8_t> *answer) {
  uint32_t capacity = guess;
  for (int attempt = 0; attempt < 4; ++attempt) {
    LSTATUS error = Ask(what, capacity, reply, answer);
    if (error != ERROR_MORE_DATA) return error;
    capacity = static_cast<uint32_t>(reply->information);
  }
  return ERROR_MORE_DATA;
}

std::u16string_view Text(LPCWSTR text) { return text ? std::u16string_view(text) : std::u16string_view(); }

bool ValidKey(HKEY key) { return key != nullptr; }

// A predefined key the stand-in does not keep.
bool Unsupported(HKEY key) { return key == HKEY_CLASSES_ROOT; }

}  // namespace

LSTATUS WINAPI RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
  if (!phkResult) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  if (!ValidKey(hKey)) return ERROR_INVALID_HANDLE;
  if (Unsupported(hKey)) return ERROR_FILE_NOT_FOUND;
  (void)ulOptions;  // REG_OPTION_OPEN_LINK: no links here
  ReplyData reply;
  LSTATUS error = Ask({wire::RegistryAction::Open, hKey, Text(lpSubKey), nullptr, 0, samDesired}, 0,
                      &reply);
  if (error == ERROR_SUCCESS) *phkResult = reinterpret_cast<HKEY>(reply.value);
  return error;
}

LSTATUS WINAPI RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                               DWORD dwOptions, REGSAM samDesired,
                               const LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                               LPDWORD lpdwDisposition) {
  (void)lpClass;
  (void)lpSecurityAttributes;  // keys here carry the two rules of the daemon, no list of their own
  if (!phkResult || Reserved || !lpSubKey) return ERROR_INVALID_PARAMETER;
  *phkResult = nullptr;
  if (!ValidKey(hKey)) return ERROR_INVALID_HANDLE;
  if (Unsupported(hKey)) return ERROR_ACCESS_DENIED;
  if (dwOptions & ~static_cast<DWORD>(REG_OPTION_VOLATILE | 0x4 /*REG_OPTION_BACKUP_RESTORE*/))
    return ERROR_INVALID_PARAMETER;
  ReplyData reply;
  Request request{wire::RegistryAction::Create, hKey, Text(lpSubKey), nullptr, 0, samDesired,
                  static_cast<uint32_t>(dwOptions & REG_OPTION_VOLATILE)};
  LSTATUS error = Ask(request, 0, &reply);
  if (error != ERROR_SUCCESS) return error;
  *phkResult = reinterpret_cast<HKEY>(reply.value);
  if (lpdwDisposition) *lpdwDisposition = static_cast<DWORD>(reply.information);
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
  if (lpReserved || (lpData && !lpcbData)) return ERROR_INVALID_PARAMETER;
  if (!ValidKey(hKey)) return ERROR_INVALID_HANDLE;
  if (Unsupported(hKey)) return ERROR_FILE_NOT_FOUND;
  ReplyData reply;
  std::vector<uint8_t> answer;
  uint32_t guess = lpcbData ? std::max<uint32_t>(*lpcbData, 64) : 64;
  LSTATUS error = AskAll({wire::RegistryAction::QueryValue, hKey, Text(lpValueName)}, guess, &reply,
                         &answer);
  if (error != ERROR_SUCCESS) return error;
  if (lpType) *lpType = static_cast<DWORD>(reply.value);
  DWORD size = static_cast<DWORD>(answer.size());
  if (!lpcbData) return ERROR_SUCCESS;
  if (!lpData) {
    *lpcbData = size;
    return ERROR_SUCCESS;
  }
  if (*lpcbData < size) {
    *lpcbData = size;
    return ERROR_MORE_DATA;
  }
  if (size) memcpy(lpData, answer.data(), size);
  *lpcbData = size;
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                              const BYTE *lpData, DWORD cbData) {
  if (Reserved || (!lpData && cbData)) return ERROR_INVALID_PARAMETER;
  if (!ValidKey(hKey)) return ERROR_INVALID_HANDLE;
  if (Unsupported(hKey)) return ERROR_ACCESS_DENIED;
  // A value holds at most what the registry's cells hold.
  if (cbData > 1024 * 1024) return ERROR_INVALID_PARAMETER;
  ReplyData reply;
  return Ask({wire::RegistryAction::SetValue, hKey, Text(lpValueName), lpData, cbData, 0, 0, dwType},
             0, &reply);
}

LSTATUS WINAPI RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName) {
  if (!ValidKey(hKey)) return ERROR_INVALID_HANDLE;
  if (Unsupported(hKey)) return ERROR_FILE_NOT_FOUND;
  ReplyData reply;
  return Ask({wire::RegistryAction::DeleteValue, hKey, Text(lpValueName)}, 0, &reply);
}

LSTATUS WINAPI RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey) {
  if (!lpSubKey) return ERROR_INVALID_PARAMETER;
  if (!ValidKey(hKey)) return ERROR_INVALID_HANDLE;
  if (Unsupported(hKey)) return ERROR_FILE_NOT_FOUND;
  ReplyData reply;
  return Ask({wire::RegistryAction::DeleteKey, hKey, Text(lpSubKey)}, 0, &reply);
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
  if (!ValidKey(hKey)) return ERROR_INVALID_HANDLE;
  if (Unsupported(hKey)) return ERROR_SUCCESS;
  ReplyData reply;
  return Ask({wire::RegistryAction::Close, hKey, {}}, 0, &reply);
}

LSTATUS WINAPI RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                             LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                             PFILETIME lpftLastWriteTime) {
  if (!lpName || !lpcchName || lpReserved || (lpClass && !lpcchClass)) return ERROR_INVALID_PARAMETER;
  if (!ValidKey(hKey)) return ERROR_INVALID_HANDLE;
  if (Unsupported(hKey)) return ERROR_NO_MORE_ITEMS;
  ReplyData reply;
  std::vector<uint8_t> answer;
  Request request{wire::RegistryAction::EnumKey, hKey, {}};
  request.index = dwIndex;
  LSTATUS error = AskAll(request, 512, &reply, &answer);
  if (error != ERROR_SUCCESS) return error;
  DWORD length = static_cast<DWORD>(answer.size() / sizeof(WCHAR));
  if (*lpcchName <= length) return ERROR_MORE_DATA;  // the terminator must fit too
  memcpy(lpName, answer.data(), answer.size());
  lpName[length] = 0;
  *lpcchName = length;
  // Keys here have no class.
  if (lpClass && *lpcchClass) lpClass[0] = 0;
  if (lpcchClass) *lpcchClass = 0;
  if (lpftLastWriteTime) {
    lpftLastWriteTime->dwLowDateTime = static_cast<DWORD>(reply.value);
    lpftLastWriteTime->dwHighDateTime = static_cast<DWORD>(reply.value >> 32);
  }
  return ERROR_SUCCESS;
}

LSTATUS WINAPI RegEnumValueW(HKEY hKey, DWORD dwIndex, LPWSTR lpValueName, LPDWORD lpcchValueName,
                             LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (!lpValueName || !lpcchValueName || lpReserved || (lpData && !lpcbData))
    return ERROR_INVALID_PARAMETER;
  if (!ValidKey(hKey)) return ERROR_INVALID_HANDLE;
  if (Unsupported(hKey)) return ERROR_NO_MORE_ITEMS;
  ReplyData reply;
  std::vector<uint8_t> answer;
  Request request{wire::RegistryAction::EnumValue, hKey, {}};
  request.index = dwIndex;
  uint32_t guess = 4096 + (lpcbData ? *lpcbData : 0);
  LSTATUS error = AskAll(request, guess, &reply, &answer);
  if (error != ERROR_SUCCESS) return error;
  wire::RegistryValueRecord record;
  if (answer.size() < sizeof record) return ERROR_INTERNAL_ERROR;
  memcpy(&record, answer.data(), sizeof record);
  if (answer.size() < sizeof record + uint64_t(record.nameBytes) + record.dataBytes)
    return ERROR_INTERNAL_ERROR;
  DWORD nameLength = record.nameBytes / sizeof(WCHAR);
  if (*lpcchValueName <= nameLength) return ERROR_MORE_DATA;
  memcpy(lpValueName, answer.data() + sizeof record, record.nameBytes);
  lpValueName[nameLength] = 0;
  *lpcchValueName = nameLength;
  if (lpType) *lpType = record.type;
  if (lpcbData) {
    if (lpData && *lpcbData < record.dataBytes) {
      *lpcbData = record.dataBytes;
      return ERROR_MORE_DATA;
    }
    if (lpData && record.dataBytes)
      memcpy(lpData, answer.data() + sizeof record + record.nameBytes, record.dataBytes);
    *lpcbData = record.dataBytes;
  }
  return ERROR_SUCCESS;
}
