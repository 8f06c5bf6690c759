// Files and devices through the daemon: CreateFileW, DeviceIoControl,
// ReadFile, WriteFile, CloseHandle, GetOverlappedResult.
#include "connection.h"
#include "handles.h"

#include <cstring>
#include <string>

using namespace bw;
using namespace bw::user;

namespace {

constexpr NTSTATUS kStatusPending = 0x00000103;
constexpr ULONG kFileSynchronousIoNonalert = 0x20;
constexpr ULONG kFileNonDirectoryFile = 0x40;
constexpr ULONG kFileNoIntermediateBuffering = 0x08;
constexpr ULONG kFileWriteThrough = 0x02;
constexpr DWORD kSynchronize = 0x00100000;
constexpr DWORD kFileReadAttributes = 0x0080;

// Win32 path → NT path: "\\.\X" and "\\?\X" become "\??\X", "C:\..."
// becomes "\??\C:\...", an NT path stays as it is.
std::u16string ToNtPath(LPCWSTR path) {
  std::u16string p(path);
  if (p.rfind(u"\\\\.\\", 0) == 0 || p.rfind(u"\\\\?\\", 0) == 0) return u"\\??\\" + p.substr(4);
  if (!p.empty() && p[0] == u'\\') return p;
  return u"\\??\\" + p;
}

bool FailStatus(NTSTATUS status) {
  SetLastError(RtlNtStatusToDosError(status));
  return false;
}

}  // namespace

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE) {
  if (!lpFileName || !*lpFileName) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  static const ULONG kDispositions[] = {0, 2 /* FILE_CREATE */, 5 /* FILE_OVERWRITE_IF */,
                                        1 /* FILE_OPEN */, 3 /* FILE_OPEN_IF */,
                                        4 /* FILE_OVERWRITE */};
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  Connection *connection = ThreadConnection();
  if (!connection) return INVALID_HANDLE_VALUE;
  std::u16string path = ToNtPath(lpFileName);
  ULONG options = kFileNonDirectoryFile;
  if (!(dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED)) options |= kFileSynchronousIoNonalert;
  if (dwFlagsAndAttributes & FILE_FLAG_NO_BUFFERING) options |= kFileNoIntermediateBuffering;
  if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH) options |= kFileWriteThrough;
  std::vector<uint8_t> frame(sizeof(wire::CreateRequest) + path.size() * 2);
  wire::CreateRequest request{{wire::kMagic, static_cast<uint32_t>(wire::Op::Create)},
                              dwDesiredAccess | kSynchronize | kFileReadAttributes,
                              dwShareMode,
                              kDispositions[dwCreationDisposition],
                              options,
                              static_cast<uint32_t>(path.size() * 2)};
  memcpy(frame.data(), &request, sizeof request);
  memcpy(frame.data() + sizeof request, path.data(), path.size() * 2);
  ReplyData reply;
  if (!connection->Call(frame.data(), frame.size(), &reply)) return INVALID_HANDLE_VALUE;
  if (reply.status < 0) {
    FailStatus(reply.status);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE handle = reinterpret_cast<HANDLE>(reply.value);
  RegisterDaemonHandle(handle, HandleKind::File);
  SetLastError(ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  if (!IsDaemonHandle(hDevice, HandleKind::File)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (nInBufferSize > wire::kMaxFrame || nOutBufferSize > wire::kMaxFrame) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if ((nInBufferSize && !lpInBuffer) || (nOutBufferSize && !lpOutBuffer)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Connection *connection = ThreadConnection();
  if (!connection) return FALSE;
  std::vector<uint8_t> frame(sizeof(wire::DeviceControlRequest) + nInBufferSize);
  wire::DeviceControlRequest request{
      {wire::kMagic, static_cast<uint32_t>(wire::Op::DeviceControl)},
      reinterpret_cast<uint64_t>(hDevice), dwIoControlCode, nInBufferSize, nOutBufferSize};
  memcpy(frame.data(), &request, sizeof request);
  if (nInBufferSize) memcpy(frame.data() + sizeof request, lpInBuffer, nInBufferSize);
  ReplyData reply;
  if (!connection->Call(frame.data(), frame.size(), &reply)) return FALSE;
  if (!reply.output.empty())
    memcpy(lpOutBuffer, reply.output.data(),
           reply.output.size() < nOutBufferSize ? reply.output.size() : nOutBufferSize);
  DWORD returned = static_cast<DWORD>(reply.information);
  if (lpBytesReturned) *lpBytesReturned = returned;
  if (lpOverlapped) {
    lpOverlapped->Internal = static_cast<ULONG_PTR>(static_cast<uint32_t>(reply.status));
    lpOverlapped->InternalHigh = returned;
  }
  if (reply.status < 0 || static_cast<uint32_t>(reply.status) >= 0x80000000u)
    return FailStatus(reply.status);
  SetLastError(ERROR_SUCCESS);
  return TRUE;
}

BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL) {
  if (!lpOverlapped || !lpNumberOfBytesTransferred) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto status = static_cast<NTSTATUS>(static_cast<uint32_t>(lpOverlapped->Internal));
  if (status == kStatusPending) {
    SetLastError(ERROR_IO_INCOMPLETE);
    return FALSE;
  }
  *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
  if (status < 0) return FailStatus(status);
  return TRUE;
}

namespace {

BOOL Transfer(HANDLE hFile, bool write, void *buffer, DWORD length, LPDWORD transferred,
              LPOVERLAPPED overlapped) {
  if (!IsDaemonHandle(hFile, HandleKind::File)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (length > wire::kMaxFrame) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Connection *connection = ThreadConnection();
  if (!connection) return FALSE;
  uint64_t offset = overlapped ? (static_cast<uint64_t>(overlapped->OffsetHigh) << 32) |
                                     overlapped->Offset
                               : 0;
  ReplyData reply;
  if (write) {
    std::vector<uint8_t> frame(sizeof(wire::WriteRequest) + length);
    wire::WriteRequest request{{wire::kMagic, static_cast<uint32_t>(wire::Op::Write)},
                               reinterpret_cast<uint64_t>(hFile), offset, length};
    memcpy(frame.data(), &request, sizeof request);
    if (length) memcpy(frame.data() + sizeof request, buffer, length);
    if (!connection->Call(frame.data(), frame.size(), &reply)) return FALSE;
  } else {
    wire::ReadRequest request{{wire::kMagic, static_cast<uint32_t>(wire::Op::Read)},
                              reinterpret_cast<uint64_t>(hFile), offset, length};
    if (!connection->Call(&request, sizeof request, &reply)) return FALSE;
    if (!reply.output.empty()) memcpy(buffer, reply.output.data(), reply.output.size());
  }
  if (transferred) *transferred = static_cast<DWORD>(reply.information);
  if (reply.status < 0) return FailStatus(reply.status);
  return TRUE;
}

}  // namespace

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  return Transfer(hFile, false, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  return Transfer(hFile, true, const_cast<void *>(lpBuffer), nNumberOfBytesToWrite,
                  lpNumberOfBytesWritten, lpOverlapped);
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (hObject == GetCurrentThread() || hObject == GetCurrentProcess()) return TRUE;
  return CloseAnyHandle(hObject) ? TRUE : FALSE;
}
