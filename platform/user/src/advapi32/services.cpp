// The service control manager's calls: each one a Service request to the
// manager in ramvold, which keeps the handles, the services' states and
// their registry keys. Handles are the manager's numbers; it refuses those
// it did not give this process (ERROR_INVALID_HANDLE).
#include "platform/user/src/client/connection.h"

#include <cstring>
#include <string>
#include <vector>

using namespace bw;
using namespace bw::user;

namespace {

void PutString(std::vector<uint8_t> *input, LPCWSTR text, size_t units) {
  uint32_t count = text ? static_cast<uint32_t>(units) : wire::kNoString;
  const uint8_t *p = reinterpret_cast<const uint8_t *>(&count);
  input->insert(input->end(), p, p + sizeof count);
  if (text) {
    const uint8_t *t = reinterpret_cast<const uint8_t *>(text);
    input->insert(input->end(), t, t + units * sizeof(WCHAR));
  }
}

size_t Length(LPCWSTR text) {
  size_t n = 0;
  while (text && text[n]) ++n;
  return n;
}

// A multi-string's units up to and without its final terminator.
size_t MultiLength(LPCWSTR list) {
  size_t n = 0;
  while (list && list[n]) n += Length(list + n) + 1;
  return n;
}

// Sends one request with `input` and room for `capacity` bytes of answer.
// False with the last error set when the manager refused or could not be
// reached; *answer holds what came back.
bool Ask(wire::ServiceAction action, uint64_t handle, DWORD access, DWORD control,
         const std::vector<uint8_t> &input, uint32_t capacity, ReplyData *reply,
         std::vector<uint8_t> *answer = nullptr) {
  Connection *connection = ThreadConnection();
  if (!connection) return false;
  size_t room = ((input.size() + 15) & ~size_t(15)) + capacity;
  uint8_t *window = room ? connection->Window(room) : nullptr;
  if (room && !window) return false;
  wire::ServiceRequest request{};
  request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::Service)};
  request.action = static_cast<uint32_t>(action);
  request.handle = handle;
  request.access = access;
  request.control = control;
  if (!input.empty()) {
    memcpy(window, input.data(), input.size());
    request.input = reinterpret_cast<uint64_t>(window);
    request.inputLength = static_cast<uint32_t>(input.size());
  }
  if (capacity) {
    request.output = reinterpret_cast<uint64_t>(window + room - capacity);
    request.outputLength = capacity;
  }
  bool sent = connection->Call(&request, sizeof request, reply);
  if (sent && answer && reply->status == 0 && capacity)
    answer->assign(window + room - capacity,
                   window + room - capacity + std::min<uint64_t>(reply->information, capacity));
  connection->TrimWindow();
  if (!sent) return false;
  if (reply->status != 0) {
    SetLastError(static_cast<DWORD>(reply->status));
    return false;
  }
  return true;
}

uint64_t HandleValue(SC_HANDLE handle) { return reinterpret_cast<uint64_t>(handle); }

bool NeedHandle(SC_HANDLE handle) {
  if (handle) return true;
  SetLastError(ERROR_INVALID_HANDLE);
  return false;
}

SC_HANDLE OpenWith(wire::ServiceAction action, uint64_t manager, DWORD access,
                   const std::vector<uint8_t> &input) {
  ReplyData reply;
  if (!Ask(action, manager, access, 0, input, 0, &reply)) return nullptr;
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<SC_HANDLE>(reply.value);
}

// Reads one counted string of the manager's answer; false when it runs out.
bool TakeString(const std::vector<uint8_t> &in, size_t *at, std::u16string *text, bool *present) {
  uint32_t count;
  if (*at + sizeof count > in.size()) return false;
  memcpy(&count, in.data() + *at, sizeof count);
  *at += sizeof count;
  *present = count != wire::kNoString;
  text->clear();
  if (!*present) return true;
  if (*at + size_t(count) * 2 > in.size()) return false;
  text->resize(count);
  memcpy(text->data(), in.data() + *at, size_t(count) * 2);
  *at += size_t(count) * 2;
  return true;
}

}  // namespace

SC_HANDLE WINAPI OpenSCManagerW(LPCWSTR lpMachineName, LPCWSTR lpDatabaseName,
                                DWORD dwDesiredAccess) {
  // Only this machine's active database exists.
  if (lpMachineName && *lpMachineName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  static const char16_t kActive[] = u"ServicesActive";
  if (lpDatabaseName && std::u16string_view(lpDatabaseName) != kActive) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  return OpenWith(wire::ServiceAction::OpenManager, 0, dwDesiredAccess, {});
}

SC_HANDLE WINAPI CreateServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName,
                                LPCWSTR lpDisplayName, DWORD dwDesiredAccess, DWORD dwServiceType,
                                DWORD dwStartType, DWORD dwErrorControl,
                                LPCWSTR lpBinaryPathName, LPCWSTR lpLoadOrderGroup,
                                LPDWORD lpdwTagId, LPCWSTR lpDependencies,
                                LPCWSTR lpServiceStartName, LPCWSTR lpPassword) {
  (void)lpPassword;  // kept by no service here: none runs under an account
  if (!NeedHandle(hSCManager)) return nullptr;
  if (!lpServiceName || !*lpServiceName || !lpBinaryPathName || !*lpBinaryPathName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  // A tag is given only within a load-order group.
  if (lpdwTagId && (!lpLoadOrderGroup || !*lpLoadOrderGroup)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  wire::ServiceCreateInput fields{dwServiceType, dwStartType, dwErrorControl, 0};
  std::vector<uint8_t> input(sizeof fields);
  memcpy(input.data(), &fields, sizeof fields);
  PutString(&input, lpServiceName, Length(lpServiceName));
  PutString(&input, lpDisplayName, Length(lpDisplayName));
  PutString(&input, lpBinaryPathName, Length(lpBinaryPathName));
  PutString(&input, lpLoadOrderGroup, Length(lpLoadOrderGroup));
  PutString(&input, lpDependencies, MultiLength(lpDependencies));
  PutString(&input, lpServiceStartName, Length(lpServiceStartName));
  ReplyData reply;
  if (!Ask(wire::ServiceAction::Create, HandleValue(hSCManager), dwDesiredAccess, 0, input, 0,
           &reply))
    return nullptr;
  if (lpdwTagId) *lpdwTagId = static_cast<DWORD>(reply.information);
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<SC_HANDLE>(reply.value);
}

SC_HANDLE WINAPI OpenServiceW(SC_HANDLE hSCManager, LPCWSTR lpServiceName,
                              DWORD dwDesiredAccess) {
  if (!NeedHandle(hSCManager)) return nullptr;
  if (!lpServiceName) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return nullptr;
  }
  if (!*lpServiceName) {
    SetLastError(ERROR_INVALID_NAME);
    return nullptr;
  }
  std::vector<uint8_t> input;
  PutString(&input, lpServiceName, Length(lpServiceName));
  return OpenWith(wire::ServiceAction::Open, HandleValue(hSCManager), dwDesiredAccess, input);
}

BOOL WINAPI StartServiceW(SC_HANDLE hService, DWORD dwNumServiceArgs,
                          LPCWSTR *lpServiceArgVectors) {
  // Drivers take no arguments; they are not passed on.
  (void)dwNumServiceArgs;
  (void)lpServiceArgVectors;
  if (!NeedHandle(hService)) return FALSE;
  ReplyData reply;
  return Ask(wire::ServiceAction::Start, HandleValue(hService), 0, 0, {}, 0, &reply);
}

BOOL WINAPI QueryServiceStatusEx(SC_HANDLE hService, SC_STATUS_TYPE InfoLevel, LPBYTE lpBuffer,
                                 DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
  if (!NeedHandle(hService)) return FALSE;
  if (InfoLevel != SC_STATUS_PROCESS_INFO) {
    SetLastError(ERROR_INVALID_LEVEL);
    return FALSE;
  }
  if (!pcbBytesNeeded) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  *pcbBytesNeeded = sizeof(SERVICE_STATUS_PROCESS);
  if (!lpBuffer || cbBufSize < sizeof(SERVICE_STATUS_PROCESS)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  ReplyData reply;
  std::vector<uint8_t> answer;
  if (!Ask(wire::ServiceAction::QueryStatus, HandleValue(hService), 0, 0, {},
           sizeof(wire::ServiceStatusRecord), &reply, &answer))
    return FALSE;
  static_assert(sizeof(wire::ServiceStatusRecord) == sizeof(SERVICE_STATUS_PROCESS));
  memcpy(lpBuffer, answer.data(), sizeof(SERVICE_STATUS_PROCESS));
  return TRUE;
}

BOOL WINAPI QueryServiceStatus(SC_HANDLE hService, LPSERVICE_STATUS lpServiceStatus) {
  if (!lpServiceStatus) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  SERVICE_STATUS_PROCESS full;
  DWORD needed = 0;
  if (!QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&full),
                            sizeof full, &needed))
    return FALSE;
  memcpy(lpServiceStatus, &full, sizeof *lpServiceStatus);
  return TRUE;
}

BOOL WINAPI ControlService(SC_HANDLE hService, DWORD dwControl, LPSERVICE_STATUS lpServiceStatus) {
  if (!NeedHandle(hService)) return FALSE;
  if (!lpServiceStatus) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  ReplyData reply;
  bool done = Ask(wire::ServiceAction::Control, HandleValue(hService), 0, dwControl, {}, 0, &reply);
  // The status comes back with the answer whether or not the control was
  // taken, as it does on Windows for the errors a running service gives.
  DWORD error = done ? ERROR_SUCCESS : GetLastError();
  SERVICE_STATUS_PROCESS full{};
  DWORD needed = 0;
  if (QueryServiceStatusEx(hService, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&full),
                           sizeof full, &needed))
    memcpy(lpServiceStatus, &full, sizeof *lpServiceStatus);
  SetLastError(error);
  return done;
}

BOOL WINAPI QueryServiceConfigW(SC_HANDLE hService, LPQUERY_SERVICE_CONFIGW lpServiceConfig,
                                DWORD cbBufSize, LPDWORD pcbBytesNeeded) {
  if (!NeedHandle(hService)) return FALSE;
  if (!pcbBytesNeeded) {
    SetLastError(ERROR_INVALID_ADDRESS);
    return FALSE;
  }
  ReplyData reply;
  std::vector<uint8_t> answer;
  if (!Ask(wire::ServiceAction::QueryConfig, HandleValue(hService), 0, 0, {}, 16384, &reply,
           &answer))
    return FALSE;
  wire::ServiceConfigInput fields;
  if (answer.size() < sizeof fields) {
    SetLastError(ERROR_INVALID_DATA);
    return FALSE;
  }
  memcpy(&fields, answer.data(), sizeof fields);
  size_t at = sizeof fields;
  // Binary path, group, dependencies, start name, display name; packed
  // after the record, each with its terminator (the dependencies with two),
  // as the manager's answer on Windows is laid out.
  std::u16string texts[5];
  bool present[5];
  for (int i = 0; i < 5; ++i)
    if (!TakeString(answer, &at, &texts[i], &present[i])) {
      SetLastError(ERROR_INVALID_DATA);
      return FALSE;
    }
  size_t needed = sizeof(QUERY_SERVICE_CONFIGW);
  for (int i = 0; i < 5; ++i) needed += (texts[i].size() + (i == 2 ? 2 : 1)) * sizeof(WCHAR);
  *pcbBytesNeeded = static_cast<DWORD>(needed);
  if (!lpServiceConfig || cbBufSize < needed) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  lpServiceConfig->dwServiceType = fields.type;
  lpServiceConfig->dwStartType = fields.start;
  lpServiceConfig->dwErrorControl = fields.errorControl;
  lpServiceConfig->dwTagId = fields.tagId;
  auto *cursor = reinterpret_cast<WCHAR *>(lpServiceConfig + 1);
  LPWSTR *slots[5] = {&lpServiceConfig->lpBinaryPathName, &lpServiceConfig->lpLoadOrderGroup,
                      &lpServiceConfig->lpDependencies, &lpServiceConfig->lpServiceStartName,
                      &lpServiceConfig->lpDisplayName};
  for (int i = 0; i < 5; ++i) {
    *slots[i] = cursor;
    memcpy(cursor, texts[i].data(), texts[i].size() * sizeof(WCHAR));
    cursor += texts[i].size();
    *cursor++ = 0;
    if (i == 2) *cursor++ = 0;
  }
  return TRUE;
}

BOOL WINAPI DeleteService(SC_HANDLE hService) {
  if (!NeedHandle(hService)) return FALSE;
  ReplyData reply;
  return Ask(wire::ServiceAction::Delete, HandleValue(hService), 0, 0, {}, 0, &reply);
}

BOOL WINAPI CloseServiceHandle(SC_HANDLE hSCObject) {
  if (!NeedHandle(hSCObject)) return FALSE;
  ReplyData reply;
  return Ask(wire::ServiceAction::Close, HandleValue(hSCObject), 0, 0, {}, 0, &reply);
}
