// CreateImage: create and format a new image file.
#include "control_request.h"
#include "engine_protocol.h"
#include "ks_alloc.h"
#include "ks_file.h"
#include "ks_string.h"

namespace {

// Whether something already answers to Path. A file that is there but
// cannot be opened for us still exists.
BOOLEAN FileExists(const UCHAR *Path, ULONG Length) {
  // The path is unaligned inside the request: copy it into a string first.
  PUNICODE_STRING name = nullptr;
  PWSTR text = static_cast<PWSTR>(KsAllocate(Length, KS_TAG_PATH, PagedPool));
  if (!text) return FALSE;
  RtlCopyMemory(text, Path, Length);
  NTSTATUS status = KsStringFromWide(text, Length, &name);
  KsFree(&text);
  if (!NT_SUCCESS(status)) return FALSE;
  HANDLE file;
  status = KsOpenFile(&file, name, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      FILE_OPEN, 0);
  KsFreeString(&name);
  if (NT_SUCCESS(status)) {
    ZwClose(file);
    return TRUE;
  }
  return status == STATUS_SHARING_VIOLATION || status == STATUS_ACCESS_DENIED;
}

}  // namespace

NTSTATUS HandleCreateImage(ControlRequest *Request) {
  if (Request->InputLength < sizeof(CreateImageRequest)) return STATUS_INVALID_BUFFER_SIZE;
  if (Request->OutputLength != sizeof(CreateImageReply)) return STATUS_BUFFER_TOO_SMALL;
  if (!Request->Buffer) return STATUS_INVALID_PARAMETER;
  CreateImageRequest input;
  ReadRecord(Request, &input);
  if (Request->InputLength !=
      CreateImageRequestSize(input.ImagePathLength, input.PasswordLength, input.LabelLength))
    return STATUS_INVALID_BUFFER_SIZE;
  // Half a character is no path either.
  if (input.ImagePathLength < sizeof(WCHAR) || input.ImagePathLength % sizeof(WCHAR))
    return STATUS_OBJECT_PATH_SYNTAX_BAD;
  if (!input.Overwrite && FileExists(RequestBytes(Request) + sizeof(CreateImageRequest), input.ImagePathLength))
    return STATUS_OBJECT_NAME_EXISTS;
  // The password travels in the request: it does not outlive it.
  NTSTATUS status = input.AlgorithmId == ENGINE_ALGORITHM_NONE ? STATUS_INVALID_PARAMETER
                                                                : STATUS_NOT_IMPLEMENTED;
  RtlZeroMemory(Request->Buffer, Request->InputLength);
  return status;
}
