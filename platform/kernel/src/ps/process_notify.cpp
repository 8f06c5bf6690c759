// Process notifications: the routines drivers register with
// PsSetCreateProcessNotifyRoutine hear of each user process's creation and
// exit, in that process's context, as on Windows.
#include "ps/callback_list.h"
#include "ps/process.h"

namespace bw {

namespace {

CallbackList<PCREATE_PROCESS_NOTIFY_ROUTINE> gRoutines;

HANDLE Id(uint32_t pid) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(pid)); }

// Calls every routine on the calling host thread, standing for a thread of
// `process`.
void Notify(PEPROCESS process, uint32_t parentPid, bool create) {
  PKTHREAD thread = CreateThreadObject(process, 0, false);
  if (!thread) return;
  {
    ThreadContext context(thread);
    gRoutines.ForEach([&](PCREATE_PROCESS_NOTIFY_ROUTINE routine) {
      routine(Id(parentPid), Id(process->Pid), create ? TRUE : FALSE);
    });
  }
  TerminateThreadObject(thread, STATUS_SUCCESS);
  ObfDereferenceObject(thread);
}

}  // namespace

void NotifyProcessCreated(PEPROCESS process, uint32_t parentPid) {
  Notify(process, parentPid, true);
}

void NotifyProcessExited(PEPROCESS process) { Notify(process, process->ParentPid, false); }

void ProcessNotifyShutdown() { gRoutines.Clear(); }

}  // namespace bw

using namespace bw;

NTSTATUS PsSetCreateProcessNotifyRoutine(PCREATE_PROCESS_NOTIFY_ROUTINE NotifyRoutine,
                                         BOOLEAN Remove) {
  if (!NotifyRoutine) return STATUS_INVALID_PARAMETER;
  if (Remove) return gRoutines.Remove(NotifyRoutine) ? STATUS_SUCCESS : STATUS_PROCEDURE_NOT_FOUND;
  return gRoutines.Add(NotifyRoutine) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}
