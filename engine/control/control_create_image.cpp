// CreateImage: create and format a new image file.
#include "engine/control/control_request.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/image/image_requests.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_string.h"

namespace {

// A counted string of UTF-16 bytes that lie unaligned inside the request.
NTSTATUS CopyPath(const UCHAR *Bytes, ULONG Length, PUNICODE_STRING *Path) {
  PWSTR text = static_cast<PWSTR>(KsAllocate(Length, KS_TAG_PATH, PagedPool));
  if (!text) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(text, Bytes, Length);
  NTSTATUS status = KsStringFromWide(text, Length, Path);
  KsFree(&text);
  return status;
}

// The label as the formatter takes it: 8-bit characters and a NUL.
PSTR CopyLabel(const UCHAR *Bytes, ULONG Length) {
  PSTR label = static_cast<PSTR>(KsAllocate(Length + 1, KS_TAG_BUFFER, PagedPool));
  if (!label) return nullptr;
  RtlCopyMemory(label, Bytes, Length);
  label[Length] = '\0';
  return label;
}

}  // namespace

NTSTATUS ControlCreateImage(ControlRequest *Request) {
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

  const UCHAR *pathBytes = RequestBytes(Request) + sizeof(CreateImageRequest);
  const UCHAR *keyBytes = pathBytes + input.ImagePathLength;
  const UCHAR *labelBytes = keyBytes + input.PasswordLength;
  PUNICODE_STRING path = nullptr;
  PSTR label = nullptr;
  NTSTATUS status = CopyPath(pathBytes, input.ImagePathLength, &path);
  if (NT_SUCCESS(status)) {
    label = CopyLabel(labelBytes, input.LabelLength);
    if (!label) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    ImageCreateParameters parameters = {};
    parameters.Path = path;
    parameters.AlgorithmId = input.AlgorithmId;
    parameters.Key = keyBytes;
    parameters.KeyLength = input.PasswordLength;
    parameters.Layout = input.ImageKind;
    parameters.Size = input.ImageSize;
    parameters.Overwrite = input.Overwrite != 0;
    parameters.FileSystem = input.FileSystem;
    parameters.Label = label;
    status = ImageCreate(&parameters);
  }
  KsFreeString(&path);
  KsFree(&label);
  // An existing file is answered before anything happened.
  if (status == STATUS_OBJECT_NAME_EXISTS) return status;
  // The password travels in the request: it does not outlive it.
  RtlZeroMemory(Request->Buffer, Request->InputLength);
  if (status == STATUS_IMPLEMENTATION_LIMIT) {
    // The size does not suit the file system: told in the reply.
    CreateImageReply reply = {status};
    RtlCopyMemory(Request->Buffer, &reply, sizeof(reply));
    Request->Information = sizeof(reply);
    return STATUS_SUCCESS;
  }
  return status;
}
