// Logon sessions as programs see them: the session a process belongs to
// (named to the daemon in its hello), beginning, ending and listing
// sessions, and the session id of a process. The token calls with which a
// program learns its own logon session are in tokens.cpp.
#include "platform/user/src/client/answer.h"
#include "platform/user/src/client/handles.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace bw;
using namespace bw::user;

namespace {

constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);

uint64_t Pack(const LUID &id) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(id.HighPart)) << 32) | id.LowPart;
}
LUID Unpack(uint64_t id) { return LUID{static_cast<DWORD>(id), static_cast<LONG>(id >> 32)}; }

bool Fail(NTSTATUS status) {
  SetLastError(RtlNtStatusToDosError(status));
  return false;
}

wire::LogonSessionRequest SessionRequest(wire::LogonAction action, uint64_t id) {
  wire::LogonSessionRequest request{};
  request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::LogonSession)};
  request.action = static_cast<uint32_t>(action);
  request.logonId = id;
  return request;
}

}  // namespace

namespace bw::user {

// The logon session the environment names for this process; 0 for the
// user's default one. False when the variable holds no session id.
bool LogonSessionOfProcess(uint64_t *id) {
  *id = 0;
  const char *text = getenv(BW_LOGON_SESSION_VARIABLE);
  if (!text || !*text) return true;
  LUID luid;
  if (!BwParseLogonSession(text, &luid)) return false;
  *id = Pack(luid);
  return true;
}

}  // namespace bw::user

VOID WINAPI BwFormatLogonSession(const LUID *LogonId, CHAR Text[18]) {
  snprintf(Text, 18, "%08X-%08X", static_cast<unsigned>(LogonId->HighPart),
           static_cast<unsigned>(LogonId->LowPart));
}

BOOL WINAPI BwParseLogonSession(LPCSTR Text, PLUID LogonId) {
  if (!Text || !LogonId || strlen(Text) != 17 || Text[8] != '-') return FALSE;
  for (int i = 0; i < 17; ++i)
    if (i != 8 && !isxdigit(static_cast<unsigned char>(Text[i]))) return FALSE;
  LogonId->HighPart = static_cast<LONG>(strtoul(std::string(Text, 8).c_str(), nullptr, 16));
  LogonId->LowPart = static_cast<DWORD>(strtoul(Text + 9, nullptr, 16));
  return TRUE;
}

BOOL WINAPI BwBeginLogonSession(PLUID LogonId) {
  if (!LogonId) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto request = SessionRequest(wire::LogonAction::Begin, 0);
  ReplyData reply;
  std::vector<uint8_t> answer;
  if (!AskForAnswer(request, {}, 0, &reply, &answer)) return FALSE;
  if (reply.status < 0) return Fail(reply.status);
  *LogonId = Unpack(reply.value);
  return TRUE;
}

BOOL WINAPI BwEndLogonSession(const LUID *LogonId) {
  if (!LogonId) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto request = SessionRequest(wire::LogonAction::End, Pack(*LogonId));
  ReplyData reply;
  std::vector<uint8_t> answer;
  if (!AskForAnswer(request, {}, 0, &reply, &answer)) return FALSE;
  if (reply.status < 0) return Fail(reply.status);
  return TRUE;
}

BOOL WINAPI BwListLogonSessions(BW_LOGON_SESSION *Sessions, DWORD Capacity, DWORD *Count) {
  if (!Count || (Capacity && !Sessions)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  // Sessions come and go: ask again until the answer fits.
  uint32_t bytes = 64 * sizeof(wire::LogonSessionRecord);
  for (;;) {
    auto request = SessionRequest(wire::LogonAction::List, 0);
    ReplyData reply;
    std::vector<uint8_t> answer;
    if (!AskForAnswer(request, {}, bytes, &reply, &answer)) return FALSE;
    if (reply.status == kStatusBufferTooSmall) {
      bytes = static_cast<uint32_t>(reply.information);
      continue;
    }
    if (reply.status < 0) return Fail(reply.status);
    DWORD count = static_cast<DWORD>(answer.size() / sizeof(wire::LogonSessionRecord));
    *Count = count;
    if (count > Capacity) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    for (DWORD i = 0; i < count; ++i) {
      wire::LogonSessionRecord record;
      memcpy(&record, answer.data() + i * sizeof record, sizeof record);
      Sessions[i] = BW_LOGON_SESSION{Unpack(record.logonId), record.uid,
                                     (record.flags & wire::kLogonSessionDefault) ? TRUE : FALSE,
                                     record.processes};
    }
    return TRUE;
  }
}

BOOL WINAPI ProcessIdToSessionId(DWORD dwProcessId, DWORD *pSessionId) {
  if (!pSessionId) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Connection *connection = ThreadConnection();
  if (!connection) return FALSE;
  wire::ProcessSessionRequest request{
      {wire::kMagic, static_cast<uint32_t>(wire::Op::ProcessSession)}, dwProcessId};
  ReplyData reply;
  if (!connection->Call(&request, sizeof request, &reply)) return FALSE;
  if (reply.status < 0) return Fail(reply.status);
  *pSessionId = static_cast<DWORD>(reply.value);
  return TRUE;
}
