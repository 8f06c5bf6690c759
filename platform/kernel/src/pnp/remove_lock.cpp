// Remove locks as the free build of Windows keeps them: a count of holders
// with a bias of one that IoReleaseRemoveLockAndWait gives up, and a flag
// that refuses new holders once removal has begun.
#include "internal.h"

#include <wdm.h>

using namespace bw;

namespace {

void CheckSize(ULONG RemlockSize) {
  if (RemlockSize != sizeof(IO_REMOVE_LOCK)) KernelFault("remove lock of an unknown size");
}

}  // namespace

VOID IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG, ULONG RemlockSize) {
  CheckSize(RemlockSize);
  Lock->Common.Removed = FALSE;
  Lock->Common.IoCount = 1;
  KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, PCSTR, ULONG, ULONG RemlockSize) {
  CheckSize(RemlockSize);
  InterlockedIncrement(&RemoveLock->Common.IoCount);
  if (__atomic_load_n(&RemoveLock->Common.Removed, __ATOMIC_SEQ_CST)) {
    // Removal has begun: this acquirer takes its count back and may be the
    // last one the remover waits for.
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
      KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
  }
  return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, ULONG RemlockSize) {
  CheckSize(RemlockSize);
  LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
  if (count < 0) KernelFault("remove lock released more often than it was acquired");
  if (count == 0) {
    // Only the bias keeps the count above 0 until removal gives it up.
    if (!RemoveLock->Common.Removed) KernelFault("remove lock released more often than it was acquired");
    KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
  }
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID, ULONG RemlockSize) {
  CheckSize(RemlockSize);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    KernelFault("IoReleaseRemoveLockAndWait above PASSIVE_LEVEL");
  if (__atomic_exchange_n(&RemoveLock->Common.Removed, TRUE, __ATOMIC_SEQ_CST))
    KernelFault("IoReleaseRemoveLockAndWait called twice on one remove lock");
  // The caller's own hold, then the bias.
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) <= 0)
    KernelFault("IoReleaseRemoveLockAndWait without holding the remove lock");
  if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
    KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}
