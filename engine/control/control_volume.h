// The volume a control request names: its input record checked and read,
// and the volume referenced, with the statuses every such handler answers,
// in their order.
#pragma once

#include "engine/control/control_request.h"
#include "engine/protocol/engine_protocol.h"
#include "engine/volume/volume_table.h"

// What a handler asks of a request beyond a well-formed input record.
struct VolumeRequestRules {
  ULONG ReplyLength = 0;           // the exact output length it needs; 0 for any
  BOOLEAN HandleOptional = FALSE;  // handle 0 gives no volume instead of STATUS_INVALID_HANDLE
};

// How each input record is taken from the request: a fixed record must fill
// the input exactly; a record with strings needs its head and then lengths
// that add up.
template <typename Record>
struct VolumeRequestInput {
  static BOOLEAN LengthFits(ULONG Length) { return Length == sizeof(Record); }
  static BOOLEAN Read(const ControlRequest *Request, Record *Out) {
    ReadRecord(Request, Out);
    return TRUE;
  }
  static ULONG64 Handle(const Record &In) { return In.VolumeHandle; }
};

template <>
struct VolumeRequestInput<SaveImageRequestParts> {
  // Without a path the record still carries its two trailing zero bytes.
  static BOOLEAN LengthFits(ULONG Length) { return Length >= SaveImageRequestSize(0); }
  static BOOLEAN Read(const ControlRequest *Request, SaveImageRequestParts *Out) {
    return SaveImageRequestParse(Request->Buffer, Request->InputLength, Out) == ENGINE_PARSE_OK;
  }
  static ULONG64 Handle(const SaveImageRequestParts &In) { return In.Head.VolumeHandle; }
};

template <>
struct VolumeRequestInput<FormatRequestParts> {
  static BOOLEAN LengthFits(ULONG Length) { return Length >= sizeof(FormatRequest); }
  static BOOLEAN Read(const ControlRequest *Request, FormatRequestParts *Out) {
    return FormatRequestParse(Request->Buffer, Request->InputLength, Out) == ENGINE_PARSE_OK;
  }
  static ULONG64 Handle(const FormatRequestParts &In) { return In.Head.VolumeHandle; }
};

// Checks of a record's own fields that come before the volume is looked up.
struct AnyVolumeRequest {
  template <typename Input>
  NTSTATUS operator()(const Input &) const {
    return STATUS_SUCCESS;
  }
};

// Reads the input record into *Input and references the volume it names
// into *Volume (null with HandleOptional and handle 0); the caller releases
// it with VolumeRelease. Answers, in this order: STATUS_INVALID_BUFFER_SIZE
// for an input of the wrong length, STATUS_BUFFER_TOO_SMALL for the wrong
// output length, STATUS_INVALID_USER_BUFFER without a buffer,
// STATUS_INVALID_BUFFER_SIZE for string lengths that do not add up, the
// status of CheckInput, STATUS_INVALID_HANDLE for a handle that names no
// live volume.
template <typename Input, typename Check = AnyVolumeRequest>
NTSTATUS ReferenceRequestVolume(ControlRequest *Request, Input *Record, VolumeBlock **Volume,
                                VolumeRequestRules Rules = {}, Check CheckInput = {}) {
  using Shape = VolumeRequestInput<Input>;
  *Volume = nullptr;
  if (!Shape::LengthFits(Request->InputLength)) return STATUS_INVALID_BUFFER_SIZE;
  if (Rules.ReplyLength && Request->OutputLength != Rules.ReplyLength) return STATUS_BUFFER_TOO_SMALL;
  if (!Request->Buffer) return STATUS_INVALID_USER_BUFFER;
  if (!Shape::Read(Request, Record)) return STATUS_INVALID_BUFFER_SIZE;
  NTSTATUS status = CheckInput(*Record);
  if (!NT_SUCCESS(status)) return status;
  ULONG64 handle = Shape::Handle(*Record);
  if (handle == 0 && Rules.HandleOptional) return STATUS_SUCCESS;
  return VolumeReference(handle, Volume);
}
