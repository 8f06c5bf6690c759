// Paths the user gave, turned back into the drive-letter form the user knows.
#include "engine/system/drive_letters.h"

#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_file.h"
#include "kernel-support/ks_object.h"
#include "kernel-support/ks_string.h"
#include "kernel-support/ks_symlink.h"
#include "kernel-support/ks_token.h"

namespace {

// The rest of Path after Prefix, when Path begins with it.
BOOLEAN StripPrefix(PCUNICODE_STRING Path, PCWSTR Prefix, PUNICODE_STRING Rest) {
  UNICODE_STRING prefix;
  RtlInitUnicodeString(&prefix, Prefix);
  if (!KsStringHasPrefix(&prefix, Path, TRUE, nullptr)) return FALSE;
  Rest->Buffer = Path->Buffer + prefix.Length / sizeof(WCHAR);
  Rest->Length = static_cast<USHORT>(Path->Length - prefix.Length);
  Rest->MaximumLength = Rest->Length;
  return TRUE;
}

// Through the current user's logon-session letters: the letter whose
// target the path lies under.
NTSTATUS ThroughSessionLetters(PCUNICODE_STRING Path, PUNICODE_STRING *Result) {
  KS_TOKEN token;
  NTSTATUS status = KsReferenceToken(nullptr, PsGetCurrentProcess(), &token);
  if (!NT_SUCCESS(status)) return status;
  LUID logonId;
  status = KsQueryTokenLogonId(&token, &logonId);
  KsReleaseToken(&token);
  if (!NT_SUCCESS(status)) return status;
  // Every logon session's DosDevices directory lies under session 0,
  // whichever session the process runs in: that is where its letters are.
  for (WCHAR letter = 'A'; letter <= 'Z'; ++letter) {
    PUNICODE_STRING link = nullptr;
    status = MakeSessionLetterLink(logonId, letter, &link);
    if (!NT_SUCCESS(status)) return status;
    PUNICODE_STRING target = nullptr;
    status = KsQuerySymbolicLink(link, &target);
    KsFreeString(&link);
    if (!NT_SUCCESS(status)) continue;
    BOOLEAN restIsPath = FALSE;
    BOOLEAN under = KsStringHasPrefix(target, Path, TRUE, &restIsPath) &&
                    (restIsPath || Path->Length == target->Length);
    if (under) {
      UNICODE_STRING rest;
      rest.Buffer = Path->Buffer + target->Length / sizeof(WCHAR);
      rest.Length = static_cast<USHORT>(Path->Length - target->Length);
      rest.MaximumLength = rest.Length;
      status = KsFormatString(Result, KS_WSTR("%c:%wZ"), letter, &rest);
      KsFreeString(&target);
      return status;
    }
    KsFreeString(&target);
  }
  return STATUS_OBJECT_NAME_NOT_FOUND;
}

// Opens the path and asks the system for the drive-letter name of the file.
NTSTATUS ThroughOpenedFile(PCUNICODE_STRING Path, PUNICODE_STRING *Result) {
  HANDLE file;
  NTSTATUS status = KsOpenFile(&file, Path, SYNCHRONIZE | FILE_READ_DATA,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, 0);
  if (status == STATUS_SHARING_VIOLATION)
    status = KsOpenFile(&file, Path, SYNCHRONIZE | FILE_LIST_DIRECTORY,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN, FILE_DIRECTORY_FILE);
  if (!NT_SUCCESS(status)) return status;
  PFILE_OBJECT fileObject;
  status = KsReferenceObjectByHandle(file, 0, *IoFileObjectType, KernelMode, reinterpret_cast<PVOID *>(&fileObject));
  ZwClose(file);
  if (!NT_SUCCESS(status)) return status;
  POBJECT_NAME_INFORMATION name = nullptr;
  status = IoQueryFileDosDeviceName(fileObject, &name);
  KsReleaseObject(&fileObject);
  if (!NT_SUCCESS(status)) return status;
  status = KsDuplicateString(&name->Name, Result);
  ExFreePool(name);
  return status;
}

}  // namespace

NTSTATUS ToDriveLetterPath(PCUNICODE_STRING Path, PUNICODE_STRING *Result) {
  if (!Path || !Result) return STATUS_INVALID_PARAMETER;
  *Result = nullptr;
  if (!Path->Length || Path->Buffer[0] != '\\') return KsDuplicateString(Path, Result);
  UNICODE_STRING rest;
  if (StripPrefix(Path, KS_WSTR("\\??\\"), &rest) || StripPrefix(Path, KS_WSTR("\\DosDevices\\"), &rest))
    return KsDuplicateString(&rest, Result);
  NTSTATUS status = ThroughSessionLetters(Path, Result);
  if (NT_SUCCESS(status)) return status;
  NTSTATUS opened = ThroughOpenedFile(Path, Result);
  return NT_SUCCESS(opened) ? opened : status;
}
