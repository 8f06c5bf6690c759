// Logon sessions: who owns each, its DosDevices directory while it lives,
// and the termination routines drivers register to hear of its end.
#include "se/logon_session.h"

#include "bw/user_session.h"
#include "ob/object.h"
#include "ps/callback_list.h"
#include "ps/process.h"
#include "se/token.h"

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace bw {

namespace {

struct Session {
  uint32_t uid;
  bool isDefault;
  uint32_t processes = 0;
};

uint64_t Key(LUID id) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(id.HighPart)) << 32) | id.LowPart;
}
LUID FromKey(uint64_t key) {
  return LUID{static_cast<ULONG>(key), static_cast<LONG>(key >> 32)};
}
bool IsSystem(LUID id) {
  LUID system = SYSTEM_LUID;
  return Key(id) == Key(system);
}

std::mutex gLock;
std::map<uint64_t, Session> gSessions;
std::set<uint64_t> gEnded;  // never live again: no process joins them
// Fresh sessions take low parts from here on: well above the session ids
// the default ones use, so that a fresh one never meets a default one.
std::atomic<uint32_t> gNextLowPart{0x1000};
CallbackList<PSE_LOGON_SESSION_TERMINATED_ROUTINE> gTerminationRoutines;

}  // namespace

std::u16string LogonSessionDirectory(LUID logonId) {
  char name[32];
  snprintf(name, sizeof name, "%08X-%08X", static_cast<unsigned>(logonId.HighPart),
           static_cast<unsigned>(logonId.LowPart));
  return u"\\Sessions\\0\\DosDevices\\" + ToU16(name);
}

NTSTATUS JoinLogonSession(LUID logonId, uint32_t uid) {
  if (IsSystem(logonId)) return uid == 0 ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
  std::lock_guard<std::mutex> guard(gLock);
  auto it = gSessions.find(Key(logonId));
  if (it == gSessions.end()) {
    if (gEnded.count(Key(logonId))) return STATUS_NO_SUCH_LOGON_SESSION;
    NTSTATUS status = EnsureDirectory(LogonSessionDirectory(logonId));
    if (!NT_SUCCESS(status)) return status;
    it = gSessions.emplace(Key(logonId), Session{uid, true}).first;
  } else if (it->second.uid != uid) {
    return STATUS_ACCESS_DENIED;
  }
  ++it->second.processes;
  return STATUS_SUCCESS;
}

void LeaveLogonSession(LUID logonId) {
  std::lock_guard<std::mutex> guard(gLock);
  auto it = gSessions.find(Key(logonId));
  if (it != gSessions.end() && it->second.processes) --it->second.processes;
}

void LogonSessionsShutdown() {
  std::lock_guard<std::mutex> guard(gLock);
  gSessions.clear();
  gEnded.clear();
  gTerminationRoutines.Clear();
}

NTSTATUS BeginLogonSession(uint32_t uid, LUID *logonId) {
  if (!logonId) return STATUS_INVALID_PARAMETER;
  LUID id = Token::HostLogonId(uid, gNextLowPart++);
  NTSTATUS status = EnsureDirectory(LogonSessionDirectory(id));
  if (!NT_SUCCESS(status)) return status;
  {
    std::lock_guard<std::mutex> guard(gLock);
    gSessions.emplace(Key(id), Session{uid, false});
  }
  *logonId = id;
  return STATUS_SUCCESS;
}

NTSTATUS EndLogonSession(LUID logonId) {
  {
    std::lock_guard<std::mutex> guard(gLock);
    if (!gSessions.erase(Key(logonId))) return STATUS_NO_SUCH_LOGON_SESSION;
    gEnded.insert(Key(logonId));
  }
  DeleteDirectoryTree(LogonSessionDirectory(logonId));
  // The routines run in a system thread, as the system's own worker calls
  // them on Windows: a driver's routine may take its locks and wait there
  // whoever ended the session.
  std::thread([logonId] {
    PKTHREAD self = CreateThreadObject(SystemProcess(), 0, true);
    {
      ThreadContext context(self);
      gTerminationRoutines.ForEach([&](PSE_LOGON_SESSION_TERMINATED_ROUTINE routine) {
        LUID id = logonId;
        routine(&id);
      });
    }
    TerminateThreadObject(self, STATUS_SUCCESS);
    ObfDereferenceObject(self);
  }).join();
  return STATUS_SUCCESS;
}

std::vector<LogonSessionInfo> LogonSessions() {
  std::vector<LogonSessionInfo> sessions;
  std::lock_guard<std::mutex> guard(gLock);
  for (auto &[key, s] : gSessions)
    sessions.push_back(LogonSessionInfo{FromKey(key), s.uid, s.isDefault, s.processes});
  return sessions;
}

bool LogonSessionOwner(LUID logonId, uint32_t *uid) {
  std::lock_guard<std::mutex> guard(gLock);
  auto it = gSessions.find(Key(logonId));
  if (it == gSessions.end()) return false;
  if (uid) *uid = it->second.uid;
  return true;
}

}  // namespace bw

using namespace bw;

NTSTATUS SeRegisterLogonSessionTerminatedRoutine(
    PSE_LOGON_SESSION_TERMINATED_ROUTINE CallbackRoutine) {
  if (!CallbackRoutine) return STATUS_INVALID_PARAMETER;
  gTerminationRoutines.Add(CallbackRoutine);
  return STATUS_SUCCESS;
}

NTSTATUS SeUnregisterLogonSessionTerminatedRoutine(
    PSE_LOGON_SESSION_TERMINATED_ROUTINE CallbackRoutine) {
  if (!CallbackRoutine) return STATUS_INVALID_PARAMETER;
  return gTerminationRoutines.Remove(CallbackRoutine) ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}
