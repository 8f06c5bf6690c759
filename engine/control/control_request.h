// One control request on the control device, and its handlers.
#pragma once

#include "engine/protocol/engine_protocol.h"
#include "kernel-support/kernel.h"

struct ControlRequest {
  PIRP Irp;
  PVOID Buffer;  // the system buffer: input, then output over it
  ULONG InputLength;
  ULONG OutputLength;
  ULONG_PTR Information;  // bytes of output on success
};

typedef NTSTATUS CONTROL_HANDLER(ControlRequest *Request);

// Runs the caller filter and the handler of Code.
NTSTATUS ControlDispatch(ULONG Code, ControlRequest *Request);

CONTROL_HANDLER ControlCreateImage;
CONTROL_HANDLER ControlMountImage;
CONTROL_HANDLER ControlCreateMemoryVolume;
CONTROL_HANDLER ControlUnmount;
CONTROL_HANDLER ControlSaveImage;
CONTROL_HANDLER ControlGetDeviceName;
CONTROL_HANDLER ControlRegisterNotification;
CONTROL_HANDLER ControlQueryVolumeInformation;
CONTROL_HANDLER ControlListVolumes;
CONTROL_HANDLER ControlLink;
CONTROL_HANDLER ControlGetImageFilePath;
CONTROL_HANDLER ControlSetProperties;
CONTROL_HANDLER ControlAddAutoVolume;
CONTROL_HANDLER ControlGetAutoVolumes;
CONTROL_HANDLER ControlDeleteAutoVolume;
CONTROL_HANDLER ControlDeleteAllAutoVolumes;
CONTROL_HANDLER ControlFormatVolume;
CONTROL_HANDLER ControlSetFlushState;

// Shared pieces of the handlers.

// Copies a fixed-size packed record out of the request buffer.
template <typename Record>
inline VOID ReadRecord(const ControlRequest *Request, Record *Out) {
  RtlCopyMemory(Out, Request->Buffer, sizeof(Record));
}
inline BOOLEAN IsDriveLetter(WCHAR Letter) {
  return (Letter >= u'A' && Letter <= u'Z') || (Letter >= u'a' && Letter <= u'z');
}
inline WCHAR UpcaseLetter(WCHAR Letter) {
  return (Letter >= u'a' && Letter <= u'z') ? static_cast<WCHAR>(Letter - u'a' + u'A') : Letter;
}
// Writes a CountedNameReply for Name following the size-probe convention.
NTSTATUS ReplyCountedName(ControlRequest *Request, PCUNICODE_STRING Name);
// A counted string (KsFreeString) of a UTF-16 path that lies, maybe
// unaligned, inside a request.
NTSTATUS RequestPathString(EngineBytes Path, PUNICODE_STRING *String);
