// CreateMutexW, OpenMutexW and ReleaseMutex: mutants the daemon's kernel
// keeps, named in its object namespace. The handle is closed with
// CloseHandle like any other.
#include "platform/user/src/client/connection.h"
#include "platform/user/src/client/descriptors.h"
#include "platform/user/src/client/handles.h"

#include <cstring>
#include <string>
#include <vector>

using namespace bw;
using namespace bw::user;

namespace {

constexpr NTSTATUS kStatusObjectNameExists = 0x40000000;
constexpr NTSTATUS kStatusMutantNotOwned = static_cast<NTSTATUS>(0xC0000046);

// Sends one mutant request; the reply, or false with the last error set
// when the system cannot be reached.
bool AskMutant(wire::MutantAction action, HANDLE handle, DWORD access, bool initialOwner,
               LPCWSTR name, const std::vector<uint8_t> &descriptor, ReplyData *reply) {
  Connection *connection = ThreadConnection();
  if (!connection) return false;
  std::u16string text = name ? std::u16string(name) : std::u16string();
  wire::MutantRequest request{};
  request.header = {wire::kMagic, static_cast<uint32_t>(wire::Op::Mutant)};
  request.action = static_cast<uint32_t>(action);
  request.handle = reinterpret_cast<uint64_t>(handle);
  request.access = access;
  request.initialOwner = initialOwner ? 1 : 0;
  request.nameBytes = static_cast<uint32_t>(text.size() * 2);
  request.descriptorBytes = static_cast<uint32_t>(descriptor.size());
  std::vector<uint8_t> frame(sizeof request + request.nameBytes + descriptor.size());
  memcpy(frame.data(), &request, sizeof request);
  if (!text.empty()) memcpy(frame.data() + sizeof request, text.data(), request.nameBytes);
  if (!descriptor.empty())
    memcpy(frame.data() + sizeof request + request.nameBytes, descriptor.data(), descriptor.size());
  return connection->Call(frame.data(), frame.size(), reply);
}

HANDLE Opened(const ReplyData &reply) {
  Connection *connection = ThreadConnection();
  HANDLE handle = reinterpret_cast<HANDLE>(reply.value);
  RegisterDaemonHandle(handle, HandleKind::Mutex, connection->BootId());
  return handle;
}

bool NameTooLong(LPCWSTR name) {
  if (!name) return false;
  size_t length = std::char_traits<char16_t>::length(name);
  return length * 2 > wire::kMaxPathBytes - 64;
}

}  // namespace

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCWSTR lpName) {
  std::vector<uint8_t> descriptor;
  if (lpMutexAttributes && lpMutexAttributes->lpSecurityDescriptor &&
      !SelfRelativeDescriptor(lpMutexAttributes->lpSecurityDescriptor, &descriptor)) {
    SetLastError(ERROR_INVALID_SECURITY_DESCR);
    return nullptr;
  }
  if (NameTooLong(lpName) || descriptor.size() > wire::kMaxMutantDescriptor) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  ReplyData reply;
  if (!AskMutant(wire::MutantAction::Create, nullptr, MUTEX_ALL_ACCESS, bInitialOwner, lpName,
                 descriptor, &reply))
    return nullptr;
  if (reply.status < 0) {
    SetLastError(RtlNtStatusToDosError(reply.status));
    return nullptr;
  }
  HANDLE handle = Opened(reply);
  SetLastError(reply.status == kStatusObjectNameExists ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return handle;
}

HANDLE WINAPI OpenMutexW(DWORD dwDesiredAccess, BOOL, LPCWSTR lpName) {
  if (!lpName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  if (NameTooLong(lpName)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return nullptr;
  }
  ReplyData reply;
  if (!AskMutant(wire::MutantAction::Open, nullptr, dwDesiredAccess, false, lpName, {}, &reply))
    return nullptr;
  if (reply.status < 0) {
    SetLastError(RtlNtStatusToDosError(reply.status));
    return nullptr;
  }
  return Opened(reply);
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  uint64_t bootId = 0;
  if (!DaemonHandle(hMutex, HandleKind::Mutex, &bootId)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  ReplyData reply;
  if (!AskMutant(wire::MutantAction::Release, hMutex, 0, false, nullptr, {}, &reply)) return FALSE;
  if (reply.status == kStatusMutantNotOwned) {
    SetLastError(ERROR_NOT_OWNER);
    return FALSE;
  }
  if (reply.status < 0) {
    SetLastError(RtlNtStatusToDosError(reply.status));
    return FALSE;
  }
  return TRUE;
}
