// The requests of the system's own services: the service control manager,
// restarting or shutting down the system, file operations left for the next
// start, and a privilege of the process's token.
//
// Who is an administrator is read from the caller's token as the kernel's
// access checks read it: a token with the Administrators group enabled (a
// host user in sudo, wheel or admin, or root as LocalSystem).
#include "platform/daemon/server_internal.h"

#include "platform/daemon/registry_key.h"
#include "platform/daemon/service_keys.h"
#include "platform/daemon/service_manager.h"
#include "platform/daemon/session_manager.h"

#include <vector>

namespace bw {

namespace {

bool PrivilegeEnabled(UserProcess &process, ULONG privilege) {
  ULONG needed = 0;
  process.QueryToken(TokenPrivileges, nullptr, 0, &needed);
  std::vector<uint64_t> buffer((needed + 7) / 8 + 1);
  if (!NT_SUCCESS(process.QueryToken(TokenPrivileges, buffer.data(),
                                     static_cast<ULONG>(buffer.size() * 8), &needed)))
    return false;
  auto *privileges = reinterpret_cast<PTOKEN_PRIVILEGES>(buffer.data());
  for (ULONG i = 0; i < privileges->PrivilegeCount; ++i)
    if (privileges->Privileges[i].Luid.LowPart == privilege &&
        privileges->Privileges[i].Luid.HighPart == 0)
      return privileges->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED;
  return false;
}

// Reads the counted strings of a create's input.
struct InputReader {
  const uint8_t *data;
  size_t size, at = 0;
  bool String(std::u16string *text, bool *present) {
    uint32_t count;
    if (at + sizeof count > size) return false;
    memcpy(&count, data + at, sizeof count);
    at += sizeof count;
    *present = count != wire::kNoString;
    text->clear();
    if (!*present) return true;
    if (count > 32767 || at + size_t(count) * 2 > size) return false;
    text->resize(count);
    memcpy(text->data(), data + at, size_t(count) * 2);
    at += size_t(count) * 2;
    return true;
  }
};

std::vector<std::u16string> SplitMulti(const std::u16string &multi) {
  std::vector<std::u16string> parts;
  size_t at = 0;
  while (at < multi.size()) {
    size_t end = multi.find(u'\0', at);
    if (end == std::u16string::npos) end = multi.size();
    if (end > at) parts.push_back(multi.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

constexpr uint32_t kExitShutdown = 0x1, kExitReboot = 0x2, kExitPowerOff = 0x8;
constexpr uint32_t kMoveReplaceExisting = 0x1, kMoveDelayUntilReboot = 0x4;

}  // namespace

bool TokenIsAdministrator(UserProcess &process) {
  ULONG needed = 0;
  process.QueryToken(TokenGroups, nullptr, 0, &needed);
  std::vector<uint64_t> buffer((needed + 7) / 8 + 1);
  if (!NT_SUCCESS(process.QueryToken(TokenGroups, buffer.data(),
                                     static_cast<ULONG>(buffer.size() * 8), &needed)))
    return false;
  auto *groups = reinterpret_cast<PTOKEN_GROUPS>(buffer.data());
  for (ULONG i = 0; i < groups->GroupCount; ++i) {
    auto *sid = static_cast<PISID>(groups->Groups[i].Sid);
    static const UCHAR kNtAuthority[6] = {0, 0, 0, 0, 0, 5};
    if (sid->SubAuthorityCount == 2 && !memcmp(sid->IdentifierAuthority.Value, kNtAuthority, 6) &&
        sid->SubAuthority[0] == SECURITY_BUILTIN_DOMAIN_RID &&
        sid->SubAuthority[1] == DOMAIN_ALIAS_RID_ADMINS &&
        (groups->Groups[i].Attributes & SE_GROUP_ENABLED))
      return true;
  }
  return false;
}

bool Server::ServeService(Session &session, const Frame &frame) {
  wire::ServiceRequest request;
  PVOID input = nullptr, output = nullptr;
  if (!frame.Exactly(&request) ||
      !session.BufferInWindow(request.input, request.inputLength, &input) ||
      !session.BufferInWindow(request.output, request.outputLength, &output))
    return false;
  ServiceManager &manager = ServiceManager::Instance();
  ServiceManager::Caller caller{session.pid, TokenIsAdministrator(*session.process->process)};
  uint64_t handle = 0;
  uint32_t error = ERROR_INVALID_PARAMETER;
  switch (static_cast<wire::ServiceAction>(request.action)) {
    case wire::ServiceAction::OpenManager:
      error = manager.OpenManager(caller, request.access, &handle);
      return session.Reply(static_cast<int32_t>(error), 0, handle);
    case wire::ServiceAction::Create: {
      wire::ServiceCreateInput head;
      if (request.inputLength < sizeof head) return session.Reply(ERROR_INVALID_PARAMETER);
      memcpy(&head, input, sizeof head);
      InputReader reader{static_cast<const uint8_t *>(input), request.inputLength, sizeof head};
      ServiceManager::CreateFields fields;
      fields.type = head.type;
      fields.start = head.start;
      fields.errorControl = head.errorControl;
      std::u16string dependencies;
      bool hasName, hasPath, hasDependencies;
      if (!reader.String(&fields.name, &hasName) ||
          !reader.String(&fields.displayName, &fields.hasDisplayName) ||
          !reader.String(&fields.binaryPath, &hasPath) ||
          !reader.String(&fields.group, &fields.hasGroup) ||
          !reader.String(&dependencies, &hasDependencies) ||
          !reader.String(&fields.startName, &fields.hasStartName))
        return session.Reply(ERROR_INVALID_PARAMETER);
      fields.dependencies = SplitMulti(dependencies);
      error = manager.Create(caller, request.handle, request.access, fields, &handle);
      return session.Reply(static_cast<int32_t>(error), 0, handle);
    }
    case wire::ServiceAction::Open: {
      InputReader reader{static_cast<const uint8_t *>(input), request.inputLength};
      std::u16string name;
      bool present;
      if (!reader.String(&name, &present) || !present) return session.Reply(ERROR_INVALID_PARAMETER);
      error = manager.Open(caller, request.handle, name, request.access, &handle);
      return session.Reply(static_cast<int32_t>(error), 0, handle);
    }
    case wire::ServiceAction::Start:
      return session.Reply(static_cast<int32_t>(manager.Start(caller, request.handle)));
    case wire::ServiceAction::Control:
      return session.Reply(
          static_cast<int32_t>(manager.Control(caller, request.handle, request.control)));
    case wire::ServiceAction::QueryStatus: {
      wire::ServiceStatusRecord status;
      error = manager.QueryStatus(caller, request.handle, &status);
      if (error == ERROR_SUCCESS && request.outputLength < sizeof status)
        error = ERROR_INSUFFICIENT_BUFFER;
      if (error == ERROR_SUCCESS) memcpy(output, &status, sizeof status);
      return session.Reply(static_cast<int32_t>(error), sizeof status);
    }
    case wire::ServiceAction::QueryConfig: {
      std::vector<uint8_t> answer;
      error = manager.QueryConfig(caller, request.handle, &answer);
      if (error == ERROR_SUCCESS && request.outputLength < answer.size())
        error = ERROR_INSUFFICIENT_BUFFER;
      if (error == ERROR_SUCCESS) memcpy(output, answer.data(), answer.size());
      return session.Reply(static_cast<int32_t>(error), answer.size());
    }
    case wire::ServiceAction::Delete:
      return session.Reply(static_cast<int32_t>(manager.Delete(caller, request.handle)));
    case wire::ServiceAction::Close:
      return session.Reply(static_cast<int32_t>(manager.Close(caller, request.handle)));
  }
  return session.Reply(ERROR_INVALID_PARAMETER);
}

bool Server::ServeExitSystem(Session &session, const Frame &frame) {
  wire::ExitSystemRequest request;
  if (!frame.Exactly(&request)) return false;
  uint32_t kind = request.flags & (kExitShutdown | kExitReboot | kExitPowerOff);
  // Ending a logon, or a mix of actions, is nothing this system does.
  if (kind != kExitShutdown && kind != kExitReboot && kind != kExitPowerOff)
    return session.Reply(ERROR_INVALID_PARAMETER);
  if (!PrivilegeEnabled(*session.process->process, SE_SHUTDOWN_PRIVILEGE))
    return session.Reply(ERROR_PRIVILEGE_NOT_HELD);
  // The caller hears of success before the system goes down, as the call
  // returns on Windows before the shutdown is under way.
  bool replied = session.Reply(ERROR_SUCCESS);
  // Every program's windows hear that the system goes down first.
  EndSessionRound(0, session.pid, session.thread->Tid());
  exitAction_ = kind == kExitReboot ? ExitAction::Reboot : ExitAction::Shutdown;
  Stop();
  return replied;
}

bool Server::ServeDelayedMove(Session &session, const Frame &frame) {
  wire::DelayedMoveRequest request;
  if (!frame.StartsWith(&request) || request.sourceBytes % 2 || request.targetBytes % 2 ||
      request.sourceBytes == 0 || request.sourceBytes > wire::kMaxPathBytes ||
      request.targetBytes > wire::kMaxPathBytes ||
      frame.length != sizeof request + request.sourceBytes + request.targetBytes)
    return false;
  if (!(request.flags & kMoveDelayUntilReboot)) return session.Reply(ERROR_INVALID_PARAMETER);
  // The list lies in the machine's registry, which only administrators
  // may change.
  if (!TokenIsAdministrator(*session.process->process)) return session.Reply(ERROR_ACCESS_DENIED);
  std::u16string source(request.sourceBytes / 2, u'\0'), target(request.targetBytes / 2, u'\0');
  const uint8_t *tail = frame.TailAfter<wire::DelayedMoveRequest>();
  memcpy(source.data(), tail, request.sourceBytes);
  memcpy(target.data(), tail + request.sourceBytes, request.targetBytes);
  if (!target.empty() && (request.flags & kMoveReplaceExisting)) target = u"!" + target;
  NTSTATUS status = AddPendingFileOperation(source, target);
  return session.Reply(NT_SUCCESS(status) ? ERROR_SUCCESS : static_cast<int32_t>(Win32ErrorOf(status)));
}

}  // namespace bw
