// ListVolumes: the handles of all live volumes.
#include "engine/control/control_request.h"
#include "engine/start/engine.h"
#include "engine/protocol/engine_protocol.h"

namespace {

struct ListContext {
  PVOID Buffer;
  ULONG Index;
};

ULONG WriteHandle(PVOID Context, ULONG64 Key, PVOID) {
  auto *list = static_cast<ListContext *>(Context);
  ListVolumesReplySetHandle(list->Buffer, list->Index++, Key);
  return KS_VISIT_CONTINUE;
}

}  // namespace

NTSTATUS ControlListVolumes(ControlRequest *Request) {
  // Counting and copying happen under one hold of TableMutex, so the reply
  // is a consistent snapshot.
  TableLock();
  ULONG count = KsHashTableCount(Engine.VolumeTable);
  ULONG needed = static_cast<ULONG>(ListVolumesReplySize(count));
  NTSTATUS status = STATUS_SUCCESS;
  if (Request->OutputLength != 0) {
    if (Request->OutputLength < needed) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else if (!Request->Buffer) {
      status = STATUS_INVALID_USER_BUFFER;
    } else {
      ListContext list{Request->Buffer, 0};
      KsHashTableWalk(Engine.VolumeTable, WriteHandle, &list);
    }
  }
  TableUnlock();
  if (NT_SUCCESS(status)) Request->Information = needed;
  return status;
}
