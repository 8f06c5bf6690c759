// DeleteAutoVolume: forget the automatic volume of one drive letter.
#include "engine/control/control_request.h"
#include "engine/start/engine.h"
#include "engine/protocol/engine_protocol.h"
#include "kernel-support/ks_registry.h"

NTSTATUS ControlDeleteAutoVolume(ControlRequest *Request) {
  if (Request->InputLength != sizeof(DeleteAutoVolumeRequest)) return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  DeleteAutoVolumeRequest input;
  ReadRecord(Request, &input);
  WCHAR letter = UpcaseLetter(input.DriveLetter);
  // Only letters name automatic volumes; anything else has no entry to delete.
  if (!IsDriveLetter(letter)) return STATUS_SUCCESS;
  WCHAR keyName[2] = {letter, u':'};
  UNICODE_STRING name{sizeof(keyName), sizeof(keyName), keyName};
  EngineLock(&Engine.AutoConfigMutex);
  NTSTATUS status = KsDeleteKey(Engine.AutoKey, &name);
  EngineUnlock(&Engine.AutoConfigMutex);
  // Whatever says the subkey is not there means it is gone.
  switch (status) {
    case STATUS_NOT_FOUND:
    case STATUS_OBJECT_NAME_INVALID:
    case STATUS_OBJECT_NAME_NOT_FOUND:
    case STATUS_OBJECT_PATH_INVALID:
    case STATUS_OBJECT_PATH_NOT_FOUND:
    case STATUS_OBJECT_PATH_SYNTAX_BAD:
    case STATUS_BAD_NETWORK_PATH:
      return STATUS_SUCCESS;
    default:
      return status;
  }
}
