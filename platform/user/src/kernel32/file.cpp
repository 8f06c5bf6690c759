// Files and devices through the daemon: CreateFileW, DeviceIoControl,
// ReadFile, WriteFile, FlushFileBuffers, CloseHandle, GetOverlappedResult.
// A request's buffers travel through the thread's transfer window: the
// caller's bytes are copied in once, the kernel describes them where they
// lie (an MDL for direct I/O), and what the device returned is copied out.
#include "platform/user/src/client/connection.h"
#include "platform/user/src/client/handles.h"
#include "platform/user/src/ntdll/nt_file.h"

#include <algorithm>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif
#include <cstring>
#include <string>

using namespace bw;
using namespace bw::user;

namespace {

constexpr DWORD kFileReadAttributes = 0x0080;
constexpr DWORD kDelete = 0x00010000;
constexpr DWORD kMethodInDirect = 1;
constexpr DWORD kMethodNeither = 3;
constexpr DWORD kFileDeviceFileSystem = 9;
// Attributes a new file may be given (FILE_ATTRIBUTE_VALID_SET_FLAGS).
constexpr DWORD kSettableAttributes = 0x000031A7;

bool FailStatus(NTSTATUS status) { return Fail(status); }

uint64_t Address(const void *p) {
  return reinterpret_cast<uint64_t>(p);
}

// Where the two buffers of a device-control request go in the window. When
// the caller's buffers overlap (one buffer for both), they keep their
// places relative to each other, as the driver would see them on Windows.
struct ControlLayout {
  size_t inputAt = 0;
  size_t outputAt = 0;
  size_t bytes = 0;
  bool overlapping = false;
  const uint8_t *spanStart = nullptr;
};

ControlLayout LayOut(const void *input, DWORD inputLength, const void *output, DWORD outputLength) {
  ControlLayout layout;
  auto in = static_cast<const uint8_t *>(input);
  auto out = static_cast<const uint8_t *>(output);
  if (inputLength && outputLength && in < out + outputLength && out < in + inputLength) {
    layout.overlapping = true;
    layout.spanStart = std::min(in, out);
    layout.inputAt = in - layout.spanStart;
    layout.outputAt = out - layout.spanStart;
    layout.bytes = std::max(in + inputLength, out + outputLength) - layout.spanStart;
    return layout;
  }
  layout.outputAt = (static_cast<size_t>(inputLength) + 15) & ~size_t(15);
  layout.bytes = layout.outputAt + outputLength;
  return layout;
}

}  // namespace

// CreateFileW as kernel32 builds its NtCreateFile: the disposition's NT
// form, SYNCHRONIZE and FILE_READ_ATTRIBUTES always asked for, a directory
// only with FILE_FLAG_BACKUP_SEMANTICS, delete on close with DELETE. An
// existing file that CREATE_ALWAYS or OPEN_ALWAYS opened leaves
// ERROR_ALREADY_EXISTS behind a success; CREATE_NEW of an existing one
// fails with ERROR_FILE_EXISTS.
HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE) {
  static const ULONG kDispositions[] = {0, kFileCreate, kFileOverwriteIf, kFileOpen, kFileOpenIf,
                                        kFileOverwrite};
  if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  std::u16string path;
  if (!ToNtPath(lpFileName, &path)) return INVALID_HANDLE_VALUE;
  ULONG options = 0;
  DWORD access = dwDesiredAccess | kFileReadAttributes;
  if (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) options |= kFileNonDirectoryFile;
  else options |= kFileOpenForBackupIntent;
  if (!(dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED)) options |= kFileSynchronousIoNonalert;
  if (dwFlagsAndAttributes & FILE_FLAG_NO_BUFFERING) options |= kFileNoIntermediateBuffering;
  if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH) options |= kFileWriteThrough;
  if (dwFlagsAndAttributes & FILE_FLAG_RANDOM_ACCESS) options |= kFileRandomAccess;
  if (dwFlagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN) options |= kFileSequentialOnly;
  if (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) {
    options |= kFileDeleteOnClose;
    access |= kDelete;
  }
  HANDLE handle = INVALID_HANDLE_VALUE;
  uint64_t information = 0;
  NTSTATUS status = NtOpen(path, access, dwShareMode, kDispositions[dwCreationDisposition],
                           options, dwFlagsAndAttributes & kSettableAttributes, &handle,
                           &information);
  if (status < 0) {
    if (status == kStatusObjectNameCollision && dwCreationDisposition == CREATE_NEW)
      SetLastError(ERROR_FILE_EXISTS);
    else
      Fail(status);
    return INVALID_HANDLE_VALUE;
  }
  const bool existed = information == kFileOpened || information == kFileOverwritten;
  SetLastError((dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS) &&
                       existed
                   ? ERROR_ALREADY_EXISTS
                   : ERROR_SUCCESS);
  return handle;
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  // Until the request completes its status block says so.
  if (lpOverlapped) lpOverlapped->Internal = static_cast<ULONG_PTR>(kStatusPending);
  if ((nInBufferSize && !lpInBuffer) || (nOutBufferSize && !lpOutBuffer)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  Connection *connection = ConnectionFor(hDevice);
  if (!connection) return FALSE;
  ControlLayout layout = LayOut(lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize);
  uint8_t *window = layout.bytes ? connection->Window(layout.bytes) : nullptr;
  if (layout.bytes && !window) return FALSE;
  const DWORD method = dwIoControlCode & 3;
  // The output buffer of METHOD_IN_DIRECT is data for the device, and a
  // METHOD_NEITHER driver may read what it holds: both go in as they are.
  if (layout.overlapping)
    memcpy(window, layout.spanStart, layout.bytes);
  else if (nInBufferSize)
    memcpy(window + layout.inputAt, lpInBuffer, nInBufferSize);
  if (!layout.overlapping && nOutBufferSize &&
      (method == kMethodInDirect || method == kMethodNeither))
    memcpy(window + layout.outputAt, lpOutBuffer, nOutBufferSize);
  // A file-system control code goes as NtFsControlFile, as kernel32 sends it.
  const wire::Op op = (dwIoControlCode >> 16) == kFileDeviceFileSystem ? wire::Op::FsControl
                                                                       : wire::Op::DeviceControl;
  wire::DeviceControlRequest request{{wire::kMagic, static_cast<uint32_t>(op)},
                                     Address(hDevice),
                                     dwIoControlCode,
                                     nInBufferSize,
                                     nOutBufferSize,
                                     nInBufferSize ? Address(window + layout.inputAt) : 0,
                                     nOutBufferSize ? Address(window + layout.outputAt) : 0};
  ReplyData reply;
  if (!connection->Call(&request, sizeof request, &reply)) return FALSE;
  auto returned = static_cast<DWORD>(reply.information);
  if (!IsError(reply.status) && method != kMethodInDirect && nOutBufferSize)
    memcpy(lpOutBuffer, window + layout.outputAt, std::min(returned, nOutBufferSize));
  connection->TrimWindow();
  if (lpOverlapped) {
    lpOverlapped->Internal = static_cast<ULONG_PTR>(static_cast<uint32_t>(reply.status));
    lpOverlapped->InternalHigh = returned;
  }
  if (lpBytesReturned) *lpBytesReturned = returned;
  if (IsError(reply.status) || IsWarning(reply.status)) return FailStatus(reply.status);
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

// A large write's bytes go into the window with streaming stores. The
// window's lines were last read by the daemon's thread on the other
// processor, and ordinary stores would first have to take each line back
// from there, which for a mebibyte costs more than twice the copy itself;
// streaming stores write whole lines without taking them, and the daemon
// reads them from memory once. Small writes stay with memcpy, whose lines
// are few and cheaply had.
constexpr size_t kStreamingCopyBytes = 256 << 10;

void CopyIntoWindow(uint8_t *to, const void *source, size_t length) {
#if defined(__SSE2__)
  if (length >= kStreamingCopyBytes) {
    auto from = static_cast<const uint8_t *>(source);
    size_t head = (16 - (reinterpret_cast<uintptr_t>(to) & 15)) & 15;
    memcpy(to, from, head);
    to += head, from += head, length -= head;
    size_t body = length & ~size_t(63);
    for (size_t i = 0; i < body; i += 64) {
      __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i));
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i + 16));
      __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i + 32));
      __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i + 48));
      _mm_stream_si128(reinterpret_cast<__m128i *>(to + i), a);
      _mm_stream_si128(reinterpret_cast<__m128i *>(to + i + 16), b);
      _mm_stream_si128(reinterpret_cast<__m128i *>(to + i + 32), c);
      _mm_stream_si128(reinterpret_cast<__m128i *>(to + i + 48), d);
    }
    // Visible to the daemon before the request that names them is sent.
    _mm_sfence();
    memcpy(to + body, from + body, length - body);
    return;
  }
#endif
  memcpy(to, source, length);
}

// After a large read has been copied out, the window's lines are given
// back to memory: the next read's bytes are written into them by the
// daemon's thread on the other processor, and lines still held here would
// each have to be taken back from this one first, which for a mebibyte
// costs more than the flush. Only where the processor flushes lines
// without ordering each flush (clflushopt); elsewhere they stay.
bool CanFlushLines() {
#if defined(__x86_64__)
  unsigned a, b, c, d;
  return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 23));
#else
  return false;
#endif
}

#if defined(__x86_64__)
__attribute__((target("clflushopt")))
#endif
void GiveBackWindowLines(const uint8_t *at, size_t length) {
#if defined(__x86_64__)
  static const bool canFlush = CanFlushLines();
  if (length < kStreamingCopyBytes || !canFlush) return;
  auto line = reinterpret_cast<uintptr_t>(at) & ~uintptr_t(63);
  for (auto end = reinterpret_cast<uintptr_t>(at) + length; line < end; line += 64)
    _mm_clflushopt(reinterpret_cast<void *>(line));
  _mm_sfence();
#else
  (void)at, (void)length;
#endif
}

// ReadFile and WriteFile: at the OVERLAPPED offset when one is given, else
// at the file's position. Reaching the end of a file is no failure for a
// plain synchronous read, which reads nothing, but is for one with an
// OVERLAPPED (ERROR_HANDLE_EOF).
BOOL Transfer(HANDLE hFile, bool write, void *buffer, DWORD length, LPDWORD transferred,
              LPOVERLAPPED overlapped) {
  if (transferred) *transferred = 0;
  if (overlapped) overlapped->Internal = static_cast<ULONG_PTR>(kStatusPending);
  if (length && !buffer) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  Connection *connection = ConnectionFor(hFile);
  if (!connection) return FALSE;
  // The bytes keep their place within the page, so that the device sees the
  // caller's alignment (and its MDL the caller's byte offset).
  size_t skew = reinterpret_cast<uintptr_t>(buffer) & 0xFFF;
  uint8_t *window = length ? connection->Window(skew + length) : nullptr;
  if (length && !window) return FALSE;
  if (window) window += skew;
  if (write && length) CopyIntoWindow(window, buffer, length);
  wire::TransferRequest request{
      {wire::kMagic, static_cast<uint32_t>(write ? wire::Op::Write : wire::Op::Read)},
      Address(hFile),
      overlapped ? (static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset : 0,
      static_cast<uint8_t>(overlapped ? 0 : 1),
      length,
      length ? Address(window) : 0};
  ReplyData reply;
  connection->ExpectBytes(length);
  if (!connection->Call(&request, sizeof request, &reply)) return FALSE;
  auto done = static_cast<DWORD>(std::min<uint64_t>(reply.information, length));
  if (!write && !IsError(reply.status) && done) {
    memcpy(buffer, window, done);
    GiveBackWindowLines(window, done);
  }
  connection->TrimWindow();
  if (overlapped) {
    overlapped->Internal = static_cast<ULONG_PTR>(static_cast<uint32_t>(reply.status));
    overlapped->InternalHigh = reply.information;
  }
  if (reply.status >= 0) {
    if (transferred) *transferred = done;
    return TRUE;
  }
  if (!write && reply.status == kStatusEndOfFile && !overlapped) return TRUE;
  if (IsWarning(reply.status) && transferred) *transferred = done;
  return FailStatus(reply.status);
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

BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
  Connection *connection = ConnectionFor(hFile);
  if (!connection) return FALSE;
  wire::FlushRequest request{{wire::kMagic, static_cast<uint32_t>(wire::Op::Flush)},
                             Address(hFile)};
  ReplyData reply;
  if (!connection->Call(&request, sizeof request, &reply)) return FALSE;
  if (reply.status < 0) return FailStatus(reply.status);
  return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
  if (hObject == GetCurrentThread() || hObject == GetCurrentProcess()) return TRUE;
  return CloseAnyHandle(hObject) ? TRUE : FALSE;
}
