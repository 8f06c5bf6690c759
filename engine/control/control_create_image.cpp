// CreateImage: create and format a new image file.
#include "engine/control/control_request.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/image/image_requests.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_string.h"

namespace {

// The label as the formatter takes it: 8-bit characters and a NUL.
PSTR CopyLabel(EngineBytes Label) {
  PSTR label = static_cast<PSTR>(KsAllocate(Label.Length + 1, KS_TAG_BUFFER, PagedPool));
  if (!label) return nullptr;
  RtlCopyMemory(label, Label.Data, Label.Length);
  label[Label.Length] = '\0';
  return label;
}

}  // namespace

NTSTATUS ControlCreateImage(ControlRequest *Request) {
  if (Request->InputLength < sizeof(CreateImageRequest)) return STATUS_INVALID_BUFFER_SIZE;
  if (Request->OutputLength != sizeof(CreateImageReply)) return STATUS_BUFFER_TOO_SMALL;
  if (!Request->Buffer) return STATUS_INVALID_PARAMETER;
  CreateImageRequestParts input;
  if (CreateImageRequestParse(Request->Buffer, Request->InputLength, &input) != ENGINE_PARSE_OK)
    return STATUS_INVALID_BUFFER_SIZE;
  // Half a character is no path either.
  if (input.ImagePath.Length < sizeof(WCHAR) || input.ImagePath.Length % sizeof(WCHAR))
    return STATUS_OBJECT_PATH_SYNTAX_BAD;

  PUNICODE_STRING path = nullptr;
  PSTR label = nullptr;
  NTSTATUS status = RequestPathString(input.ImagePath, &path);
  if (NT_SUCCESS(status)) {
    label = CopyLabel(input.Label);
    if (!label) status = STATUS_INSUFFICIENT_RESOURCES;
  }
  if (NT_SUCCESS(status)) {
    ImageCreateParameters parameters = {};
    parameters.Path = path;
    parameters.AlgorithmId = input.Head.AlgorithmId;
    parameters.Key = input.Password.Data;
    parameters.KeyLength = input.Password.Length;
    parameters.Layout = input.Head.ImageKind;
    parameters.Size = input.Head.ImageSize;
    parameters.Overwrite = input.Head.Overwrite != 0;
    parameters.FileSystem = input.Head.FileSystem;
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
