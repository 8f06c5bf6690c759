// Reads and writes of a live volume, from its own device or from the bus
// driver's disk: the store's, except that a save of the store does not
// refuse them.
#include "engine/store/volume_store.h"
#include "engine/volume/volume_device.h"

namespace {

// A save holds writers off while it copies changed blocks (the store is
// write-protected), and a save of the whole store holds readers and
// writers off for its walk (the store is busy). A file system mounted on
// the volume would take such a refusal for a failing disk: it fails the
// program's write, or leaves its own structures half written. So the
// request waits for the save to end, as long as a save may reasonably take.
constexpr LONGLONG kRetryInterval = -10000;  // 1 ms, relative
constexpr ULONG kLongestWaitMs = 120000;

BOOLEAN HeldOffBySave(VolumeStore *Store, NTSTATUS Status) {
  if (Status == STATUS_FILE_LOCK_CONFLICT) return TRUE;
  return Status == STATUS_MEDIA_WRITE_PROTECTED && Store->IsWriteProtected();
}

}  // namespace

NTSTATUS VolumeTransfer(VolumeStore *Store, BOOLEAN Write, PVOID Buffer, ULONGLONG Offset,
                        ULONG Length, PULONG_PTR Bytes) {
  for (ULONG waited = 0;; ++waited) {
    NTSTATUS status = Write ? StoreWrite(Store, 0, Buffer, Offset, Length, Bytes)
                            : StoreRead(Store, Buffer, Offset, Length, Bytes);
    if (!HeldOffBySave(Store, status) || waited >= kLongestWaitMs ||
        KeGetCurrentIrql() != PASSIVE_LEVEL)
      return status;
    LARGE_INTEGER interval;
    interval.QuadPart = kRetryInterval;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
}
