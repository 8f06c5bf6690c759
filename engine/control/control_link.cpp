// Link: assign or remove the drive letters of a volume, or drop the
// session-local links of a logon session.
#include "engine/control/control_volume.h"
#include "engine/system/logon_sessions.h"
#include "engine/volume/volume_parts.h"

namespace {

NTSTATUS AssignLetters(ControlRequest *Request, const LinkRequest &Input, VolumeBlock *Volume) {
  if (VolumeHasAnyFlag(Volume, VOLUME_HAS_LETTER)) return STATUS_TOO_MANY_LINKS;
  if (!Volume->DeviceName && !VolumeHasAnyFlag(Volume, VOLUME_DISK_EMULATION))
    return STATUS_INVALID_DEVICE_STATE;
  if (Input.AdditionalLetterCount > ENGINE_MAX_ADDITIONAL_LETTERS) return STATUS_INVALID_PARAMETER;
  if (!IsDriveLetter(Input.DriveLetter)) return STATUS_OBJECT_NAME_INVALID;
  WCHAR additional[ENGINE_MAX_ADDITIONAL_LETTERS];
  for (UCHAR i = 0; i < Input.AdditionalLetterCount; ++i) {
    additional[i] = Input.AdditionalLetters[i];
    if (!IsDriveLetter(additional[i])) return STATUS_OBJECT_NAME_INVALID;
  }
  // The requester's token, not the request's bytes, says whose session a
  // session-local letter lives in.
  return VolumeAssignLetters(Volume, Input.DriveLetter, additional, Input.AdditionalLetterCount,
                             Input.SessionLocal ? TRUE : FALSE, Input.PartitionSelector, Request->Irp);
}

NTSTATUS RemoveLetters(const LinkRequest &Input, VolumeBlock *Volume) {
  NTSTATUS status = STATUS_SUCCESS;
  // A disk's partitions have names of their own where an own device has one.
  if (VolumeHasAnyFlag(Volume, VOLUME_HAS_LETTER) &&
      (Volume->DeviceName || VolumeHasAnyFlag(Volume, VOLUME_DISK_EMULATION)))
    status = VolumeRemoveLetters(Volume, Input.PartitionSelector);
  if (!NT_SUCCESS(status)) return status;
  return VolumeRemoveIfUnmounted(Volume);
}

}  // namespace

NTSTATUS ControlLink(ControlRequest *Request) {
  // Dropping a logon session's links names no volume.
  LinkRequest input;
  VolumeBlock *volume;
  NTSTATUS status = ReferenceRequestVolume(Request, &input, &volume, {.HandleOptional = TRUE});
  if (!NT_SUCCESS(status)) return status;
  if (!volume && input.Operation != ENGINE_LINK_DROP_SESSION) return STATUS_INVALID_HANDLE;

  switch (input.Operation) {
    case ENGINE_LINK_CREATE:
      status = AssignLetters(Request, input, volume);
      break;
    case ENGINE_LINK_DELETE:
      status = RemoveLetters(input, volume);
      break;
    case ENGINE_LINK_DROP_SESSION: {
      LUID logonId;
      logonId.LowPart = static_cast<ULONG>(input.LogonSessionId);
      logonId.HighPart = static_cast<LONG>(input.LogonSessionId >> 32);
      DropLogonSessionLinks(logonId);
      status = STATUS_SUCCESS;
      break;
    }
    default:
      status = STATUS_INVALID_DEVICE_REQUEST;
      break;
  }
  VolumeRelease(&volume);
  return status;
}
