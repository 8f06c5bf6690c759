// Image files: sizes, header copies and the selection of the algorithm.
#include "engine/image/image_file.h"

#include "engine/image/cipher.h"
#include "kernel-support/ks_file.h"

namespace {

constexpr ULONG HEADER_BLOCK = IMAGE_HEADER_BLOCK_SIZE;

// Size rules that both header copies share, and copy 2's own.
NTSTATUS CheckSizeForCopy(ULONGLONG Size, ULONG Copy) {
  if (Size < HEADER_BLOCK || Size % 512 != 0) return STATUS_FILE_CORRUPT_ERROR;
  if (Copy == IMAGE_COPY_SECOND && Size < 2 * HEADER_BLOCK) return STATUS_FILE_CORRUPT_ERROR;
  return STATUS_SUCCESS;
}

ULONGLONG CopyOffset(ULONGLONG Size, ULONG Copy) { return Copy == IMAGE_COPY_SECOND ? Size - HEADER_BLOCK : 0; }

// A header block in pool: whole sectors from an aligned buffer, as
// unbuffered files want them.
PUCHAR AllocateBlock() {
  PUCHAR block = static_cast<PUCHAR>(KsAllocate(HEADER_BLOCK, IMAGE_HEADER_TAG));
  if (block) RtlZeroMemory(block, HEADER_BLOCK);
  return block;
}

}  // namespace

NTSTATUS ImageOpenFile(PCUNICODE_STRING Path, ACCESS_MASK Access, ULONG ShareAccess, ULONG Disposition,
                       ULONG Options, PHANDLE File) {
  *File = nullptr;
  if (!Path || Path->Length < sizeof(WCHAR)) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  return KsOpenFile(File, Path, Access, ShareAccess, Disposition, Options | FILE_NON_DIRECTORY_FILE);
}

NTSTATUS ImageQueryFileSize(HANDLE File, PULONGLONG Size) {
  *Size = 0;
  FILE_STANDARD_INFORMATION info = {};
  IO_STATUS_BLOCK iosb = {};
  NTSTATUS status = ZwQueryInformationFile(File, &iosb, &info, sizeof(info), FileStandardInformation);
  if (!NT_SUCCESS(status)) return status;
  if (info.EndOfFile.QuadPart < 0) return STATUS_FILE_INVALID;
  *Size = static_cast<ULONGLONG>(info.EndOfFile.QuadPart);
  return STATUS_SUCCESS;
}

NTSTATUS ImageQueryPathSize(PCUNICODE_STRING Path, PULONGLONG Size) {
  *Size = 0;
  if (!Path || Path->Length < sizeof(WCHAR)) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, const_cast<PUNICODE_STRING>(Path), OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                             nullptr, nullptr);
  FILE_NETWORK_OPEN_INFORMATION info = {};
  NTSTATUS status = ZwQueryFullAttributesFile(&attributes, &info);
  if (!NT_SUCCESS(status)) return status;
  if (info.EndOfFile.QuadPart < 0) return STATUS_FILE_INVALID;
  *Size = static_cast<ULONGLONG>(info.EndOfFile.QuadPart);
  return STATUS_SUCCESS;
}

NTSTATUS ImageSetFileSize(HANDLE File, ULONGLONG Size) {
  FILE_END_OF_FILE_INFORMATION info;
  info.EndOfFile.QuadPart = static_cast<LONGLONG>(Size);
  IO_STATUS_BLOCK iosb = {};
  return ZwSetInformationFile(File, &iosb, &info, sizeof(info), FileEndOfFileInformation);
}

BOOLEAN ImageFileExists(PCUNICODE_STRING Path) {
  ULONGLONG size = 0;
  NTSTATUS status = ImageQueryPathSize(Path, &size);
  return NT_SUCCESS(status) || status == STATUS_SHARING_VIOLATION || status == STATUS_ACCESS_DENIED;
}

NTSTATUS ImageMarkForDeletion(HANDLE File) {
  FILE_DISPOSITION_INFORMATION info;
  info.DeleteFile = TRUE;
  IO_STATUS_BLOCK iosb = {};
  return ZwSetInformationFile(File, &iosb, &info, sizeof(info), FileDispositionInformation);
}

NTSTATUS ImageDeleteFile(PCUNICODE_STRING Path) {
  HANDLE file;
  NTSTATUS status = ImageOpenFile(Path, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  FILE_OPEN, 0, &file);
  if (!NT_SUCCESS(status)) return status;
  status = ImageMarkForDeletion(file);
  ZwClose(file);
  return status;
}

NTSTATUS ImageReadAt(HANDLE File, PVOID Buffer, ULONG Length, ULONGLONG Offset) {
  IO_STATUS_BLOCK iosb = {};
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(Offset);
  NTSTATUS status = ZwReadFile(File, nullptr, nullptr, nullptr, &iosb, Buffer, Length, &at, nullptr);
  if (NT_SUCCESS(status) && iosb.Information < Length) status = STATUS_END_OF_FILE;
  return status;
}

NTSTATUS ImageWriteAt(HANDLE File, const VOID *Buffer, ULONG Length, ULONGLONG Offset) {
  IO_STATUS_BLOCK iosb = {};
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(Offset);
  NTSTATUS status = ZwWriteFile(File, nullptr, nullptr, nullptr, &iosb, const_cast<VOID *>(Buffer), Length,
                                &at, nullptr);
  if (NT_SUCCESS(status) && iosb.Information < Length) status = STATUS_IO_DEVICE_ERROR;
  return status;
}

NTSTATUS ImageReadHeaderCopy(HANDLE File, ULONG Copy, ImageHeader *Header) {
  ULONGLONG size = 0;
  NTSTATUS status = ImageQueryFileSize(File, &size);
  if (!NT_SUCCESS(status)) return status;
  status = CheckSizeForCopy(size, Copy);
  if (!NT_SUCCESS(status)) return status;
  PUCHAR block = AllocateBlock();
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  status = ImageReadAt(File, block, HEADER_BLOCK, CopyOffset(size, Copy));
  if (status == STATUS_END_OF_FILE) status = STATUS_DATA_ERROR;
  if (NT_SUCCESS(status)) RtlCopyMemory(Header, block, sizeof(ImageHeader));
  KsFree(&block);
  return status;
}

NTSTATUS ImageReadHeaderCopyByPath(PCUNICODE_STRING Path, ULONG Copy, ImageHeader *Header) {
  HANDLE file;
  NTSTATUS status = ImageOpenFile(Path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN, 0, &file);
  if (!NT_SUCCESS(status)) return status;
  status = ImageReadHeaderCopy(file, Copy, Header);
  ZwClose(file);
  return status;
}

NTSTATUS ImageWriteHeaderCopy(HANDLE File, ULONG Copy, const ImageHeader *Header) {
  ULONGLONG size = 0;
  NTSTATUS status = ImageQueryFileSize(File, &size);
  if (!NT_SUCCESS(status)) return status;
  if (size < 2 * HEADER_BLOCK) return STATUS_FILE_INVALID;
  PUCHAR block = AllocateBlock();
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(block, Header, sizeof(ImageHeader));
  status = ImageWriteAt(File, block, HEADER_BLOCK, CopyOffset(size, Copy));
  KsFree(&block);
  return status;
}

NTSTATUS ImageSelectAlgorithm(PCUNICODE_STRING Path, PULONG AlgorithmId, PULONG Outcome) {
  *AlgorithmId = CIPHER_ALGORITHM_NONE;
  *Outcome = IMAGE_OUTCOME_UNKNOWN;
  ULONGLONG size = 0;
  NTSTATUS status = ImageQueryPathSize(Path, &size);
  if (!NT_SUCCESS(status)) return status;
  if (size < HEADER_BLOCK || size % 512 != 0) return STATUS_FILE_CORRUPT_ERROR;

  ImageHeader header;
  BOOLEAN repair = FALSE;
  if (NT_SUCCESS(ImageReadHeaderCopyByPath(Path, IMAGE_COPY_FIRST, &header))) {
    ULONG check = ImageCheckHeader(&header);
    if (check == IMAGE_OUTCOME_SUCCESS) {
      *AlgorithmId = header.AlgorithmId;
      *Outcome = IMAGE_OUTCOME_SUCCESS;
      return STATUS_SUCCESS;
    }
    *Outcome = check;
    repair = TRUE;
  }
  status = ImageReadHeaderCopyByPath(Path, IMAGE_COPY_SECOND, &header);
  if (!NT_SUCCESS(status)) return status;
  ULONG check = ImageCheckHeader(&header);
  if (check != IMAGE_OUTCOME_SUCCESS) {
    *Outcome = check;
    return STATUS_FILE_CORRUPT_ERROR;
  }
  *Outcome = IMAGE_OUTCOME_SUCCESS;
  if (repair) {
    HANDLE file;
    status = ImageOpenFile(Path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, FILE_OPEN, 0, &file);
    if (!NT_SUCCESS(status)) return status;
    status = ImageWriteHeaderCopy(file, IMAGE_COPY_FIRST, &header);
    if (NT_SUCCESS(status)) status = KsFlushFile(file);
    ZwClose(file);
    if (!NT_SUCCESS(status)) return status;
  }
  *AlgorithmId = header.AlgorithmId;
  return STATUS_SUCCESS;
}
