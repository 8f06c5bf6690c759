// The Nt services the Win32 file calls are built on, each one request to
// the daemon with its buffers in the thread's transfer window.
#include "platform/user/src/client/handles.h"
#include "platform/user/src/ntdll/nt_file.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace bw::user {

namespace {
constexpr DWORD kSynchronize = 0x00100000;
}  // namespace

bool Fail(NTSTATUS status) {
  if (status != kUnreachable) SetLastError(RtlNtStatusToDosError(status));
  return false;
}

bool FailWith(DWORD error) {
  SetLastError(error);
  return false;
}

Connection *ConnectionFor(HANDLE handle) {
  uint64_t bootId = 0;
  if (!DaemonHandle(handle, HandleKind::File, &bootId)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  Connection *connection = ThreadConnectionFor(bootId);
  if (!connection || connection->BootId() != bootId) {
    SetLastError(kSystemGoneError);
    return nullptr;
  }
  return connection;
}

NTSTATUS NtOpen(const std::u16string &ntPath, ACCESS_MASK access, ULONG share,
                ULONG disposition, ULONG options, ULONG attributes, HANDLE *handle,
                uint64_t *information) {
  *handle = INVALID_HANDLE_VALUE;
  if (ntPath.size() * 2 > wire::kMaxPathBytes) return static_cast<NTSTATUS>(0xC0000106);
  Connection *connection = ThreadConnection();
  if (!connection) return kUnreachable;
  std::vector<uint8_t> frame(sizeof(wire::CreateRequest) + ntPath.size() * 2);
  wire::CreateRequest request{{wire::kMagic, static_cast<uint32_t>(wire::Op::Create)},
                              access | kSynchronize,
                              share,
                              disposition,
                              options,
                              attributes,
                              static_cast<uint32_t>(ntPath.size() * 2)};
  memcpy(frame.data(), &request, sizeof request);
  memcpy(frame.data() + sizeof request, ntPath.data(), ntPath.size() * 2);
  ReplyData reply;
  if (!connection->Call(frame.data(), frame.size(), &reply)) return kUnreachable;
  if (information) *information = reply.information;
  if (reply.status < 0) return reply.status;
  *handle = reinterpret_cast<HANDLE>(reply.value);
  RegisterDaemonHandle(*handle, HandleKind::File, connection->BootId());
  return reply.status;
}

NTSTATUS OpenPath(LPCWSTR path, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options, HANDLE *handle, uint64_t *information) {
  *handle = INVALID_HANDLE_VALUE;
  std::u16string ntPath;
  if (!ToNtPath(path, &ntPath)) return kUnreachable;
  return NtOpen(ntPath, access, share, disposition,
                options | kFileSynchronousIoNonalert, 0, handle, information);
}

NTSTATUS NtFileRequest(HANDLE handle, uint32_t op, ULONG infoClass, void *buffer, ULONG length,
                       bool in, bool out, uint64_t *information) {
  if (information) *information = 0;
  Connection *connection = ConnectionFor(handle);
  if (!connection) return kUnreachable;
  uint8_t *window = length ? connection->Window(length) : nullptr;
  if (length && !window) return kUnreachable;
  if (length) {
    if (in)
      memcpy(window, buffer, length);
    else
      memset(window, 0, length);
  }
  ReplyData reply;
  bool sent;
  if (op == static_cast<uint32_t>(wire::Op::QueryVolume)) {
    wire::QueryVolumeRequest request{{wire::kMagic, op},
                                     reinterpret_cast<uint64_t>(handle),
                                     infoClass,
                                     reinterpret_cast<uint64_t>(window),
                                     length};
    sent = connection->Call(&request, sizeof request, &reply);
  } else {
    wire::FileInformationRequest request{{wire::kMagic, op},
                                         reinterpret_cast<uint64_t>(handle),
                                         infoClass,
                                         length,
                                         reinterpret_cast<uint64_t>(window)};
    sent = connection->Call(&request, sizeof request, &reply);
  }
  if (!sent) return kUnreachable;
  if (out && length && !IsError(reply.status))
    memcpy(buffer, window, std::min<uint64_t>(reply.information, length));
  connection->TrimWindow();
  if (information) *information = reply.information;
  return reply.status;
}

NTSTATUS NtQueryDirectory(HANDLE handle, void *buffer, ULONG length, ULONG infoClass,
                          bool restart, const std::u16string *name, uint64_t *information) {
  *information = 0;
  Connection *connection = ConnectionFor(handle);
  if (!connection) return kUnreachable;
  // The entries first, 8-byte aligned as the window is; the name after them.
  size_t nameAt = (static_cast<size_t>(length) + 7) & ~size_t(7);
  size_t nameBytes = name ? name->size() * 2 : 0;
  uint8_t *window = connection->Window(nameAt + nameBytes + 1);
  if (!window) return kUnreachable;
  if (nameBytes) memcpy(window + nameAt, name->data(), nameBytes);
  wire::QueryDirectoryRequest request{
      {wire::kMagic, static_cast<uint32_t>(wire::Op::QueryDirectory)},
      reinterpret_cast<uint64_t>(handle),
      infoClass,
      static_cast<uint8_t>(restart ? wire::kRestartScan : 0),
      static_cast<uint8_t>(name ? 1 : 0),
      length,
      reinterpret_cast<uint64_t>(window),
      static_cast<uint32_t>(nameBytes),
      nameBytes ? reinterpret_cast<uint64_t>(window + nameAt) : 0};
  ReplyData reply;
  if (!connection->Call(&request, sizeof request, &reply)) return kUnreachable;
  if (!IsError(reply.status)) memcpy(buffer, window, std::min<uint64_t>(reply.information, length));
  connection->TrimWindow();
  *information = reply.information;
  return reply.status;
}

void CloseQuietly(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE || !handle) return;
  DWORD error = GetLastError();
  CloseHandle(handle);
  SetLastError(error);
}

}  // namespace bw::user
