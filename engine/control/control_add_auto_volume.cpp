// AddAutoVolume: record a volume the engine creates at every start.
#include "engine/auto/auto_volume_keys.h"
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
  NTSTATUS status = AutoVolumeCheck(&parts);
  if (!NT_SUCCESS(status)) return status;
  return AutoVolumeWriteKey(&parts);
}
