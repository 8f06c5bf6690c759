// The position and size of open files: SetFilePointerEx, SetEndOfFile and
// GetFileSizeEx, through the file's position and standard information as
// kernel32 asks for them.
#include "platform/user/src/ntdll/nt_file.h"

using namespace bw;
using namespace bw::user;

namespace {

constexpr uint32_t kQuery = static_cast<uint32_t>(wire::Op::QueryInformation);
constexpr uint32_t kSet = static_cast<uint32_t>(wire::Op::SetInformation);

NTSTATUS Position(HANDLE file, LONGLONG *position) {
  return NtFileRequest(file, kQuery, kFilePositionInformation, position, sizeof *position, false,
                       true);
}

NTSTATUS Size(HANDLE file, LONGLONG *size) {
  FileStandardInformation standard{};
  NTSTATUS status = NtFileRequest(file, kQuery, kFileStandardInformation, &standard,
                                  sizeof standard, false, true);
  *size = standard.EndOfFile;
  return status;
}

}  // namespace

BOOL WINAPI SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove,
                             PLARGE_INTEGER lpNewFilePointer, DWORD dwMoveMethod) {
  LONGLONG base = 0;
  NTSTATUS status = 0;
  switch (dwMoveMethod) {
    case FILE_BEGIN: break;
    case FILE_CURRENT: status = Position(hFile, &base); break;
    case FILE_END: status = Size(hFile, &base); break;
    default: return FailWith(ERROR_INVALID_PARAMETER);
  }
  if (status < 0) return Fail(status);
  LONGLONG to = base + liDistanceToMove.QuadPart;
  if (to < 0) return FailWith(ERROR_NEGATIVE_SEEK);
  status = NtFileRequest(hFile, kSet, kFilePositionInformation, &to, sizeof to, true, false);
  if (status < 0) return Fail(status);
  if (lpNewFilePointer) lpNewFilePointer->QuadPart = to;
  return TRUE;
}

BOOL WINAPI SetEndOfFile(HANDLE hFile) {
  LONGLONG position = 0;
  NTSTATUS status = Position(hFile, &position);
  if (status < 0) return Fail(status);
  status = NtFileRequest(hFile, kSet, kFileEndOfFileInformation, &position, sizeof position, true,
                         false);
  if (status < 0) return Fail(status);
  return TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize) {
  if (!lpFileSize) return FailWith(ERROR_INVALID_PARAMETER);
  LONGLONG size = 0;
  NTSTATUS status = Size(hFile, &size);
  if (status < 0) return Fail(status);
  lpFileSize->QuadPart = size;
  return TRUE;
}
