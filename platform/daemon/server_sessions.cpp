// The requests with which user programs see logon sessions, drive letters
// and who they are: begin, end and list sessions; QueryDosDevice; volume
// and token information; the session id of a process.
#include "platform/daemon/server_internal.h"

namespace bw {

namespace {

LUID ToLuid(uint64_t id) { return LUID{static_cast<ULONG>(id), static_cast<LONG>(id >> 32)}; }
uint64_t FromLuid(LUID id) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(id.HighPart)) << 32) | id.LowPart;
}

// Puts an answer of `bytes` at `output`: STATUS_BUFFER_TOO_SMALL when it
// does not fit. The reply's information is the length the answer needs.
NTSTATUS PutAnswer(const void *bytes, size_t length, PVOID output, uint32_t outputLength) {
  if (length > outputLength) return STATUS_BUFFER_TOO_SMALL;
  if (length) memcpy(output, bytes, length);
  return STATUS_SUCCESS;
}

}  // namespace

bool Server::ServeLogonSession(Session &session, const Frame &frame) {
  wire::LogonSessionRequest request;
  PVOID output;
  if (!frame.Exactly(&request) ||
      !session.BufferInWindow(request.output, request.outputLength, &output))
    return false;
  switch (static_cast<wire::LogonAction>(request.action)) {
    case wire::LogonAction::Begin: {
      LUID id{};
      NTSTATUS status = BeginLogonSession(session.uid, &id);
      return session.Reply(status, 0, NT_SUCCESS(status) ? FromLuid(id) : 0);
    }
    case wire::LogonAction::End: {
      LUID id = ToLuid(request.logonId);
      for (const LogonSessionInfo &s : LogonSessions()) {
        if (FromLuid(s.logonId) != request.logonId) continue;
        // A user ends sessions of their own; a default one lasts while the
        // system runs, as the interactive logon does.
        if ((s.uid != session.uid && session.uid != 0) || s.isDefault)
          return session.Reply(STATUS_ACCESS_DENIED);
        // The session's programs hear of it first, while its letters and
        // processes are still there, as a logoff tells them on Windows.
        EndSessionRound(request.logonId, session.pid, session.thread->Tid());
        return session.Reply(EndLogonSession(id));
      }
      return session.Reply(STATUS_NO_SUCH_LOGON_SESSION);
    }
    case wire::LogonAction::List: {
      std::vector<wire::LogonSessionRecord> records;
      for (const LogonSessionInfo &s : LogonSessions())
        if (s.uid == session.uid || session.uid == 0)
          records.push_back({FromLuid(s.logonId), s.uid,
                             s.isDefault ? wire::kLogonSessionDefault : 0u, s.processes});
      size_t bytes = records.size() * sizeof(wire::LogonSessionRecord);
      return session.Reply(PutAnswer(records.data(), bytes, output, request.outputLength), bytes);
    }
  }
  return session.Reply(STATUS_INVALID_PARAMETER);
}

bool Server::ServeDosDevice(Session &session, const Frame &frame) {
  wire::DosDeviceRequest request;
  PVOID output;
  if (!frame.StartsWith(&request) || request.nameBytes % 2 ||
      request.nameBytes > wire::kMaxPathBytes ||
      frame.length != sizeof request + request.nameBytes ||
      !session.BufferInWindow(request.output, request.outputLength, &output))
    return false;
  std::u16string name(request.nameBytes / 2, u'\0');
  memcpy(name.data(), frame.TailAfter<wire::DosDeviceRequest>(), request.nameBytes);
  std::vector<std::u16string> strings;
  NTSTATUS status = QueryDosDevice(session.process->process->LogonId(), name, &strings);
  if (!NT_SUCCESS(status)) return session.Reply(status);
  std::u16string multi;
  for (auto &s : strings) multi += s + u'\0';
  multi += u'\0';
  size_t bytes = multi.size() * sizeof(char16_t);
  return session.Reply(PutAnswer(multi.data(), bytes, output, request.outputLength), bytes);
}

bool Server::ServeQueryVolume(Session &session, const Frame &frame) {
  wire::QueryVolumeRequest request;
  PVOID output;
  if (!frame.Exactly(&request) ||
      !session.BufferInWindow(request.output, request.outputLength, &output))
    return false;
  IoResult result = session.process->process->NtQueryVolumeInformationFile(
      *session.thread, reinterpret_cast<HANDLE>(request.handle), output, request.outputLength,
      static_cast<FS_INFORMATION_CLASS>(request.infoClass));
  return session.Reply(result.status, result.information);
}

bool Server::ServeQueryToken(Session &session, const Frame &frame) {
  wire::QueryTokenRequest request;
  PVOID output;
  if (!frame.Exactly(&request) ||
      !session.BufferInWindow(request.output, request.outputLength, &output))
    return false;
  ULONG needed = 0;
  NTSTATUS status = session.process->process->QueryToken(
      static_cast<TOKEN_INFORMATION_CLASS>(request.infoClass), output, request.outputLength,
      &needed);
  return session.Reply(status, needed);
}

bool Server::ServeProcessSession(Session &session, const Frame &frame) {
  wire::ProcessSessionRequest request;
  if (!frame.Exactly(&request)) return false;
  PEPROCESS process = nullptr;
  NTSTATUS status = PsLookupProcessByProcessId(
      reinterpret_cast<HANDLE>(static_cast<uintptr_t>(request.pid)), &process);
  if (!NT_SUCCESS(status)) return session.Reply(STATUS_INVALID_PARAMETER);
  ULONG id = PsGetProcessSessionId(process);
  ObfDereferenceObject(process);
  return session.Reply(STATUS_SUCCESS, 0, id);
}

bool Server::ServeAdjustPrivileges(Session &session, const Frame &frame) {
  wire::AdjustPrivilegesRequest request;
  PVOID output;
  if (!frame.StartsWith(&request) || request.count > wire::kMaxPrivileges ||
      frame.length != sizeof request + request.count * sizeof(wire::PrivilegeRecord) ||
      !session.BufferInWindow(request.output, request.outputLength, &output))
    return false;
  UserProcess &process = *session.process->process;
  std::vector<wire::PrivilegeRecord> asked(request.count);
  if (request.count)
    memcpy(asked.data(), frame.TailAfter<wire::AdjustPrivilegesRequest>(),
           request.count * sizeof(wire::PrivilegeRecord));
  if (request.flags & wire::kAdjustDisableAll) {
    asked.clear();
    for (const LUID_AND_ATTRIBUTES &p : process.TokenPrivileges())
      asked.push_back({p.Luid.LowPart, p.Luid.HighPart, 0});
  }
  // What changed goes back with its earlier state, as the previous state
  // of NtAdjustPrivilegesToken does.
  NTSTATUS status = STATUS_SUCCESS;
  std::vector<wire::PrivilegeRecord> changed;
  for (const wire::PrivilegeRecord &p : asked) {
    bool enable = (p.attributes & SE_PRIVILEGE_ENABLED) != 0;
    bool was = false;
    NTSTATUS one = process.AdjustTokenPrivilege(LUID{p.luidLow, p.luidHigh}, enable, &was);
    if (one == STATUS_NOT_ALL_ASSIGNED) {
      status = one;
      continue;
    }
    if (was != enable)
      changed.push_back({p.luidLow, p.luidHigh, was ? static_cast<uint32_t>(SE_PRIVILEGE_ENABLED) : 0u});
  }
  size_t bytes = changed.size() * sizeof(wire::PrivilegeRecord);
  if ((request.flags & wire::kAdjustWantPrevious) && bytes > request.outputLength) {
    // No room for the previous state: nothing changes, as on Windows.
    for (const wire::PrivilegeRecord &p : changed)
      process.AdjustTokenPrivilege(LUID{p.luidLow, p.luidHigh}, p.attributes != 0, nullptr);
    return session.Reply(STATUS_BUFFER_TOO_SMALL, bytes);
  }
  if (bytes && (request.flags & wire::kAdjustWantPrevious)) memcpy(output, changed.data(), bytes);
  return session.Reply(status, bytes);
}

}  // namespace bw
