// AddAutoVolume: record a volume the engine creates at every start.
#include "engine/control/control_request.h"
#include "engine/protocol/engine_protocol.h"

NTSTATUS ControlAddAutoVolume(ControlRequest *Request) {
  if (Request->InputLength < sizeof(VV_AUTO_VOLUME_DATA)) return STATUS_INVALID_BUFFER_SIZE;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  AutoVolumeDataParts parts;
  EngineParseResult parsed = AutoVolumeDataParse(Request->Buffer, Request->InputLength, &parts);
  if (parsed == ENGINE_PARSE_BAD_LENGTH) return STATUS_INVALID_BUFFER_SIZE;
  // More than 26 additional letters: the checks that once came before this
  // one all answer the same.
  if (parsed != ENGINE_PARSE_OK) return STATUS_INVALID_PARAMETER;
  const VV_AUTO_VOLUME_DATA &input = parts.Head;

  if (!IsDriveLetter(input.DriveLetter)) return STATUS_INVALID_PARAMETER;
  if (input.FileSystem > ENGINE_FS_LAST) return STATUS_INVALID_PARAMETER;
  // A volume that mounts its image directly needs one.
  if (!(input.MountFlags & ENGINE_MOUNT_MEMORY) && input.ImageFilePathLength == 0)
    return STATUS_INVALID_PARAMETER;
  if (input.InitialFoldersLength % sizeof(WCHAR)) return STATUS_INVALID_PARAMETER;
  if (input.ImageFilePathLength % sizeof(WCHAR)) return STATUS_OBJECT_PATH_SYNTAX_BAD;
  for (UCHAR i = 0; i < input.AdditionalLetterCount; ++i)
    if (!IsDriveLetter(input.AdditionalLetters[i])) return STATUS_INVALID_PARAMETER;
  // Writing the record comes with the automatic volumes themselves.
  return STATUS_NOT_IMPLEMENTED;
}
