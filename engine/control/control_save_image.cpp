// SaveImage: write a volume to its image file or to another one.
#include "engine/control/control_request.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/image/image_requests.h"
#include "kernel-support/ks_alloc.h"
#include "kernel-support/ks_string.h"
#include "engine/volume/volume_device.h"
#include "engine/volume/volume_table.h"


NTSTATUS ControlSaveImage(ControlRequest *Request) {
  // Without a path the record still carries its two trailing zero bytes.
  if (Request->InputLength < SaveImageRequestSize(0)) return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  SaveImageRequest input;
  ReadRecord(Request, &input);
  if (Request->InputLength != SaveImageRequestSize(input.TargetPathLength)) return STATUS_INVALID_BUFFER_SIZE;
  if (input.TargetPathLength % sizeof(WCHAR)) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  VolumeBlock *volume;
  NTSTATUS status = VolumeReference(input.VolumeHandle, &volume);
  if (!NT_SUCCESS(status)) return status;

  PUNICODE_STRING path = nullptr;
  if (!volume->Store) status = STATUS_INVALID_DEVICE_STATE;
  if (NT_SUCCESS(status) && input.TargetPathLength) {
    // The path lies unaligned inside the request.
    PWSTR text = static_cast<PWSTR>(KsAllocate(input.TargetPathLength, KS_TAG_PATH, PagedPool));
    status = STATUS_INSUFFICIENT_RESOURCES;
    if (text) {
      RtlCopyMemory(text, RequestBytes(Request) + sizeof(SaveImageRequest), input.TargetPathLength);
      status = KsStringFromWide(text, input.TargetPathLength, &path);
      KsFree(&text);
    }
  }
  if (NT_SUCCESS(status) && (input.SaveFlags & ENGINE_SAVE_FLUSH_FIRST) && !VolumeHasFlags(volume, VOLUME_READ_ONLY)) {
    status = VolumeFlushFileSystem(volume);
  }
  if (NT_SUCCESS(status)) status = ImageSave(volume->Store, input.SaveFlags, path);
  KsFreeString(&path);
  VolumeRelease(&volume);
  return status;
}
