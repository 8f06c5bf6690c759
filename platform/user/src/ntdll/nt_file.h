// What the Win32 file calls share: DOS paths made NT paths, the Nt services
// they are built on (each one request to the daemon, its buffers in the
// thread's transfer window), the records those services exchange, and the
// translation of their statuses into last errors.
#pragma once

#include <windows.h>

#include "platform/user/src/client/connection.h"

#include <string>

namespace bw::user {

// The NT records and constants the Win32 file calls use (the kernel's
// layouts; user programs of Windows reach them through ntdll).
constexpr ULONG kFileSupersede = 0, kFileOpen = 1, kFileCreate = 2, kFileOpenIf = 3,
                kFileOverwrite = 4, kFileOverwriteIf = 5;
constexpr ULONG kFileOpened = 1, kFileOverwritten = 3;
constexpr ULONG kFileDirectoryFile = 0x01, kFileWriteThrough = 0x02, kFileSequentialOnly = 0x04,
                kFileNoIntermediateBuffering = 0x08, kFileSynchronousIoNonalert = 0x20,
                kFileNonDirectoryFile = 0x40, kFileRandomAccess = 0x800,
                kFileDeleteOnClose = 0x1000, kFileOpenForBackupIntent = 0x4000;
enum : ULONG {
  kFileBothDirectoryInformation = 3,
  kFileBasicInformation = 4,
  kFileStandardInformation = 5,
  kFileInternalInformation = 6,
  kFileRenameInformation = 10,
  kFileDispositionInformation = 13,
  kFilePositionInformation = 14,
  kFileEndOfFileInformation = 20,
};
enum : ULONG {
  kFileFsVolumeInformation = 1,
  kFileFsLabelInformation = 2,
  kFileFsAttributeInformation = 5,
  kFileFsFullSizeInformation = 7,
};

#pragma pack(push, 8)
struct FileBasicInformation {
  LONGLONG CreationTime, LastAccessTime, LastWriteTime, ChangeTime;
  ULONG FileAttributes;
};
struct FileStandardInformation {
  LONGLONG AllocationSize, EndOfFile;
  ULONG NumberOfLinks;
  BOOLEAN DeletePending, Directory;
};
struct FileBothDirInformation {
  ULONG NextEntryOffset, FileIndex;
  LONGLONG CreationTime, LastAccessTime, LastWriteTime, ChangeTime, EndOfFile, AllocationSize;
  ULONG FileAttributes, FileNameLength, EaSize;
  char ShortNameLength;
  WCHAR ShortName[12];
  WCHAR FileName[1];
};
struct FileRenameInformation {
  BOOLEAN ReplaceIfExists;
  HANDLE RootDirectory;
  ULONG FileNameLength;
  WCHAR FileName[1];
};
struct FileFsVolumeInformation {
  LONGLONG VolumeCreationTime;
  ULONG VolumeSerialNumber, VolumeLabelLength;
  BOOLEAN SupportsObjects;
  WCHAR VolumeLabel[1];
};
struct FileFsAttributeInformation {
  ULONG FileSystemAttributes;
  LONG MaximumComponentNameLength;
  ULONG FileSystemNameLength;
  WCHAR FileSystemName[1];
};
struct FileFsFullSizeInformation {
  LONGLONG TotalAllocationUnits, CallerAvailableAllocationUnits, ActualAvailableAllocationUnits;
  ULONG SectorsPerAllocationUnit, BytesPerSector;
};
#pragma pack(pop)
static_assert(offsetof(FileBothDirInformation, FileName) == 94, "both entry layout");
static_assert(offsetof(FileRenameInformation, FileName) == 20, "rename record layout");
static_assert(offsetof(FileFsVolumeInformation, VolumeLabel) == 18, "volume record layout");

// The status a helper returns when the system could not be reached at
// all: the last error already says why, and Fail leaves it.
constexpr NTSTATUS kUnreachable = static_cast<NTSTATUS>(0xE0FF0001);
constexpr NTSTATUS kStatusPending = 0x00000103;
constexpr NTSTATUS kStatusBufferOverflow = static_cast<NTSTATUS>(0x80000005);
constexpr NTSTATUS kStatusNoMoreFiles = static_cast<NTSTATUS>(0x80000006);
constexpr NTSTATUS kStatusEndOfFile = static_cast<NTSTATUS>(0xC0000011);
constexpr NTSTATUS kStatusNoSuchFile = static_cast<NTSTATUS>(0xC000000F);
constexpr NTSTATUS kStatusObjectNameNotFound = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS kStatusObjectNameCollision = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS kStatusNotSameDevice = static_cast<NTSTATUS>(0xC00000D4);
constexpr NTSTATUS kStatusBufferTooSmall = static_cast<NTSTATUS>(0xC0000023);

inline bool IsError(NTSTATUS status) { return static_cast<uint32_t>(status) >= 0xC0000000u; }
inline bool IsWarning(NTSTATUS status) { return (static_cast<uint32_t>(status) >> 30) == 2; }
// Sets the last error for `status` (RtlNtStatusToDosError) and returns false.
bool Fail(NTSTATUS status);
bool FailWith(DWORD error);

// The connection a request on `handle` goes through: none, with the last
// error set, when the handle is not an open file handle or the system that
// gave it has gone.
Connection *ConnectionFor(HANDLE handle);

// A DOS path as the NT path the I/O manager opens ("R:\a\..\b" is
// "\??\R:\b"); false with the last error set for an empty path.
bool ToNtPath(LPCWSTR path, std::u16string *ntPath);
// The full DOS form of a path (relative ones against the current directory).
std::u16string FullDosPath(std::u16string_view path);

// NtCreateFile; on success *handle is a file handle of this process and
// *information what the file system answered.
NTSTATUS NtOpen(const std::u16string &ntPath, ACCESS_MASK access, ULONG share,
                ULONG disposition, ULONG options, ULONG attributes, HANDLE *handle,
                uint64_t *information = nullptr);
// Opens a DOS path (ToNtPath) the same way.
NTSTATUS OpenPath(LPCWSTR path, ACCESS_MASK access, ULONG share, ULONG disposition,
                  ULONG options, HANDLE *handle, uint64_t *information = nullptr);
// A request on `handle` with one record (wire::FileInformationRequest, or
// QueryVolume): `buffer` goes in (when `in`) and what the request returned
// comes out (when `out`). *information: what the request returned.
NTSTATUS NtFileRequest(HANDLE handle, uint32_t op, ULONG infoClass, void *buffer, ULONG length,
                       bool in, bool out, uint64_t *information = nullptr);
NTSTATUS NtQueryDirectory(HANDLE handle, void *buffer, ULONG length, ULONG infoClass,
                          bool restart, const std::u16string *name, uint64_t *information);
// Closes a handle of these calls, keeping the last error as it is.
void CloseQuietly(HANDLE handle);

}  // namespace bw::user
